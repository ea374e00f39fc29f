// The exFAT parser's standard road: boot sector, geometry, the directory walk over File entry sets, the
// links and the tree's top level, the data writer and the detail list's texts.
#include "fs/exfat/fat64.h"

#include <algorithm>
#include <cstring>

#include "fs/exfat/exfat_layout.h"
#include "platform/bytes.h"
#include "platform/file_time.h"
#include "platform/large_buffer.h"
#include "platform/text.h"

namespace tessary {

using namespace exfat_layout;

namespace {

// A parse keeps at most this many records, whatever a damaged volume seems to hold.
constexpr std::size_t kMaxRecords = std::size_t{1} << 24;
// The FAT is read in windows of this size.
constexpr std::uint64_t kFatWindow = 64 * 1024;
// File data is read in pieces of at most this size.
constexpr std::uint64_t kDataPiece = 1ull << 20;

bool isFileType(std::uint8_t t) { return t == kTypeFile || t == kTypeFileDeleted; }
bool isStreamType(std::uint8_t t) { return t == kTypeStream || t == kTypeStreamDeleted; }
bool isNameType(std::uint8_t t) { return t == kTypeName || t == kTypeNameDeleted; }

std::optional<std::int64_t> stampNanoseconds(std::uint32_t stamp) {
  const std::optional<FileTime> ft =
      fileTimeFromDos(static_cast<std::uint16_t>(stamp >> 16), static_cast<std::uint16_t>(stamp & 0xFFFF));
  if (!ft) return std::nullopt;
  return unixNanosecondsFromFileTime(*ft);
}

std::string stampText(std::uint32_t stamp) {
  const unsigned date = stamp >> 16;
  const unsigned time = stamp & 0xFFFF;
  CalendarTime t;
  t.day = static_cast<int>(date & 0x1F);
  t.month = static_cast<int>((date >> 5) & 0x0F);
  t.year = static_cast<int>(1980 + (date >> 9));
  t.hour = static_cast<int>(time >> 11);
  t.minute = static_cast<int>((time >> 5) & 0x3F);
  return formatListTime(t);
}

}  // namespace

// The 32-byte slots of a directory: its clusters in order, one cluster held at a time; or a fixed buffer
// (a candidate's sectors). Slots are read in rising order, so each cluster is read once.
struct Fat64Class::Slots {
  const Fat64Class& fs;
  const std::vector<std::uint32_t>* clusters = nullptr;
  std::size_t perCluster = 0;
  std::size_t loaded = SIZE_MAX;
  std::vector<std::byte> buffer;
  std::uint64_t fixedBase = 0;

  Slots(const Fat64Class& owner, const std::vector<std::uint32_t>& list)
      : fs(owner), clusters(&list), perCluster(static_cast<std::size_t>(owner.m_clusterSize / kEntrySize)) {}
  Slots(const Fat64Class& owner, std::vector<std::byte> bytes, std::uint64_t base)
      : fs(owner), buffer(std::move(bytes)), fixedBase(base) {}

  std::size_t count() const { return clusters ? clusters->size() * perCluster : buffer.size() / kEntrySize; }
  Bytes slot(std::size_t i) {
    if (clusters) {
      const std::size_t c = i / perCluster;
      if (c != loaded) {
        buffer.assign(static_cast<std::size_t>(fs.m_clusterSize), std::byte{0});
        if (const std::optional<std::uint64_t> at = fs.clusterOffset((*clusters)[c])) fs.readVolume(*at, buffer);
        loaded = c;
      }
      return slice(buffer, (i % perCluster) * kEntrySize, kEntrySize);
    }
    return slice(buffer, i * kEntrySize, kEntrySize);
  }
  std::uint8_t type(std::size_t i) { return u8At(slot(i), 0); }
  std::uint64_t offset(std::size_t i) const {
    if (!clusters) return fixedBase + i * kEntrySize;
    return fs.clusterOffset((*clusters)[i / perCluster]).value_or(0) + (i % perCluster) * kEntrySize;
  }
};

void Fat64Class::attach(const VolumeView& view, std::uint64_t volumeBytes) {
  m_view = view;
  m_volumeSize = std::min(volumeBytes, view.bytesToDiskEnd());
  m_fatWindowStart = UINT64_MAX;
}

bool Fat64Class::readVolume(std::uint64_t offset, std::span<std::byte> out) const {
  std::fill(out.begin(), out.end(), std::byte{0});
  if (offset >= m_volumeSize) return false;
  const std::uint64_t inside = std::min<std::uint64_t>(out.size(), m_volumeSize - offset);
  const bool ok = m_view.read(offset, out.first(static_cast<std::size_t>(inside)));
  return ok && inside == out.size();
}

bool Fat64Class::checkBootSector() {
  m_bootPassed = false;
  m_boot.assign(512, std::byte{0});
  // The volume's length is the boot sector's own, bounded by the disk; the size the volume was attached
  // with (the volume list's whole MiB) stands in only while the boot sector is read and when its length
  // cannot be right.
  const std::uint64_t attachedSize = m_volumeSize;
  const std::uint64_t toDiskEnd = m_view.bytesToDiskEnd();
  m_volumeSize = std::max<std::uint64_t>(attachedSize, std::min<std::uint64_t>(512, toDiskEnd));
  if (!readVolume(0, m_boot)) {
    m_volumeSize = attachedSize;
    if (m_sink) m_sink->showMessage("cant read file");
    return false;
  }
  m_volumeSize = attachedSize;
  const Bytes b(m_boot);
  if (!usableBootSector(b)) return false;
  const unsigned sectorShift = u8At(b, kBootBytesPerSectorShift);
  const unsigned clusterShift = u8At(b, kBootSectorsPerClusterShift);
  m_bytesPerSector = std::uint64_t{1} << sectorShift;
  m_clusterSize = m_bytesPerSector << clusterShift;
  m_bootClusterShift = clusterShift;
  const std::uint64_t fat = std::uint64_t{le32At(b, kBootFatOffset)} * m_bytesPerSector;
  const std::uint64_t heap = std::uint64_t{le32At(b, kBootClusterHeapOffset)} * m_bytesPerSector;
  const std::uint64_t length =
      std::min(checkedMul(le64At(b, kBootVolumeLength), m_bytesPerSector).value_or(UINT64_MAX), toDiskEnd);
  // A length that leaves no room for the FAT and the heap is damaged; the attached size serves then.
  if (length > heap && length > fat) m_volumeSize = length;
  // The FAT and the cluster heap lie inside the volume, past the boot region.
  if (fat == 0 || heap == 0 || fat >= m_volumeSize || heap >= m_volumeSize) return false;
  m_fatOffset = fat;
  m_heapOffset = heap;
  m_rootCluster = le32At(b, kBootRootCluster);
  m_advanced = false;
  m_fatWindowStart = UINT64_MAX;
  m_bootPassed = true;
  return true;
}

std::uint64_t Fat64Class::clusterLimit() const { return m_clusterSize ? m_volumeSize / m_clusterSize : 0; }

std::optional<std::uint64_t> Fat64Class::clusterOffset(std::uint32_t cluster) const {
  if (cluster < 2 || m_clusterSize == 0) return std::nullopt;
  const std::optional<std::uint64_t> rel = checkedMul(std::uint64_t{cluster - 2}, m_clusterSize);
  if (!rel) return std::nullopt;
  const std::optional<std::uint64_t> at = checkedAdd(*rel, m_heapOffset);
  if (!at || *at >= m_volumeSize) return std::nullopt;
  return at;
}

bool Fat64Class::readRoot() {
  m_chainSteps = 0;
  return m_clusterSize > 0 && clusterOffset(m_rootCluster).has_value();
}

std::uint32_t Fat64Class::nextCluster(std::uint32_t cluster) {
  ++m_chainSteps;
  if (m_driveFormatted || cluster < 2 || cluster >= clusterLimit()) return kEndOfChain;
  const std::optional<std::uint64_t> at = checkedAdd(m_fatOffset, std::uint64_t{cluster} * 4);
  if (!at || *at + 4 > m_volumeSize) return kEndOfChain;
  const std::uint64_t start = *at - *at % kFatWindow;
  if (start != m_fatWindowStart) {
    m_fatWindow.assign(static_cast<std::size_t>(std::min(kFatWindow, m_volumeSize - start)), std::byte{0});
    readVolume(start, m_fatWindow);
    m_fatWindowStart = start;
  }
  return le32(m_fatWindow, static_cast<std::size_t>(*at - start)).value_or(kEndOfChain);
}

std::vector<std::uint32_t> Fat64Class::chainClusters(std::uint32_t first, std::uint64_t maxClusters) {
  std::vector<std::uint32_t> clusters;
  std::uint32_t c = first;
  while (clusters.size() < maxClusters && clusterOffset(c) && m_visitedClusters.insert(c).second) {
    clusters.push_back(c);
    const std::uint32_t next = nextCluster(c);
    if (next == 0 || next == kEndOfChain) break;
    c = next;
  }
  return clusters;
}

std::vector<std::uint32_t> Fat64Class::folderClusters(const ExFatRecord& folder) {
  const std::uint64_t cap = std::min(clusterLimit(), std::max<std::uint64_t>(1, kMaxDirectoryBytes / m_clusterSize));
  if (m_driveFormatted) return chainClusters(folder.firstCluster, 1);
  if (folder.streamFlags == kFlagAllocationPossible) {
    // Along the FAT, no further than the folder's length says (one cluster of slack).
    return chainClusters(folder.firstCluster, std::min(cap, folder.validDataLength / m_clusterSize + 2));
  }
  // Without a FAT chain the folder's clusters follow one another for its whole length.
  const std::uint64_t length = std::max<std::uint64_t>(1, (folder.dataLength + m_clusterSize - 1) / m_clusterSize);
  std::vector<std::uint32_t> clusters;
  for (std::uint64_t i = 0; i < std::min(length, cap); ++i) {
    const std::uint64_t c = std::uint64_t{folder.firstCluster} + i;
    if (c > UINT32_MAX || !clusterOffset(static_cast<std::uint32_t>(c)) ||
        !m_visitedClusters.insert(static_cast<std::uint32_t>(c)).second)
      break;
    clusters.push_back(static_cast<std::uint32_t>(c));
  }
  return clusters;
}

std::size_t Fat64Class::decodeSet(Slots& slots, std::size_t at, ExFatRecord& record) const {
  {
    const Bytes f = slots.slot(at);
    record.entryType = u8At(f, 0);
    record.fileAttributes = le16At(f, kFileAttributes);
    record.createTimestamp = le32At(f, kFileCreate);
    record.modifyTimestamp = le32At(f, kFileModify);
    record.accessTimestamp = le32At(f, kFileAccess);
    record.create10ms = u8At(f, kFileCreate10ms);
    record.modify10ms = u8At(f, kFileModify10ms);
    record.createUtcOffset = u8At(f, kFileCreateUtc);
    record.modifyUtcOffset = u8At(f, kFileModifyUtc);
    record.accessUtcOffset = u8At(f, kFileAccessUtc);
    record.entryOffset = slots.offset(at);
  }
  std::size_t next = at + 1;
  const std::size_t count = slots.count();
  if (next < count && isStreamType(slots.type(next))) {
    const Bytes s = slots.slot(next);
    record.streamType = u8At(s, 0);
    record.streamFlags = u8At(s, kStreamFlags);
    record.nameLength = u8At(s, kStreamNameLength);
    record.validDataLength = le64At(s, kStreamValidDataLength);
    record.firstCluster = le32At(s, kStreamFirstCluster);
    record.dataLength = le64At(s, kStreamDataLength);
    ++next;
  }
  // The name is the File Name entries' pieces in order, each cut at its first zero unit; a run longer
  // than any name needs is cut after kMaxNameEntries entries.
  for (std::size_t pieces = 0; next < count && pieces < kMaxNameEntries && isNameType(slots.type(next));
       ++pieces, ++next) {
    const Bytes n = slots.slot(next);
    for (std::size_t u = 0; u < kUnitsPerNameEntry; ++u) {
      const std::uint16_t unit = le16At(n, kNameUnits + 2 * u);
      if (unit == 0) break;
      record.name.push_back(static_cast<char16_t>(unit));
    }
  }
  return next;
}

ExFatRecord Fat64Class::decodeSetIn(std::vector<std::byte> bytes, std::uint64_t base, std::size_t at) const {
  Slots slots(*this, std::move(bytes), base);
  ExFatRecord record;
  decodeSet(slots, at, record);
  return record;
}

void Fat64Class::walkDirectory(std::int32_t parent, const std::vector<std::uint32_t>& clusters, bool root) {
  Slots slots(*this, clusters);
  // Folders met in this directory, by the position of their first cluster: a second entry set for the
  // same folder only renames the first.
  std::unordered_map<std::uint32_t, std::int32_t> folderAt;
  const std::size_t count = slots.count();
  for (std::size_t s = 0; s < count;) {
    if (s % slots.perCluster == 0 && stopRequested()) return;
    if (!isFileType(slots.type(s))) {
      if (parent == 0 && slots.type(s) == kTypeBitmap) noteRootEntry(slots.slot(s));
      ++s;
      continue;
    }
    ExFatRecord record;
    const std::size_t next = decodeSet(slots, s, record);
    s = next;
    if (m_advanced && !m_consumed.insert(record.entryOffset).second) continue;
    if (m_entries.size() >= kMaxRecords) return;
    if (root && m_entries.empty()) {
      ExFatRecord dummy = record;
      dummy.name = u"DUMMY ENTRY";
      dummy.parentIndex = 0;
      dummy.selfIndex = 0;
      m_entries.push_back(std::move(dummy));
    }
    record.parentIndex = parent;
    record.selfIndex = static_cast<std::int32_t>(m_entries.size());
    if (record.folder() && record.firstCluster >= 2) {
      const auto [it, fresh] = folderAt.emplace(record.firstCluster, record.selfIndex);
      if (!fresh) {
        m_entries[static_cast<std::size_t>(it->second)].name = record.name;
        continue;
      }
      m_pendingFolders.push_back(record.selfIndex);
    }
    m_entries.push_back(std::move(record));
  }
}

void Fat64Class::walkPendingFolders() {
  for (std::size_t i = 0; i < m_pendingFolders.size() && !stopRequested(); ++i) {
    const std::int32_t index = m_pendingFolders[i];
    const std::vector<std::uint32_t> clusters = folderClusters(m_entries[static_cast<std::size_t>(index)]);
    if (!clusters.empty()) walkDirectory(index, clusters, false);
  }
  m_pendingFolders.clear();
}

void Fat64Class::parseRootDirectory() {
  const std::uint64_t cap = std::min(clusterLimit(), std::max<std::uint64_t>(1, kMaxDirectoryBytes / m_clusterSize));
  // The root follows its FAT chain to the end, each cluster once.
  const std::vector<std::uint32_t> clusters = chainClusters(m_rootCluster, cap);
  walkDirectory(0, clusters, true);
  walkPendingFolders();
}

void Fat64Class::linkEntries() {
  const std::size_t n = m_entries.size();
  for (ExFatRecord& r : m_entries) r.firstChild = r.nextSibling = -1;
  std::vector<std::int32_t> lastChild(n, -1);
  if (m_sink) m_sink->progressRange(0, 1000, ProgressAmount::items(static_cast<std::int64_t>(n)));
  std::int64_t shown = -1;
  for (std::size_t i = 0; i < n; ++i) {
    const std::int64_t permille = static_cast<std::int64_t>(i * 1000 / n);
    if (permille != shown && m_sink) m_sink->progressPosition(permille);
    shown = permille;
    const std::int32_t p = m_entries[i].parentIndex;
    if (p < 0 || static_cast<std::size_t>(p) >= n || static_cast<std::size_t>(p) == i) continue;
    const auto child = static_cast<std::int32_t>(i);
    if (m_entries[static_cast<std::size_t>(p)].firstChild < 0)
      m_entries[static_cast<std::size_t>(p)].firstChild = child;
    else
      m_entries[static_cast<std::size_t>(lastChild[static_cast<std::size_t>(p)])].nextSibling = child;
    lastChild[static_cast<std::size_t>(p)] = child;
  }
  if (m_sink) m_sink->progressPosition(1000);
}

void Fat64Class::insertTopItem() {
  if (!m_tree || m_topItem != kNoItem) return;
  m_topItem = m_tree->insertItem(m_topItemText, kTreeRoot, kInsertLast, TreeIcon::Folder, kNoEntry, false);
  m_tree->SetCheck(m_topItem, true);
  m_tree->expand(m_topItem, true);
}

void Fat64Class::fillTopLevel() {
  if (!m_tree || m_topItem == kNoItem) return;
  // Every root-level record but the root's own stands below the top item, files of any attribute too.
  for (std::size_t i = 1; i < m_entries.size(); ++i) {
    const ExFatRecord& r = m_entries[i];
    if (r.parentIndex != 0) continue;
    const TreeItem item = m_tree->insertItem(utf8FromUtf16(r.name), m_topItem, kInsertLast,
                                             r.folder() ? TreeIcon::Folder : TreeIcon::File,
                                             static_cast<std::int64_t>(i), false);
    if (r.deleted() && r.name != u"ORPHAN ENTRY") m_tree->markDeleted(item, true);
  }
  m_tree->SetCheck(m_topItem, true);
  m_tree->expand(m_topItem, true);
}

std::vector<std::int64_t> Fat64Class::childEntries(std::int64_t index) const {
  std::vector<std::int64_t> children;
  if (!isEntry(index)) return children;
  const auto n = static_cast<std::int64_t>(m_entries.size());
  for (std::int64_t c = m_entries[static_cast<std::size_t>(index)].firstChild;
       c >= 0 && c < n && static_cast<std::int64_t>(children.size()) < n;
       c = m_entries[static_cast<std::size_t>(c)].nextSibling)
    children.push_back(c);
  return children;
}

void Fat64Class::renameEntry(std::int64_t index, std::u16string name) {
  if (isEntry(index)) m_entries[static_cast<std::size_t>(index)].name = std::move(name);
}

bool Fat64Class::fatChainCovers(std::uint32_t first, std::uint64_t size) {
  const std::uint64_t need = (size + m_clusterSize - 1) / m_clusterSize;
  if (need == 0 || need > clusterLimit()) return false;
  std::uint32_t c = first;
  for (std::uint64_t i = 1; i < need; ++i) {
    const std::uint32_t next = nextCluster(c);
    if (next < 2 || next >= clusterLimit()) return false;
    c = next;
  }
  return nextCluster(c) == kEndOfChain;
}

bool Fat64Class::copyOut(std::uint64_t at, std::uint64_t bytes, DataSink& sink, bool& complete) const {
  // The thread's page-aligned buffer, kept from file to file: the host copies out of its page cache into
  // it, and out of it into the output file, at full speed. readVolume clears each piece before reading,
  // so a read that fails hands the sink zeros, never bytes of an earlier piece or file.
  std::vector<std::byte> fallback;
  std::span<std::byte> memory = threadReadBuffer(static_cast<std::size_t>(kDataPiece));
  if (memory.empty()) {
    fallback.resize(static_cast<std::size_t>(kDataPiece));
    memory = fallback;
  }
  while (bytes > 0) {
    const std::span<std::byte> piece = memory.first(static_cast<std::size_t>(std::min(bytes, kDataPiece)));
    if (!readVolume(at, piece)) complete = false;
    if (!sink.write(piece)) return false;
    at += piece.size();
    bytes -= piece.size();
  }
  return true;
}

bool Fat64Class::writeContiguous(std::uint32_t first, std::uint64_t size, DataSink& sink) {
  const std::optional<std::uint64_t> start = clusterOffset(first);
  if (!start) return false;
  // Data never reaches past the volume: what lies beyond is missing.
  const std::uint64_t inVolume = std::min(size, m_volumeSize - *start);
  bool complete = true;
  if (!copyOut(*start, inVolume, sink, complete)) return false;
  return complete && inVolume == size;
}

bool Fat64Class::writeChained(std::uint32_t first, std::uint64_t size, DataSink& sink) {
  // Clusters that follow one another on the chain are read together, a piece at a time.
  const std::uint64_t runLimit = std::max<std::uint64_t>(1, kDataPiece / m_clusterSize);
  const std::uint64_t maxSteps = std::min(size / m_clusterSize + 1, clusterLimit());
  bool complete = true;
  std::uint32_t c = first;
  std::uint64_t steps = 0;
  for (std::uint64_t left = size; left > 0;) {
    const std::optional<std::uint64_t> at = clusterOffset(c);
    if (!at) return false;
    // The run: c and the clusters after it while the chain steps to the next one.
    const std::uint64_t wanted = std::min(runLimit, (left + m_clusterSize - 1) / m_clusterSize);
    std::uint64_t run = 1;
    std::uint32_t next = kEndOfChain;
    for (;;) {
      next = nextCluster(c);
      if (run >= wanted || next != c + 1 || !clusterOffset(next)) break;
      if (++steps > maxSteps) return false;
      c = next;
      ++run;
    }
    // Only the file's bytes of the run are read: the last cluster's slack is no part of the file.
    const std::uint64_t n = std::min<std::uint64_t>(left, run * m_clusterSize);
    if (!copyOut(*at, n, sink, complete)) return false;
    left -= n;
    if (left == 0) break;
    if (next < 2 || next == kEndOfChain || ++steps > maxSteps) return false;
    c = next;
  }
  return complete;
}

void Fat64Class::noteRootEntry(Bytes slot) {
  // The first bitmap of the root serves (a second one belongs to a second FAT).
  if (m_bitmapCluster >= 2) return;
  const std::uint32_t first = le32At(slot, kTableFirstCluster);
  const std::uint64_t length = le64At(slot, kTableLength);
  if (first < 2 || length == 0) return;
  m_bitmapCluster = first;
  m_bitmapLength = length;
  m_bitmapLoaded = false;
}

void Fat64Class::loadBitmap() {
  m_bitmapLoaded = true;
  m_bitmap.clear();
  if (m_bitmapCluster < 2 || m_clusterSize == 0) return;
  // One bit per cluster of the volume, whatever length the entry claims.
  const std::uint64_t bytes = std::min(m_bitmapLength, clusterLimit() / 8 + 1);
  std::vector<std::byte> cluster(static_cast<std::size_t>(m_clusterSize));
  std::uint32_t c = m_bitmapCluster;
  while (m_bitmap.size() < bytes) {
    const std::optional<std::uint64_t> at = clusterOffset(c);
    if (!at || !readVolume(*at, cluster)) break;
    const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(m_clusterSize, bytes - m_bitmap.size()));
    for (std::size_t i = 0; i < take; ++i) m_bitmap.push_back(std::to_integer<std::uint8_t>(cluster[i]));
    // Along the FAT while it names the next cluster, else the next one on the disk.
    const std::uint32_t next = m_driveFormatted ? kEndOfChain : nextCluster(c);
    c = next >= 2 && next != kEndOfChain && next < clusterLimit() ? next : c + 1;
  }
}

bool Fat64Class::clusterInUse(std::uint32_t cluster) {
  if (!m_bitmapLoaded) loadBitmap();
  if (cluster < 2) return true;
  const std::uint64_t bit = cluster - 2;
  if (bit / 8 >= m_bitmap.size()) return false;
  return (m_bitmap[static_cast<std::size_t>(bit / 8)] >> (bit % 8)) & 1;
}

bool Fat64Class::writeFreeClusters(std::uint32_t first, std::uint64_t size, DataSink& sink) {
  bool complete = true;
  std::uint64_t c = first;
  for (std::uint64_t left = size; left > 0;) {
    if (c > UINT32_MAX) return false;
    const std::optional<std::uint64_t> at = clusterOffset(static_cast<std::uint32_t>(c));
    if (!at) return false;
    // The cluster and the free ones right after it are read together, a piece at a time.
    std::uint64_t n = std::min(left, m_clusterSize);
    for (++c; c < clusterLimit() + 2 && c <= UINT32_MAX && n < left && n < kDataPiece &&
              clusterOffset(static_cast<std::uint32_t>(c)) &&
              !clusterInUse(static_cast<std::uint32_t>(c));
         ++c)
      n += std::min(left - n, m_clusterSize);
    if (!copyOut(*at, n, sink, complete)) return false;
    left -= n;
    // The clusters another file holds now were never this file's.
    for (; c < clusterLimit() + 2 && clusterInUse(static_cast<std::uint32_t>(c));) ++c;
  }
  return complete;
}

std::uint64_t Fat64Class::fileSize(const ExFatRecord& r) const {
  if (r.dataLength < r.validDataLength || r.dataLength > m_volumeSize) return r.validDataLength;
  return r.dataLength;
}

bool Fat64Class::writeFileData(std::int64_t index, DataSink& sink) {
  if (!isEntry(index) || m_clusterSize == 0) return false;
  const ExFatRecord r = m_entries[static_cast<std::size_t>(index)];
  bool ok = true;
  const std::uint64_t size = r.folder() ? 0 : fileSize(r);
  const std::uint64_t valid = std::min(r.validDataLength, size);
  if (valid > 0) {
    m_chainSteps = 0;
    bool contiguous = m_driveFormatted || r.streamFlags != kFlagAllocationPossible;
    // A deleted file keeps its first cluster and length; its FAT chain is used only while it still
    // covers the file's clusters exactly. Else its clusters are the free ones from its first on, when
    // the allocation bitmap tells them, or those that follow one another.
    if (!contiguous && r.deleted() && !fatChainCovers(r.firstCluster, size)) {
      if (bitmapFound())
        ok = writeFreeClusters(r.firstCluster, valid, sink);
      else
        ok = writeContiguous(r.firstCluster, valid, sink);
    } else {
      ok = contiguous ? writeContiguous(r.firstCluster, valid, sink) : writeChained(r.firstCluster, valid, sink);
    }
  }
  // Past the valid data the file reads as zeros and stores none.
  if (ok && size > valid && !sink.hole(size - valid)) ok = false;
  // A stamp that names no date leaves the host's times as they are.
  const std::optional<std::int64_t> access = stampNanoseconds(r.accessTimestamp);
  const std::optional<std::int64_t> modify = stampNanoseconds(r.modifyTimestamp);
  if (access && modify) sink.setTimes(*access, *modify);
  if (const std::optional<std::int64_t> create = stampNanoseconds(r.createTimestamp)) sink.setCreationTime(*create);
  return ok;
}

Fat64Texts Fat64Class::formatTimes(const ExFatRecord& r) const {
  Fat64Texts t;
  t.creation = stampText(r.createTimestamp);
  t.access = stampText(r.accessTimestamp);
  t.modification = stampText(r.modifyTimestamp);
  if (r.fileAttributes & 0x01) t.attributes += "-R";
  if (r.fileAttributes & 0x02) t.attributes += "-H";
  if (r.fileAttributes & 0x04) t.attributes += "-S";
  if (r.fileAttributes & 0x20) t.attributes += "-A";
  return t;
}

std::string Fat64Class::formatSize(const ExFatRecord& r) const { return sizeText(fileSize(r)); }

}  // namespace tessary
