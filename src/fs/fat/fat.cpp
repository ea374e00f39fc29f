// The FAT family's standard parse: boot sector, FAT, the folder walk, linking, the top level, file data and
// the detail-list texts.
#include <algorithm>
#include <array>
#include <deque>
#include <unordered_map>

#include "fs/fat/fat.h"
#include "fs/fat/fat_layout.h"
#include "platform/bytes.h"
#include "platform/file_time.h"
#include "platform/large_buffer.h"
#include "platform/text.h"

namespace tessary {

namespace {

constexpr std::size_t kSlot = 32;
constexpr std::uint8_t kDeletedMark = 0xE5;
// A long name holds at most 255 UTF-16 units: 20 slots of 13.
constexpr std::size_t kMaxLongNameSlots = 20;
// Byte 12 of a short-name slot: the base name, the extension shown in lower case.
constexpr std::uint8_t kLowerBase = 0x08;
constexpr std::uint8_t kLowerExtension = 0x10;
// A folder holds at most 65536 slots; a chain that claims more is cut there.
constexpr std::size_t kMaxFolderBytes = 65536 * kSlot;
// Table records are 41 bytes; a hostile volume cannot make the table grow past this.
constexpr std::size_t kMaxRecords = 16u << 20;
// Clusters of a FAT32 volume are numbered in 28 bits.
constexpr std::uint64_t kMaxClusters = 0x0FFFFFF5;
// File data is read a run of consecutive clusters at a time, at most this much per read.
constexpr std::size_t kMaxRunRead = 1u << 20;

std::uint8_t byteAt(Bytes d, std::size_t at) { return u8At(d, at); }

bool inFolderSet(std::uint8_t attributes) { return FatParser::isFolderAttribute(attributes); }

char16_t lowered(char16_t c) { return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c - u'A' + u'a') : c; }

std::string dosDate(std::uint16_t date, bool withTime, std::uint16_t time) {
  const int day = date & 0x1F;
  const int month = (date >> 5) & 0x0F;
  const int year = 1980 + (date >> 9);
  if (!withTime) return format("%02d/%02d/%d ", month, day, year);
  const int minute = (time >> 5) & 0x3F;
  const int hour = time >> 11;
  if (hour <= 12) return format("%02d/%02d/%d  %02d:%02d AM", month, day, year, hour, minute);
  return format("%02d/%02d/%d  %02d:%02d PM", month, day, year, hour - 12, minute);
}

}  // namespace

std::vector<std::byte> FatParser::readBytes(std::uint64_t offset, std::size_t size, bool* complete) const {
  // A failed or short read leaves zeros, never bytes of an earlier read.
  std::vector<std::byte> out(size);
  const bool ok = m_view.attached() && size > 0 && m_view.read(offset, out);
  if (complete) *complete = ok || size == 0;
  return out;
}

bool FatParser::geometrySound(Bytes b) const { return fat_layout::geometryUsable(b, m_fat32); }

bool FatParser::checkBootSector() {
  m_boot = readBytes(0, 512);
  const Bytes b(m_boot);
  m_bootValid = false;
  const std::uint32_t bps = le16At(b, 11);
  const std::uint32_t spc = u8At(b, 13);
  const std::uint16_t perFat16 = le16At(b, 22);
  // The volume scans take only records that pass this test too.
  if (!fat_layout::parserTakes(b, m_fat32)) return false;

  m_bootSectorsPerCluster = static_cast<std::uint8_t>(spc);
  m_bytesPerSector = bps;
  m_sectorsPerCluster = spc;
  m_clusterSize = bps * spc;
  const std::uint64_t reserved = le16At(b, 14);
  const std::uint64_t fats = u8At(b, 16);
  const std::uint64_t perFat = m_fat32 ? le32At(b, 36) : perFat16;
  m_fatOffset = reserved * bps;
  m_fatBytes = perFat * bps;
  if (m_fat32) {
    m_dataOffset = (fats * perFat + reserved) * bps;
    m_rootCluster = le32At(b, 44) & 0x0FFFFFFF;
  } else {
    m_rootOffset = (fats * perFat + reserved) * bps;
    m_rootBytes = std::uint64_t{le16At(b, 17)} * kSlot;
    m_dataOffset = m_rootOffset + m_rootBytes;
  }
  const std::uint64_t totalSectors = le16At(b, 19) != 0 ? le16At(b, 19) : le32At(b, 32);
  m_totalBytes = totalSectors * bps;
  if (m_totalBytes == 0) m_totalBytes = m_volumeSize;
  m_totalBytes = std::min(m_totalBytes, m_view.bytesToDiskEnd());
  computeCounts();
  m_bootValid = true;
  return true;
}

void FatParser::computeCounts() {
  m_clusterCount = 0;
  if (m_clusterSize != 0 && m_totalBytes > m_dataOffset) m_clusterCount = (m_totalBytes - m_dataOffset) / m_clusterSize;
  // The cluster count makes the FAT's entry width; the Advanced mode has set it already.
  if (!m_advanced) m_entryBits = m_fat32 ? 32 : (m_clusterCount < 4085 ? 12 : 16);
  // A FAT holds no more entries than its size allows.
  const std::uint64_t fatEntries = m_entryBits == 12 ? m_fatBytes * 2 / 3 : m_fatBytes / (m_entryBits / 8);
  m_clusterCount = std::min(m_clusterCount, fatEntries > 2 ? fatEntries - 2 : 0);
  m_clusterCount = std::min<std::uint64_t>(m_clusterCount, kMaxClusters);
}

void FatParser::readFat() {
  // Only the entries of clusters the volume can hold are read.
  const std::uint64_t entries = m_clusterCount + 2;
  std::uint64_t needed = m_entryBits == 12 ? (entries * 3 + 1) / 2 : entries * (m_entryBits / 8);
  needed = (needed + 511) / 512 * 512;
  m_fat = readBytes(m_fatOffset, static_cast<std::size_t>(std::min(needed, m_fatBytes)));
}

std::uint32_t FatParser::rawEntry(std::uint32_t cluster) const {
  const Bytes fat(m_fat);
  switch (m_entryBits) {
    case 12: {
      const std::size_t at = cluster + cluster / 2;
      const auto v = le16(fat, at);
      if (!v) return kEndOfChain;
      return (cluster & 1) ? *v >> 4 : *v & 0x0FFF;
    }
    case 16: {
      const auto v = le16(fat, std::size_t{cluster} * 2);
      return v ? *v : kEndOfChain;
    }
    default: {
      const auto v = le32(fat, std::size_t{cluster} * 4);
      return v ? (*v & 0x0FFFFFFF) : kEndOfChain;
    }
  }
}

bool FatParser::clusterInVolume(std::uint32_t cluster) const {
  return cluster >= 2 && cluster - 2 < m_clusterCount;
}

std::uint32_t FatParser::nextCluster(std::uint32_t cluster) const {
  if (driveFormatted || !clusterInVolume(cluster)) return kEndOfChain;
  const std::uint32_t v = rawEntry(cluster);
  if (v == kEndOfChain) return kEndOfChain;
  const std::uint32_t endMark = m_entryBits == 12 ? 0xFF8 : (m_entryBits == 16 ? 0xFFF8 : 0x0FFFFFF8);
  if (v >= endMark || !clusterInVolume(v)) return kEndOfChain;
  return v;
}

std::optional<bool> FatParser::clusterFree(std::uint32_t cluster) const {
  if (m_fat.empty() || !clusterInVolume(cluster)) return std::nullopt;
  const std::uint32_t v = rawEntry(cluster);
  if (v == kEndOfChain) return std::nullopt;
  // FAT32 keeps four reserved bits above the cluster number.
  return (v & 0x0FFFFFFF) == 0;
}

std::uint64_t FatParser::clusterOffset(std::uint32_t cluster) const {
  return m_dataOffset + std::uint64_t{cluster - 2} * m_clusterSize;
}

std::u16string FatParser::shortName(Bytes slot, bool file) const {
  std::u16string name;
  // The first byte is sign-extended: a deleted entry's 0xE5 shows as U+FFE5.
  name.push_back(static_cast<char16_t>(static_cast<std::int16_t>(static_cast<std::int8_t>(byteAt(slot, 0)))));
  const Bytes rest = slice(slot, 1, 10);
  name += utf16FromAnsi(std::string_view(reinterpret_cast<const char*>(rest.data()), rest.size()));
  // Names typed in lower case keep one short entry and say so in byte 12.
  const std::uint8_t caseBits = byteAt(slot, 12);
  if (name.size() == 11) {
    for (std::size_t i = 0; i < 11; ++i)
      if (caseBits & (i < 8 ? kLowerBase : kLowerExtension)) name[i] = lowered(name[i]);
  }
  if (!file) return name;
  if (name.size() > 3) name.insert(name.size() - 3, 1, u'.');
  for (;;) {
    const std::size_t space = name.rfind(u' ');
    const std::size_t dot = name.rfind(u'.');
    if (space == std::u16string::npos || dot == std::u16string::npos || space + 1 != dot) break;
    name.erase(space, 1);
  }
  return name;
}

std::uint8_t FatParser::shortNameChecksum(Bytes name11) {
  std::uint8_t sum = 0;
  for (std::size_t i = 0; i < 11; ++i)
    sum = static_cast<std::uint8_t>(((sum & 1) << 7) + (sum >> 1) + u8At(name11, i));
  return sum;
}

std::size_t FatParser::gatherLongName(Bytes buffer, std::size_t at) {
  // One name's slots share a checksum and a deleted mark; a live name starts at the slot marked 0x40.
  // A slot that fits none of this starts a new name, and the slots gathered before it are dropped.
  std::vector<std::u16string> pieces;
  bool deleted = false;
  std::uint8_t checksum = 0;
  while (fits(buffer.size(), at, kSlot) && isLongNameAttribute(byteAt(buffer, at + 11))) {
    const std::uint8_t sequence = byteAt(buffer, at);
    const bool slotDeleted = sequence == kDeletedMark;
    const std::uint8_t slotChecksum = byteAt(buffer, at + 13);
    if (pieces.empty() || slotDeleted != deleted || slotChecksum != checksum || (!slotDeleted && (sequence & 0x40)) ||
        pieces.size() >= kMaxLongNameSlots) {
      pieces.clear();
      deleted = slotDeleted;
      checksum = slotChecksum;
    }
    std::u16string piece;
    for (const auto& [from, count] : {std::pair<std::size_t, std::size_t>{1, 5}, {14, 6}, {28, 2}}) {
      for (std::size_t i = 0; i < count; ++i) piece.push_back(static_cast<char16_t>(le16At(buffer, at + from + 2 * i)));
    }
    const std::size_t zero = piece.find(u'\0');
    if (zero != std::u16string::npos) piece.resize(zero);
    pieces.push_back(std::move(piece));
    at += kSlot;
  }
  m_longName.text.clear();
  for (auto it = pieces.rbegin(); it != pieces.rend(); ++it) m_longName.text += *it;
  m_longName.deleted = deleted;
  m_longName.checksum = checksum;
  m_longName.pending = !pieces.empty() && !m_longName.text.empty();
  return at;
}

std::u16string FatParser::takeName(Bytes slot, bool folder) {
  const LongName pending = std::move(m_longName);
  m_longName = {};
  if (pending.pending) {
    std::array<std::uint8_t, 11> stored{};
    for (std::size_t i = 0; i < 11; ++i) stored[i] = byteAt(slot, i);
    const Bytes storedBytes(reinterpret_cast<const std::byte*>(stored.data()), stored.size());
    if (shortNameChecksum(storedBytes) == pending.checksum) return pending.text;
    // A deleted entry lost its first character to the 0xE5 mark. Formatters make a short name's first
    // character from the long name's first (upper-cased; '_' for one a short name cannot hold), so that
    // character is tried; a long name that begins outside ASCII may give any code-page byte. Any other
    // byte would fit some checksum by chance and is not tried.
    if (stored[0] == kDeletedMark) {
      const std::size_t lead = pending.text.find_first_not_of(u" .");
      const char16_t c = lead == std::u16string::npos ? u'_' : pending.text[lead];
      std::vector<unsigned> tried;
      if (c >= u'a' && c <= u'z') tried.push_back(static_cast<unsigned>(c - u'a' + u'A'));
      else if (c > 0x20 && c < 0x7F) tried.push_back(c);
      tried.push_back('_');
      if (c >= 0x80)
        for (unsigned b = 0x80; b < 0x100; ++b) tried.push_back(b);
      for (const unsigned first : tried) {
        stored[0] = static_cast<std::uint8_t>(first);
        if (first != kDeletedMark && shortNameChecksum(storedBytes) == pending.checksum) return pending.text;
      }
    }
  }
  return shortName(slot, !folder);
}

std::int32_t FatParser::appendRecord(Bytes slot, std::int32_t parent, std::u16string name, bool deleted) {
  if (m_entries.size() >= kMaxRecords) return kNone;
  FatDirRecord r{};
  ByteCursor c(slot, 11);
  r.attributes = c.u8();
  c.skip(1);
  r.creationTimeTenth = c.u8();
  r.creationTime = c.le16();
  r.creationDate = c.le16();
  r.accessDate = c.le16();
  r.firstClusterHigh = c.le16();
  r.writeTime = c.le16();
  r.writeDate = c.le16();
  r.firstClusterLow = c.le16();
  r.fileSize = c.le32();
  // FAT12/16 entries carry no high half.
  if (!m_fat32) r.firstClusterHigh = 0;
  r.deleted = deleted ? 1 : 0;
  r.name = static_cast<std::uint32_t>(m_names.size());
  m_names.push_back(std::move(name));
  r.parentIndex = parent;
  r.selfIndex = static_cast<std::int32_t>(m_entries.size());
  r.firstChild = kNone;
  r.nextSibling = kNone;
  m_entries.push_back(r);
  return r.selfIndex;
}

void FatParser::walkSlots(Bytes buffer, std::int32_t parent, bool root, std::vector<FolderWork>& work,
                          const std::vector<std::uint64_t>& chunkOffsets, std::size_t chunk, bool advanced) {
  // One folder record per first cluster within a folder: a later slot only renames the earlier record.
  std::unordered_map<std::uint32_t, std::int32_t> folderByCluster;
  if (chunk == 0) chunk = std::max<std::size_t>(buffer.size(), 1);
  for (std::size_t at = 0; fits(buffer.size(), at, kSlot);) {
    const Bytes slot = buffer.subspan(at, kSlot);
    const std::uint8_t first = byteAt(slot, 0);
    const std::uint8_t attributes = byteAt(slot, 11);
    if (advanced) {
      if (attributes == 0xCD) break;
      if (first != 0 && first != '.') {
        const std::size_t piece = at / chunk;
        const std::uint64_t offset = (piece < chunkOffsets.size() ? chunkOffsets[piece] : 0) + at % chunk;
        if (!m_consumed.insert(offset).second) {
          at = (at / chunk + 1) * chunk;
          continue;
        }
      }
    }
    if (!root && first == '.') {
      at += kSlot;
      continue;
    }
    if (!root && first == 0x00) {
      // FAT32 honours the end-of-directory mark; FAT12/16 skips such slots.
      if (m_fat32) break;
      at += kSlot;
      continue;
    }
    if (isLongNameAttribute(attributes)) {
      at = gatherLongName(buffer, at);
      continue;
    }
    // The short entry's own mark tells a deleted file; its long name is checked against it.
    const bool deleted = first == kDeletedMark;
    const bool folder = inFolderSet(attributes);
    std::u16string name = takeName(slot, folder);
    at += kSlot;
    if (first == 0x00 || first == '.') continue;
    if (!folder) {
      if (appendRecord(slot, parent, std::move(name), deleted) == kNone) return;
      continue;
    }
    const std::uint32_t cluster = static_cast<std::uint32_t>(le16At(slot, 20)) << 16 | le16At(slot, 26);
    const std::uint32_t key = m_fat32 ? cluster : (cluster & 0xFFFF);
    const auto known = folderByCluster.find(key);
    if (known != folderByCluster.end()) {
      FatDirRecord& earlier = m_entries[static_cast<std::size_t>(known->second)];
      earlier.name = static_cast<std::uint32_t>(m_names.size());
      m_names.push_back(std::move(name));
      if (root) earlier.deleted = deleted ? 1 : 0;
      continue;
    }
    const std::int32_t index = appendRecord(slot, parent, std::move(name), deleted);
    if (index == kNone) return;
    folderByCluster.emplace(key, index);
    work.push_back({index, key, -1});
  }
}

bool FatParser::parseFolder(const FolderWork& folder, std::vector<FolderWork>& work, bool advanced) {
  std::uint32_t cluster = folder.cluster;
  if (!clusterInVolume(cluster) || m_visitedClusters.count(cluster) || m_clusterSize == 0) return false;
  m_visitedClusters.insert(cluster);
  std::vector<std::uint64_t> offsets{clusterOffset(cluster)};
  std::vector<std::byte> buffer = readBytes(offsets.front(), m_clusterSize);
  // A folder whose first slot is not "." was overwritten: it yields nothing.
  if (byteAt(buffer, 0) != '.') return false;
  int further = 0;
  while (buffer.size() + m_clusterSize <= kMaxFolderBytes && (folder.furtherClusters < 0 || further < folder.furtherClusters)) {
    cluster = nextCluster(cluster);
    if (cluster == kEndOfChain || !m_visitedClusters.insert(cluster).second) break;
    offsets.push_back(clusterOffset(cluster));
    const std::vector<std::byte> more = readBytes(offsets.back(), m_clusterSize);
    buffer.insert(buffer.end(), more.begin(), more.end());
    ++further;
  }
  walkSlots(buffer, folder.index, false, work, offsets, m_clusterSize, advanced);
  return true;
}

void FatParser::drainFolders(std::vector<FolderWork>& work, bool advanced) {
  // Live folders go first, so that a deleted folder whose cluster a live one now uses cannot take the
  // live folder's entries.
  std::deque<FolderWork> live;
  std::deque<FolderWork> deleted;
  auto sort = [&] {
    for (const FolderWork& w : work) (entry(w.index).deleted ? deleted : live).push_back(w);
    work.clear();
  };
  sort();
  while (!live.empty() || !deleted.empty()) {
    if (stopRequested()) return;
    std::deque<FolderWork>& from = live.empty() ? deleted : live;
    const FolderWork next = from.front();
    from.pop_front();
    parseFolder(next, work, advanced);
    m_longName = {};
    sort();
  }
}

void FatParser::resetTable() {
  m_entries.clear();
  m_names.clear();
  m_visitedClusters.clear();
  m_longName = {};
  m_consumed.clear();
  m_entryCandidates.clear();
  m_rootMarkerSeen = false;
  m_topItem = kNoItem;
}

void FatParser::parseRootDirectory() {
  std::vector<std::byte> root;
  if (m_fat32) {
    // The root's chain starts at the boot sector's root cluster and is followed to its end.
    for (std::uint32_t c = m_rootCluster; clusterInVolume(c) && root.size() + m_clusterSize <= kMaxFolderBytes;
         c = nextCluster(c)) {
      if (!m_visitedClusters.insert(c).second) break;
      const std::vector<std::byte> more = readBytes(clusterOffset(c), m_clusterSize);
      root.insert(root.end(), more.begin(), more.end());
      if (driveFormatted) break;
    }
  } else {
    root = readBytes(m_rootOffset, static_cast<std::size_t>(std::min<std::uint64_t>(m_rootBytes, kMaxFolderBytes)));
  }
  const Bytes rootBytes(root);
  std::vector<std::byte> first(kSlot);
  std::copy_n(root.begin(), std::min(root.size(), kSlot), first.begin());
  appendRecord(first, 0, u"DUMMY ENTRY", false);
  m_entries[0].deleted = 0;
  std::vector<FolderWork> work;
  walkSlots(rootBytes, 0, true, work, {}, 0, false);
  drainFolders(work, false);
}

void FatParser::linkEntries() {
  const std::size_t n = m_entries.size();
  progressRange(0, 1000, ProgressAmount::items(static_cast<std::int64_t>(n)));
  std::vector<std::int32_t> lastChild(n, kNone);
  const std::size_t step = std::max<std::size_t>(1, n / 1000);
  for (std::size_t i = 0; i < n; ++i) {
    if (i % step == 0) progressPosition(static_cast<std::int64_t>(i * 1000 / n));
    FatDirRecord& r = m_entries[i];
    const std::int32_t p = r.parentIndex;
    if (p < 0 || static_cast<std::size_t>(p) >= n || static_cast<std::size_t>(p) == i) continue;
    // Children keep table order.
    if (m_entries[static_cast<std::size_t>(p)].firstChild == kNone)
      m_entries[static_cast<std::size_t>(p)].firstChild = static_cast<std::int32_t>(i);
    else
      m_entries[static_cast<std::size_t>(lastChild[static_cast<std::size_t>(p)])].nextSibling = static_cast<std::int32_t>(i);
    lastChild[static_cast<std::size_t>(p)] = static_cast<std::int32_t>(i);
  }
  progressPosition(1000);
}

bool FatParser::topLevelAttribute(std::uint8_t a) const {
  // Every root record is an item, read-only, hidden, system and archive-cleared ones too; the volume
  // label is none.
  return !isLabelAttribute(a) && !isLongNameAttribute(a);
}

void FatParser::fillTopLevel() {
  if (!m_tree) return;
  m_topItem = m_tree->insertItem(m_topItemText, kTreeRoot, kInsertLast, TreeIcon::Folder, kTopItemData, false);
  const std::size_t n = m_entries.size();
  for (std::size_t i = 1; i < n; ++i) {
    if (i % 1000 == 0 || i + 1 == n) status(format("filling entry =%d in tree ", static_cast<int>(i)));
    const FatDirRecord& r = m_entries[i];
    if (r.parentIndex != 0 || !topLevelAttribute(r.attributes) || m_names[r.name] == u"DUMMY ENTRY") continue;
    const TreeItem item = m_tree->insertItem(utf8FromUtf16(m_names[r.name]), m_topItem, kInsertLast,
                                             inFolderSet(r.attributes) ? TreeIcon::Folder : TreeIcon::File,
                                             static_cast<std::int64_t>(i), false);
    if (r.deleted) m_tree->markDeleted(item, true);
  }
  m_tree->SetCheck(m_topItem, true);
  m_tree->expand(m_topItem, true);
}

std::u16string FatParser::entryName(std::int64_t index) const {
  if (!isEntry(index)) return {};
  return m_names[entry(index).name];
}

void FatParser::renameEntry(std::int64_t index, std::u16string name) {
  if (!isEntry(index)) return;
  m_entries[static_cast<std::size_t>(index)].name = static_cast<std::uint32_t>(m_names.size());
  m_names.push_back(std::move(name));
}

bool FatParser::isFolderRecord(std::int64_t index) const { return isEntry(index) && inFolderSet(entry(index).attributes); }

bool FatParser::isLabelRecord(std::int64_t index) const {
  return isEntry(index) && index != 0 && isLabelAttribute(entry(index).attributes);
}

std::vector<std::int64_t> FatParser::childEntries(std::int64_t index) const {
  std::vector<std::int64_t> out;
  if (!isEntry(index)) return out;
  for (std::int32_t c = entry(index).firstChild; c != kNone && isEntry(c) && out.size() < m_entries.size();
       c = entry(c).nextSibling)
    out.push_back(c);
  return out;
}

bool FatParser::writeFileData(std::int64_t index, DataSink& sink) {
  if (!isEntry(index)) return false;
  const FatDirRecord r = entry(index);
  std::uint64_t remaining = r.fileSize;
  bool ok = true;
  if (remaining > 0) {
    std::uint32_t cluster = r.firstCluster();
    if (!m_fat32) cluster &= 0xFFFF;
    if (!clusterInVolume(cluster) || m_clusterSize == 0) return false;
    // A freed first cluster means a deleted file: its clusters are taken in order from the first, passing
    // over clusters that live files hold now.
    const bool freed = !driveFormatted && rawEntry(cluster) == 0;
    std::uint32_t runStart = cluster;
    std::uint32_t runLength = 1;
    // Each piece is read into the thread's page-aligned buffer, cleared first as a fresh buffer would be:
    // a reader that fails without filling it leaves zeros, never bytes of an earlier piece or file.
    std::vector<std::byte> fallback;
    std::span<std::byte> memory = threadReadBuffer(kMaxRunRead);
    if (memory.empty()) {
      fallback.resize(kMaxRunRead);
      memory = fallback;
    }
    auto flushRun = [&]() {
      std::uint64_t bytes = std::min<std::uint64_t>(std::uint64_t{runLength} * m_clusterSize, remaining);
      std::uint64_t offset = clusterOffset(runStart);
      while (bytes > 0 && ok) {
        const std::size_t piece = static_cast<std::size_t>(std::min<std::uint64_t>(bytes, kMaxRunRead));
        const std::span<std::byte> data = memory.first(piece);
        std::fill(data.begin(), data.end(), std::byte{0});
        const bool complete = m_view.attached() && m_view.read(offset, data);
        if (!sink.write(data)) ok = false;
        if (!complete) ok = false;
        offset += piece;
        bytes -= piece;
        remaining -= piece;
      }
    };
    auto following = [&](std::uint32_t c) -> std::uint32_t {
      if (driveFormatted || freed) {
        for (std::uint32_t next = c + 1; clusterInVolume(next); ++next)
          if (driveFormatted || rawEntry(next) == 0) return next;
        return kEndOfChain;
      }
      return nextCluster(c);
    };
    while (ok && remaining > std::uint64_t{runLength} * m_clusterSize) {
      const std::uint32_t next = following(runStart + runLength - 1);
      if (next == kEndOfChain) break;
      if (next == runStart + runLength && runLength < kMaxRunRead / m_clusterSize) {
        ++runLength;
        continue;
      }
      flushRun();
      runStart = next;
      runLength = 1;
    }
    if (ok) flushRun();
    // The chain ended before the size was covered.
    if (remaining > 0) ok = false;
  }
  const auto access = fileTimeFromDos(r.accessDate, 0);
  const auto modification = fileTimeFromDos(r.writeDate, r.writeTime);
  if (access || modification) {
    const std::int64_t a = unixNanosecondsFromFileTime(access ? *access : *modification);
    const std::int64_t m = unixNanosecondsFromFileTime(modification ? *modification : *access);
    sink.setTimes(a, m);
  }
  if (const auto creation = fileTimeFromDos(r.creationDate, r.creationTime, r.creationTimeTenth))
    sink.setCreationTime(unixNanosecondsFromFileTime(*creation));
  return ok;
}

FatRecordTexts FatParser::formatTimes(const FatDirRecord& r) const {
  FatRecordTexts t;
  t.creation = dosDate(r.creationDate, true, r.creationTime);
  t.access = dosDate(r.accessDate, false, 0);
  t.modification = dosDate(r.writeDate, true, r.writeTime);
  if (r.attributes & 0x01) t.attributes += "-R";
  if (r.attributes & 0x02) t.attributes += "-H";
  if (r.attributes & 0x04) t.attributes += "-S";
  if (r.attributes & 0x20) t.attributes += "-A";
  return t;
}

}  // namespace tessary
