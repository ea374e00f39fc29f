// Deleted and orphaned entries as carving names. Each file system's parser reads the volume as the
// results page would; only files with a first data byte inside the volume and a size are taken. When two
// entries name one start (a later file reused it), neither is trusted. A deleted entry whose first
// cluster or block the volume's allocation map gives to a file again (or whose map cannot be read) is
// left out: the bytes there are no longer its own.
#include "raw/carve_names.h"

#include <array>
#include <cstring>
#include <memory>
#include <set>
#include <utility>
#include <vector>

#include "fs/exfat/fat64.h"
#include "fs/ext/ext2.h"
#include "fs/fat/fat.h"
#include "fs/hfsplus/hfsplus.h"
#include "fs/ntfs/ntfs.h"
#include "fs/ntfs/ntfs_data.h"
#include "platform/bytes.h"
#include "platform/file_time.h"
#include "platform/text.h"

namespace tessary {

namespace {

std::unique_ptr<FatParser> fatParserFor(const VolumeView& view) {
  std::vector<std::byte> boot(512);
  if (!view.read(0, boot)) return nullptr;
  const Bytes b(boot);
  if (le16At(b, 510) != 0xAA55) return nullptr;
  // FAT32 keeps its type string at 82, FAT12/16 at 54.
  const auto text = [&b](std::size_t at) {
    std::string out;
    for (std::size_t i = 0; i < 5; ++i) out.push_back(static_cast<char>(u8At(b, at + i)));
    return out;
  };
  if (text(82) == "FAT32") return std::make_unique<Fat32Class>();
  if (text(54) == "FAT12" || text(54) == "FAT16") return std::make_unique<Fat16Class>();
  return nullptr;
}

// A short name as the parser spells it keeps the blanks that pad its base to eight characters
// ("DATA    .DB"): a carved file's name has none before its extension, nor at its end.
std::string compactName(const std::string& name) {
  const std::string trimmed = rightTrimmed(name);
  const std::size_t dot = trimmed.rfind('.');
  if (dot == std::string::npos || dot == 0) return trimmed;
  return rightTrimmed(trimmed.substr(0, dot)) + trimmed.substr(dot);
}

// The FAT family: files marked deleted whose first cluster no live entry starts at and the FAT marks free.
std::map<std::int64_t, RememberedEntry> fatStarts(const VolumeView& view, std::uint64_t volumeBytes,
                                                  std::unique_ptr<FatParser> parser) {
  std::map<std::int64_t, RememberedEntry> out;
  parser->attach(view);
  parser->setVolumeSize(volumeBytes);
  if (!parser->checkBootSector()) return out;
  parser->readFat();
  parser->parseRootDirectory();
  parser->linkEntries();
  std::set<std::int64_t> shared;
  // Clusters that live entries still hold: a deleted entry pointing there lost its data to them.
  std::set<std::uint32_t> live;
  for (const FatDirRecord& r : parser->entries())
    if (!r.deleted && r.firstCluster() >= 2) live.insert(r.firstCluster());
  const std::int64_t count = static_cast<std::int64_t>(parser->entries().size());
  for (std::int64_t i = 0; i < count; ++i) {
    const FatDirRecord& r = parser->entry(i);
    if (!r.deleted || r.fileSize == 0 || parser->isFolderRecord(i) || parser->isLabelRecord(i) ||
        FatParser::isLongNameAttribute(r.attributes) || live.count(r.firstCluster()))
      continue;
    // A first cluster the FAT gives to a chain again lost its bytes to a later file (whose entry may be
    // a folder's or lie in a folder no longer listed).
    if (parser->clusterFree(r.firstCluster()) == false) continue;
    const std::optional<std::uint64_t> at = parser->clusterStart(r.firstCluster());
    if (!at) continue;
    const auto offset = static_cast<std::int64_t>(*at);
    if (out.count(offset)) {
      shared.insert(offset);
      continue;
    }
    RememberedEntry entry;
    std::u16string name = parser->entryName(i);
    // A short name's first character gave way to the deleted mark.
    if (!name.empty() && name[0] == u'\uFFE5') name[0] = u'_';
    // Short names keep the blanks that pad them to 8.3.
    entry.name = compactName(utf8FromUtf16(name));
    entry.size = r.fileSize;
    // Folders from the root down; a parent chain that does not end within the table's size is cut.
    std::vector<std::string> folders;
    std::int32_t parent = r.parentIndex;
    // Record 0 stands for the root folder.
    for (std::int64_t depth = 0; depth < count && parent > 0 && parser->isEntry(parent) && parent != r.selfIndex; ++depth) {
      std::u16string folder = parser->entryName(parent);
      if (!folder.empty() && folder[0] == u'\uFFE5') folder[0] = u'_';
      folders.push_back(compactName(utf8FromUtf16(folder)));
      const std::int32_t next = parser->entry(parent).parentIndex;
      if (next == parent) break;
      parent = next;
    }
    for (auto it = folders.rbegin(); it != folders.rend(); ++it) entry.folder += (entry.folder.empty() ? "" : "/") + *it;
    if (const auto m = fileTimeFromDos(r.writeDate, r.writeTime)) entry.modificationNs = unixNanosecondsFromFileTime(*m);
    if (const auto a = fileTimeFromDos(r.accessDate, 0)) entry.accessNs = unixNanosecondsFromFileTime(*a);
    out.emplace(offset, std::move(entry));
  }
  for (std::int64_t offset : shared) out.erase(offset);
  return out;
}

// What the other file systems' pieces gather: one entry per first data byte inside the volume; a byte
// that two entries name is trusted by neither.
class Harvest {
 public:
  explicit Harvest(std::uint64_t volumeBytes) : m_volumeBytes(volumeBytes) {}
  void add(std::uint64_t offset, RememberedEntry entry) {
    if (offset >= m_volumeBytes || offset > static_cast<std::uint64_t>(INT64_MAX) || entry.name.empty() ||
        entry.size == 0)
      return;
    const auto at = static_cast<std::int64_t>(offset);
    if (!m_out.emplace(at, std::move(entry)).second) m_shared.insert(at);
  }
  std::map<std::int64_t, RememberedEntry> take() {
    for (std::int64_t offset : m_shared) m_out.erase(offset);
    return std::move(m_out);
  }

 private:
  std::uint64_t m_volumeBytes;
  std::map<std::int64_t, RememberedEntry> m_out;
  std::set<std::int64_t> m_shared;
};

// Folders from the root down. `up(node)` gives a folder's name and its parent's node, or none where the
// chain ends (at the root, or at a node that is no folder); a chain that comes back to a node, or runs
// past `limit` steps, is cut there.
template <typename Up>
std::string folderPath(std::int64_t parent, std::size_t limit, Up up) {
  std::vector<std::string> names;
  std::set<std::int64_t> seen;
  for (std::size_t depth = 0; depth < limit && seen.insert(parent).second; ++depth) {
    std::optional<std::pair<std::string, std::int64_t>> step = up(parent);
    if (!step) break;
    names.push_back(std::move(step->first));
    parent = step->second;
  }
  std::string path;
  for (auto it = names.rbegin(); it != names.rend(); ++it) path += (path.empty() ? "" : "/") + *it;
  return path;
}

// A time the host can be given (1678 to 2262, as nanoseconds since 1970 fit); none for 0 or beyond.
std::optional<std::int64_t> settableNanoseconds(FileTime time) {
  constexpr FileTime kEarliest = 25000000000000000ULL;
  constexpr FileTime kLatest = 200000000000000000ULL;
  if (time < kEarliest || time > kLatest) return std::nullopt;
  return unixNanosecondsFromFileTime(time);
}

std::optional<std::int64_t> unixNanoseconds(std::uint32_t seconds) {
  if (seconds == 0) return std::nullopt;
  return settableNanoseconds(fileTimeFromUnix(seconds));
}

bool textAt(Bytes b, std::size_t at, const char* text) {
  const std::size_t n = std::strlen(text);
  return fits(b.size(), at, n) && std::memcmp(b.data() + at, text, n) == 0;
}

// NTFS: records not in use, and records in use whose parent cannot be found (orphans), with a
// non-resident unnamed $DATA whose first run is stored. A deleted record's first cluster must be free in
// $Bitmap. Further names of a record (hard links) are the record's, not entries of their own.
void ntfsStarts(const VolumeView& view, Harvest& harvest) {
  ntfs p;
  p.attachVolume(view);
  p.readBootSector();
  p.locateMft();
  if (!p.mftRunKnown() || p.runList().empty()) return;
  p.collectMftRecords();
  p.parseAllEntries();
  const std::int64_t clusterSize = p.clusterSize();
  if (clusterSize <= 0) return;
  const auto cluster = static_cast<std::uint64_t>(clusterSize);
  constexpr std::uint32_t kData = 0x80;
  constexpr std::int64_t kBitmapRecord = 6;
  std::vector<Run> bitmap;
  if (p.isEntry(kBitmapRecord) && p.entryName(kBitmapRecord) == "$Bitmap")
    bitmap = p.detail().getRun2(std::int64_t{p.entries()[kBitmapRecord].recordOffset}, kData);
  // Bit n of $Bitmap is cluster n; none when the bitmap does not map that bit or it cannot be read.
  const auto clusterInUse = [&](std::uint64_t lcn) -> std::optional<bool> {
    const std::uint64_t byte = lcn / 8;
    const std::uint64_t vcn = byte / cluster;
    std::uint64_t first = 0;
    for (const Run& run : bitmap) {
      if (vcn < first + run.count) {
        if (run.lcn <= 0) return std::nullopt;
        // Reads keep to whole sectors: the one that holds the cluster's byte.
        std::array<std::byte, 512> sector{};
        const std::uint64_t at = (static_cast<std::uint64_t>(run.lcn) + (vcn - first)) * cluster + byte % cluster;
        if (!view.read(at / sector.size() * sector.size(), sector)) return std::nullopt;
        return ((std::to_integer<unsigned>(sector[at % sector.size()]) >> (lcn % 8)) & 1) != 0;
      }
      first += run.count;
    }
    return std::nullopt;
  };
  const std::int64_t count = p.entryCount();
  std::set<std::int64_t> records;
  for (std::int64_t i = 0; i < count; ++i) {
    if (!p.isEntry(i) || p.isFolder(i) || i == p.orphanIndex()) continue;
    // The table's entries are packed: their fields are read by value.
    const MftEntry& e = p.entries()[static_cast<std::size_t>(i)];
    const std::int64_t record = e.recordOffset;
    const std::int64_t parent = e.parent;
    const bool deleted = (e.recordFlags & 1) == 0;
    const bool orphan = e.orphan != 0;
    // Further names come after their record's first: the first decides for all.
    if (record <= 0 || !records.insert(record).second) continue;
    if (!deleted && !orphan) continue;
    const std::vector<Run> runs = p.detail().getRun2(record, kData);
    if (runs.empty() || runs.front().lcn <= 0 || runs.front().count == 0) continue;
    const auto lcn = static_cast<std::uint64_t>(runs.front().lcn);
    if (deleted && clusterInUse(lcn) != false) continue;
    const std::optional<std::uint64_t> offset = checkedMul(lcn, cluster);
    if (!offset) continue;
    RememberedEntry entry;
    entry.name = p.entryName(i);
    entry.size = p.entryDataSize(i);
    entry.folder = folderPath(parent, static_cast<std::size_t>(count),
                              [&](std::int64_t node) -> std::optional<std::pair<std::string, std::int64_t>> {
                                if (node == p.rootIndex() || node == p.orphanIndex() || !p.isFolder(node) ||
                                    !p.isEntry(node))
                                  return std::nullopt;
                                const std::int64_t up = p.entries()[static_cast<std::size_t>(node)].parent;
                                return std::make_pair(p.entryName(node), up);
                              });
    const NtfsFileTimes times = p.getFileTimeStructure(record);
    if (times.hasTimes) {
      entry.modificationNs = settableNanoseconds(times.modification);
      entry.accessNs = settableNanoseconds(times.access);
    }
    harvest.add(*offset, std::move(entry));
  }
}

// exFAT: File entry sets marked deleted whose first cluster the allocation bitmap gives to no file.
void exfatStarts(const VolumeView& view, std::uint64_t volumeBytes, Harvest& harvest) {
  Fat64Class fs;
  fs.attach(view, volumeBytes);
  if (!fs.checkBootSector() || !fs.readRoot()) return;
  fs.clearEntries();
  fs.parseRootDirectory();
  fs.linkEntries();
  if (!fs.bitmapFound() || fs.clusterSize() == 0) return;
  const std::vector<ExFatRecord>& records = fs.entries();
  const auto stamp = [](std::uint32_t value) -> std::optional<std::int64_t> {
    const std::optional<FileTime> time =
        fileTimeFromDos(static_cast<std::uint16_t>(value >> 16), static_cast<std::uint16_t>(value & 0xFFFF));
    if (!time) return std::nullopt;
    return settableNanoseconds(*time);
  };
  for (const ExFatRecord& r : records) {
    if (!r.deleted() || r.folder() || r.firstCluster < 2 || fs.clusterInUse(r.firstCluster)) continue;
    const std::optional<std::uint64_t> into = checkedMul(std::uint64_t{r.firstCluster} - 2, fs.clusterSize());
    const std::optional<std::uint64_t> offset = into ? checkedAdd(fs.heapOffset(), *into) : std::nullopt;
    if (!offset) continue;
    RememberedEntry entry;
    entry.name = utf8FromUtf16(r.name);
    entry.size = fs.fileSize(r);
    // Record 0 stands for the root folder.
    entry.folder = folderPath(r.parentIndex, records.size(),
                              [&](std::int64_t node) -> std::optional<std::pair<std::string, std::int64_t>> {
                                if (node <= 0 || !fs.isEntry(node)) return std::nullopt;
                                const ExFatRecord& folder = records[static_cast<std::size_t>(node)];
                                if (!folder.folder()) return std::nullopt;
                                return std::make_pair(utf8FromUtf16(folder.name), std::int64_t{folder.parentIndex});
                              });
    entry.modificationNs = stamp(r.modifyTimestamp);
    entry.accessNs = stamp(r.accessTimestamp);
    harvest.add(*offset, std::move(entry));
  }
}

// ext2/3/4: regular files whose inode is free (or whose name was found deleted) and whose map still names
// a first block that the group's block bitmap marks free. ext3 and ext4 clear a deleted file's map, so
// there these are seldom more than the files ext2 left.
void extStarts(const VolumeView& view, std::uint64_t volumeBytes, Harvest& harvest) {
  constexpr std::uint64_t kMib = 1048576;
  const auto mib = static_cast<std::int64_t>(std::min<std::uint64_t>(volumeBytes / kMib, INT64_MAX));
  if (mib <= 0) return;
  ext2Class fs;
  fs.attachVolume(view, mib);
  if (!fs.findSuperblock() || !fs.readGroupDescriptors()) return;
  fs.readInodeTables();
  fs.readDirectories();
  fs.buildEntryMap();
  fs.linkParentsAndChildren();
  const auto& entries = fs.entries();
  std::set<std::uint64_t> inodes;
  for (const ExtEntry& e : entries) {
    if (!e.name || !fs.isDeleted(e.key) || (e.mode & 0xF000) != 0x8000 || e.size == 0) continue;
    // A file's further deleted names (hard links) are its own: the first one found names it.
    if (!inodes.insert(fs.inodeNumber(e)).second) continue;
    const std::optional<std::uint64_t> block = fs.firstBlock(e);
    if (!block || fs.blockInUse(*block) != false) continue;
    const std::optional<std::uint64_t> offset = checkedMul(*block, std::uint64_t{fs.blockSize()});
    if (!offset) continue;
    RememberedEntry entry;
    entry.name = utf8FromAnsi(e.name);
    entry.size = e.size;
    entry.folder = folderPath(e.parent, entries.size(),
                              [&](std::int64_t key) -> std::optional<std::pair<std::string, std::int64_t>> {
                                const ExtEntry* folder = fs.entry(key);
                                if (key == ext2Class::kRootKey || !folder || !folder->name ||
                                    !ext2Class::isDirectoryMode(folder->mode))
                                  return std::nullopt;
                                const std::string name = folder->name;
                                if (name == "." || name == ".." || name.empty()) return std::nullopt;
                                return std::make_pair(utf8FromAnsi(folder->name), std::int64_t{folder->parent});
                              });
    if (const std::optional<ExtInodeStamps> stamps = fs.inodeStamps(e)) {
      entry.modificationNs = unixNanoseconds(stamps->mtime);
      entry.accessNs = unixNanoseconds(stamps->atime);
    }
    harvest.add(*offset, std::move(entry));
  }
}

// HFS+: file records of the catalog (stale ones in free nodes among them) whose data fork's first
// extent starts at a block the allocation file marks free: the file was deleted and its blocks are
// no one's since.
void hfsStarts(const VolumeView& view, Harvest& harvest) {
  HFSP fs;
  fs.attachVolume(view);
  if (!fs.parse(1)) return;
  constexpr std::uint16_t kFile = 2;
  constexpr std::uint16_t kFolder = 1;
  constexpr std::uint32_t kRootFolder = 2;
  const auto entries = fs.entries();
  for (const HfsEntry& e : entries) {
    const std::span<const HFSP::ExtentPair> extents = fs.recordExtents(e);
    if (e.type != kFile || e.size == 0 || extents.empty()) continue;
    const std::array<std::uint32_t, 2> first = extents.front();
    if (first[1] == 0 || fs.blockInUse(first[0]) != false) continue;
    RememberedEntry entry;
    entry.name = std::string(fs.nameOf(e));
    entry.size = e.size;
    entry.folder = folderPath(e.parent, entries.size(),
                              [&](std::int64_t node) -> std::optional<std::pair<std::string, std::int64_t>> {
                                const HfsEntry* folder = fs.entry(node);
                                if (node == kRootFolder || !folder || folder->type != kFolder) return std::nullopt;
                                return std::make_pair(std::string(fs.nameOf(*folder)), std::int64_t{folder->parent});
                              });
    if (const std::optional<HfsStamps> stamps = fs.recordStamps(e.cnid)) {
      if (stamps->contentMod != 0) entry.modificationNs = settableNanoseconds(fileTimeFromHfs(stamps->contentMod));
      if (stamps->access != 0) entry.accessNs = settableNanoseconds(fileTimeFromHfs(stamps->access));
    }
    harvest.add(std::uint64_t{first[0]} * fs.blockSize(), std::move(entry));
  }
}

}  // namespace

std::map<std::int64_t, RememberedEntry> rememberedStarts(const VolumeView& view, std::uint64_t volumeBytes) {
  if (std::unique_ptr<FatParser> fat = fatParserFor(view)) return fatStarts(view, volumeBytes, std::move(fat));
  // The boot sector (NTFS, exFAT) and the superblock or volume header at 1024 (ext, HFS+).
  std::vector<std::byte> head(2048);
  if (!view.read(0, head)) return {};
  const Bytes b(head);
  Harvest harvest(volumeBytes);
  if (textAt(b, 3, "NTFS    "))
    ntfsStarts(view, harvest);
  else if (textAt(b, 3, "EXFAT   "))
    exfatStarts(view, volumeBytes, harvest);
  else if (le16At(b, 1024 + 56) == 0xEF53)
    extStarts(view, volumeBytes, harvest);
  else if (be16At(b, 1024) == 0x482B || be16At(b, 1024) == 0x4858)
    hfsStarts(view, harvest);
  return harvest.take();
}

}  // namespace tessary
