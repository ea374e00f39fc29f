// The FAT family's deleted entries as carving names. The parser reads the volume as the results page
// would; only files marked deleted, with a first cluster inside the volume and a size, are taken. When
// two entries name one cluster (a later file reused it), neither is trusted.
#include "raw/carve_names.h"

#include <memory>
#include <set>
#include <vector>

#include "fs/fat/fat.h"
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

}  // namespace

std::map<std::int64_t, RememberedEntry> rememberedStarts(const VolumeView& view, std::uint64_t volumeBytes) {
  std::map<std::int64_t, RememberedEntry> out;
  std::unique_ptr<FatParser> parser = fatParserFor(view);
  if (!parser) return out;
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

}  // namespace tessary
