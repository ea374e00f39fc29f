// The exFAT parser's advanced mode: FAT and heap-offset candidates, the entry-set scan over every cluster,
// and the table built from the chosen FAT and heap offsets and the sets found.
#include <algorithm>

#include "fs/exfat/exfat_layout.h"
#include "fs/exfat/fat64.h"
#include "platform/bytes.h"
#include "platform/text.h"

namespace tessary {

using namespace exfat_layout;

namespace {

constexpr std::uint64_t kCandidateBlock = 10ull << 20;
constexpr std::uint64_t kStep = 512;
// A candidate's set is decoded from this many bytes starting at its sector.
constexpr std::size_t kCandidateRead = 2048;

bool allZero(Bytes b, std::size_t from, std::size_t to) {
  for (std::size_t i = from; i < to; ++i)
    if (u8At(b, i) != 0) return false;
  return true;
}

// A File entry set that starts at slot `at` of the cluster and ends inside it, with the reserved fields
// of each entry clear and as many File Name entries as its name needs.
bool completeSet(Bytes cluster, std::size_t at) {
  const Bytes f = slice(cluster, at, kEntrySize);
  if (f.empty()) return false;
  const std::uint8_t attributes = u8At(f, kFileAttributes);
  static constexpr std::uint8_t kAttributes[] = {0x10, 0x11, 0x12, 0x13, 0x15, 0x20, 0x30};
  if (std::find(std::begin(kAttributes), std::end(kAttributes), attributes) == std::end(kAttributes)) return false;
  if (le16At(f, 6) != 0 || !allZero(f, 25, 32)) return false;
  const Bytes s = slice(cluster, at + kEntrySize, kEntrySize);
  if (s.empty()) return false;
  const std::uint8_t st = u8At(s, 0);
  if (st != kTypeStream && st != kTypeStreamDeleted) return false;
  const std::uint8_t flags = u8At(s, kStreamFlags);
  if (u8At(s, 2) != 0 || le16At(s, 6) != 0 || le32At(s, 16) != 0 || (flags != 1 && flags != 3)) return false;
  const std::size_t names = (u8At(s, kStreamNameLength) + kUnitsPerNameEntry - 1) / kUnitsPerNameEntry;
  for (std::size_t k = 0; k < names; ++k) {
    const Bytes n = slice(cluster, at + (2 + k) * kEntrySize, kEntrySize);
    if (n.empty()) return false;
    const std::uint8_t nt = u8At(n, 0);
    if ((nt != kTypeName && nt != kTypeNameDeleted) || u8At(n, 1) > 3) return false;
  }
  return true;
}

// A root's own entries: the volume label (0x83, or 0x03 without a label), the allocation bitmap (0x81) and
// the up-case table (0x82), each with its fields in range, side by side. True when the slot at `at` is
// the first of such a group of the block; a file's bytes that happen to hold one such entry are no root.
bool rootShaped(Bytes block, std::size_t at) {
  auto type = [&](std::size_t slot) { return u8At(block, slot * kEntrySize); };
  const std::size_t slots = block.size() / kEntrySize;
  const std::size_t first = at / kEntrySize;
  auto rootEntry = [&](std::size_t slot) {
    const Bytes e = slice(block, slot * kEntrySize, kEntrySize);
    switch (u8At(e, 0)) {
      case kTypeVolumeLabel:
        return u8At(e, 1) <= 11 && allZero(e, 24, 32);
      case kTypeVolumeLabelEmpty:
        return u8At(e, 1) == 0;
      case kTypeBitmap:
      case kTypeUpcase:
        return le32At(e, kTableFirstCluster) >= 2 && le64At(e, kTableLength) != 0 &&
               (u8At(e, 0) != kTypeBitmap || u8At(e, kBitmapFlags) <= 1);
      default:
        return false;
    }
  };
  if (first >= slots || !rootEntry(first)) return false;
  if (first > 0 && rootEntry(first - 1)) return false;
  bool label = false, bitmap = false, upcase = false;
  for (std::size_t s = first; s < slots && s < first + 4 && rootEntry(s); ++s) {
    label = label || type(s) == kTypeVolumeLabel || type(s) == kTypeVolumeLabelEmpty;
    bitmap = bitmap || type(s) == kTypeBitmap;
    upcase = upcase || type(s) == kTypeUpcase;
  }
  (void)label;  // a volume without a label may have no label entry at all
  return bitmap && upcase;
}

}  // namespace

void Fat64Class::findCandidates(int maximum) {
  const std::size_t most = static_cast<std::size_t>(maximum < 1 ? 3 : maximum);
  m_fatCandidates.clear();
  m_heapCandidates.clear();
  if (m_sink) m_sink->progressRange(0, 1000);
  std::vector<std::byte> block;
  bool fatDone = false;
  bool heapDone = false;
  for (std::uint64_t pos = 0; pos < m_volumeSize && !(fatDone && heapDone);) {
    // Blocks of the image that hold no data read as zeros and cannot hold a candidate.
    const std::optional<std::uint64_t> data = m_view.nextData(pos);
    if (!data || *data >= m_volumeSize) break;
    pos = std::max(pos, *data - *data % kStep);
    const std::uint64_t n = std::min(kCandidateBlock, m_volumeSize - pos);
    block.assign(static_cast<std::size_t>(n), std::byte{0});
    readVolume(pos, block);
    const Bytes b(block);
    for (std::size_t at = 0; at + 8 <= block.size() && !(fatDone && heapDone); at += kStep) {
      const std::uint64_t head = le64At(b, at);
      if (!fatDone && head == 0xFFFFFFFFFFFFFFF8ull) {
        m_fatCandidates.push_back(pos + at);
        status(format("found fat entry  %d ", static_cast<int>(m_fatCandidates.size())));
        fatDone = m_fatCandidates.size() >= most;
      }
      if (!heapDone && head == UINT64_MAX) {
        m_heapCandidates.push_back(pos + at);
        heapDone = m_heapCandidates.size() > most;
      }
    }
    pos += n;
    if (m_sink) m_sink->progressPosition(static_cast<std::int64_t>(pos * 1000 / m_volumeSize));
    if (stopRequested()) {
      m_stopFlag = 0;
      break;
    }
  }
  if (m_sink) m_sink->progressPosition(1000);
}

bool Fat64Class::setAdvancedGeometry(unsigned exponent) {
  if (exponent > kMaxClusterShift - kMinBytesPerSectorShift) return false;
  m_bytesPerSector = 512;
  m_clusterSize = m_bytesPerSector << exponent;
  m_advanced = true;
  m_fatWindowStart = UINT64_MAX;
  return true;
}

void Fat64Class::clearEntries() {
  m_entries.clear();
  m_visitedClusters.clear();
  m_pendingFolders.clear();
  m_consumed.clear();
  m_entryCandidates.clear();
  m_rootClusters.clear();
  m_rootMarker = 0;
  m_bitmapCluster = 0;
  m_bitmapLength = 0;
  m_bitmapLoaded = false;
  m_bitmap.clear();
}

void Fat64Class::scanEntryCandidates() {
  m_entryCandidates.clear();
  if (m_clusterSize == 0) return;
  if (m_sink) m_sink->progressRange(0, 1000);
  std::vector<std::byte> cluster(static_cast<std::size_t>(m_clusterSize));
  std::int64_t shown = -1;
  // The first group of root entries marks the root; lacking one, the first bare volume label does.
  bool rootFound = false;
  std::uint64_t firstLabel = 0;
  bool labelSeen = false;
  for (std::uint64_t pos = 0; pos < m_volumeSize;) {
    if (stopRequested()) {
      m_stopFlag = 0;
      break;
    }
    const std::optional<std::uint64_t> data = m_view.nextData(pos);
    if (!data || *data >= m_volumeSize) break;
    pos = std::max(pos, *data - *data % m_clusterSize);
    readVolume(pos, cluster);
    const Bytes b(cluster);
    for (std::size_t at = 0; at < cluster.size(); at += kEntrySize) {
      const std::uint8_t type = u8At(b, at);
      if (!rootFound && (type == kTypeVolumeLabel || type == kTypeVolumeLabelEmpty || type == kTypeBitmap ||
                         type == kTypeUpcase) &&
          rootShaped(b, at)) {
        rootFound = true;
        m_rootMarker = pos + at;
      } else if (type == kTypeVolumeLabel && allZero(b, at + 24, at + 32)) {
        if (!labelSeen) firstLabel = pos + at;
        labelSeen = true;
      } else if ((type == kTypeFile || type == kTypeFileDeleted) && completeSet(b, at)) {
        m_entryCandidates.push_back(pos + at);
        status(format("found Entry %d ", static_cast<int>(m_entryCandidates.size())));
      }
    }
    pos += m_clusterSize;
    const auto permille = static_cast<std::int64_t>(std::min(pos, m_volumeSize) * 1000 / m_volumeSize);
    if (permille != shown && m_sink) m_sink->progressPosition(permille);
    shown = permille;
  }
  if (!rootFound && labelSeen) m_rootMarker = firstLabel;
}

ExFatRecord Fat64Class::candidateSet(std::uint64_t candidate) const {
  const std::uint64_t sector = candidate - candidate % kStep;
  std::vector<std::byte> bytes(kCandidateRead);
  readVolume(sector, bytes);
  return decodeSetIn(std::move(bytes), sector, static_cast<std::size_t>((candidate - sector) / kEntrySize));
}

void Fat64Class::buildFromCandidates(std::uint64_t heapOffset, std::uint64_t fatOffset) {
  m_heapOffset = heapOffset;
  m_fatOffset = fatOffset;
  m_fatWindowStart = UINT64_MAX;
  if (m_clusterSize == 0 || m_entryCandidates.empty()) return;
  const std::uint64_t firstCandidate = m_entryCandidates.front();
  if (m_rootMarker == 0) m_rootMarker = firstCandidate;
  {
    const ExFatRecord first = candidateSet(firstCandidate);
    ExFatRecord dummy = first;
    dummy.name = u"DUMMY ENTRY";
    dummy.parentIndex = 0;
    dummy.selfIndex = 0;
    m_entries.push_back(dummy);
    // The orphans' folder is a live folder whatever the set it copies.
    ExFatRecord orphan = first;
    orphan.name = u"ORPHAN ENTRY";
    orphan.entryType = kTypeFile;
    orphan.fileAttributes = 0x10;
    orphan.firstCluster = 0;
    orphan.parentIndex = 0;
    orphan.selfIndex = 1;
    m_entries.push_back(orphan);
  }
  // The root: the root marker's cluster and its FAT chain, walked as one directory, so that sets that
  // run from one of its clusters into the next are read whole.
  if (m_rootMarker >= m_heapOffset) {
    const std::uint64_t c = (m_rootMarker - m_heapOffset) / m_clusterSize + 2;
    if (c <= UINT32_MAX) {
      const std::uint64_t cap = std::min(clusterLimit(), std::max<std::uint64_t>(1, kMaxDirectoryBytes / m_clusterSize));
      const std::vector<std::uint32_t> root = chainClusters(static_cast<std::uint32_t>(c), cap);
      m_rootClusters.insert(root.begin(), root.end());
      walkDirectory(0, root, false);
      walkPendingFolders();
    }
  }
  for (const std::uint64_t candidate : m_entryCandidates) {
    if (stopRequested() || m_entries.size() >= (std::size_t{1} << 24)) break;
    if (!m_consumed.insert(candidate).second) continue;
    ExFatRecord record = candidateSet(candidate);
    const bool inRootWindow = candidate >= m_rootMarker && candidate - m_rootMarker < m_clusterSize;
    const bool inRootChain =
        candidate >= m_heapOffset &&
        m_rootClusters.count(
            static_cast<std::uint32_t>(std::min<std::uint64_t>((candidate - m_heapOffset) / m_clusterSize + 2, UINT32_MAX)));
    record.parentIndex = inRootWindow || inRootChain ? 0 : 1;
    record.selfIndex = static_cast<std::int32_t>(m_entries.size());
    if (record.folder() && record.firstCluster >= 2) m_pendingFolders.push_back(record.selfIndex);
    m_entries.push_back(std::move(record));
    walkPendingFolders();
  }
}

}  // namespace tessary
