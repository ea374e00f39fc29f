// The NTFS test harness: parsing as the page's worker does, tree listing, manifests, The Sleuth Kit.
#include "support/ntfs_harness.h"

#include <ctime>
#include <fstream>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>

#include "platform/files.h"
#include "support/fixtures.h"
#include "support/sha256.h"

namespace tessary::test {

bool ParsedNtfs::openFixture(const std::string& name, std::int64_t startSector, const std::string& sizeText) {
  if (!haveFixture(name)) return false;
  auto vhdx = std::make_unique<FileReadSeekVHDX>(context);
  if (!vhdx->open(fixturePath(name))) return false;
  reader = std::move(vhdx);
  volume.fileSystem = "NTFS";
  volume.volumeName = "0";
  volume.volumeSizeText = sizeText;
  volume.startSector = startSector;
  parse();
  return true;
}

void ParsedNtfs::openMemory(const ByteVector& bytes, const std::string& sizeText) {
  reader = std::make_unique<MemoryDisk>(bytes);
  volume.fileSystem = "NTFS";
  volume.volumeName = "0";
  volume.volumeSizeText = sizeText;
  volume.startSector = 0;
  parse();
}

void ParsedNtfs::parse() {
  parser.setVolume(volume);
  parser.setSink(&sink);
  parser.setTree(&tree, "ROOT", TreeIcon::Folder);
  parser.setMode(mode);
  parser.attachVolume(reader.get());
  parser.readBootSector();
  if (mode == 3) {
    sink.setStatus(" scanning for mft entries in deep mode ....");
    parser.deepScan();
  } else if (mode == 2) {
    parser.searchMftCandidates(3);
    parser.selectMftCandidate(0);
  } else {
    sink.setStatus(" ParsingBasedOnMFT is going on....");
    parser.locateMft();
  }
  parser.collectMftRecords();
  parser.parseAllEntries();
}

std::vector<ListedEntry> listTree(const ntfs& parser) {
  std::vector<ListedEntry> out;
  std::set<std::int64_t> seen;
  struct Frame {
    std::int64_t index;
    std::string path;
  };
  std::vector<Frame> stack;
  const auto top = parser.childEntries(parser.rootIndex());
  for (auto it = top.rbegin(); it != top.rend(); ++it) stack.push_back({*it, parser.entryName(*it)});
  while (!stack.empty()) {
    const Frame f = stack.back();
    stack.pop_back();
    if (!seen.insert(f.index).second) continue;
    out.push_back({f.path, f.index, parser.isFolder(f.index), parser.isDeleted(f.index)});
    if (!parser.isFolder(f.index)) continue;
    const auto children = parser.childEntries(f.index);
    for (auto it = children.rbegin(); it != children.rend(); ++it)
      stack.push_back({*it, f.path + "/" + parser.entryName(*it)});
  }
  return out;
}

const ManifestEntry* Manifest::find(const std::string& path) const {
  for (const auto& e : entries)
    if (e.path == path) return &e;
  return nullptr;
}

namespace {

template <typename Json>
Manifest manifestOfVolume(const Json& volume) {
  Manifest m;
  m.startSector = volume["start_sector"].template get<std::int64_t>();
  m.sectorCount = volume["sector_count"].template get<std::int64_t>();
  m.clusterSize = volume["cluster_size"].template get<std::uint32_t>();
  m.bytesPerSector = volume.value("bytes_per_sector", 512u);
  m.bootZeroed = volume.value("boot_sector_zeroed", false);
  for (const auto& e : volume["entries"]) {
    ManifestEntry entry;
    entry.path = e["path"].template get<std::string>();
    entry.folder = e["folder"].template get<bool>();
    entry.deleted = e["deleted"].template get<bool>();
    entry.orphan = e.value("orphan", false);
    entry.generation = e.value("generation", 0);
    entry.intact = e.value("intact", true);
    entry.size = e["size"].template get<std::uint64_t>();
    if (e["sha256"].is_string()) entry.sha256 = e["sha256"].template get<std::string>();
    if (e["record"].is_number()) entry.record = e["record"].template get<std::int64_t>();
    entry.created = e["created"].template get<std::string>();
    entry.accessed = e["accessed"].template get<std::string>();
    entry.modified = e["modified"].template get<std::string>();
    entry.recycledName = e.value("recycled_name", std::string());
    entry.linkOf = e.value("link_of", std::string());
    m.entries.push_back(entry);
  }
  return m;
}

}  // namespace

std::optional<Manifest> loadManifest(const std::string& fixtureName) {
  std::vector<Manifest> volumes = loadManifestVolumes(fixtureName);
  if (volumes.empty()) return std::nullopt;
  return volumes.front();
}

std::vector<Manifest> loadManifestVolumes(const std::string& fixtureName) {
  std::ifstream in(fixturePath(fixtureName));
  if (!in) return {};
  const auto doc = nlohmann::json::parse(in, nullptr, false);
  if (doc.is_discarded()) return {};
  std::vector<Manifest> out;
  for (const auto& volume : doc["volumes"]) out.push_back(manifestOfVolume(volume));
  return out;
}

std::string rawVolume(const std::string& fixtureName, const std::string& dir) {
  const std::string raw = dir + "/" + fixtureName + ".raw";
  if (runCommand("command -v qemu-img >/dev/null") != 0) return {};
  if (runCommand("qemu-img convert -f vhdx -O raw '" + fixturePath(fixtureName) + "' '" + raw + "' 2>/dev/null") != 0)
    return {};
  return raw;
}

bool haveSleuthKit() { return runCommand("command -v fls >/dev/null && command -v icat >/dev/null") == 0; }

std::map<std::string, std::int64_t> flsLiveEntries(const std::string& rawPath, std::int64_t startSector) {
  std::map<std::string, std::int64_t> out;
  std::string text;
  runCommand("fls -o " + std::to_string(startSector) + " -r -p '" + rawPath + "'", &text);
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    const auto tab = line.find('\t');
    if (tab == std::string::npos) continue;
    const std::string head = line.substr(0, tab);
    std::string path = line.substr(tab + 1);
    if (head.find('*') != std::string::npos || head.rfind("V/V", 0) == 0) continue;
    if (path.rfind("$OrphanFiles", 0) == 0) continue;
    const auto colon = path.find(':');
    if (colon != std::string::npos) path = path.substr(0, colon);
    // A folder's own named streams are listed below it as "folder/.:name".
    if (path.size() > 2 && path.compare(path.size() - 2, 2, "/.") == 0) path.resize(path.size() - 2);
    const auto space = head.find(' ');
    const std::int64_t record = std::stoll(head.substr(space + 1));
    if (path == "$MFT") continue;
    out[path] = record;
  }
  return out;
}

std::string fileSha256(const std::string& path) {
#ifdef _WIN32
  // No sha256sum there; the release build hashes fast enough in-process.
  if (!isRegularFile(path)) return {};
  return sha256Hex(readHostFile(path));
#else
  std::string text;
  runCommand("sha256sum '" + path + "'", &text);
  return text.substr(0, text.find(' '));
#endif
}

std::int64_t isoSeconds(const std::string& iso) {
  std::tm t{};
  if (sscanf(iso.c_str(), "%d-%d-%dT%d:%d:%dZ", &t.tm_year, &t.tm_mon, &t.tm_mday, &t.tm_hour, &t.tm_min, &t.tm_sec) != 6)
    return 0;
  t.tm_year -= 1900;
  t.tm_mon -= 1;
#ifdef _WIN32
  return static_cast<std::int64_t>(_mkgmtime64(&t));
#else
  return static_cast<std::int64_t>(timegm(&t));
#endif
}

}  // namespace tessary::test
