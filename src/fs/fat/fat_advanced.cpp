// The FAT family's Advanced mode: FAT copies found by their first entries, a cluster size chosen by the
// user, the volume scanned for directory-entry-shaped slots, and the table built from those slots.
#include <algorithm>

#include "fs/fat/fat.h"
#include "platform/bytes.h"
#include "platform/text.h"

namespace tessary {

namespace {

constexpr std::size_t kSlot = 32;
constexpr std::uint64_t kFatScanBlock = 10485760;
// The Advanced FAT12/16 root area: 512 slots.
constexpr std::uint64_t kAdvancedRootBytes = 16384;
// A FAT loaded at a candidate is read for at most this many bytes (a FAT32 FAT of 2^28 entries).
constexpr std::uint64_t kMaxFatBytes = std::uint64_t{1} << 30;

bool upper(std::uint8_t c) { return c >= 0x41 && c <= 0x5B; }
bool lower16(std::uint8_t c) { return c >= 0x61 && c <= 0x7A; }
bool lower32(std::uint8_t c) { return c >= 0x5F && c <= 0x7A; }
bool digit(std::uint8_t c) { return c >= 0x30 && c <= 0x39; }
bool letterOrDigit(std::uint8_t c) { return (c >= 0x41 && c <= 0x5A) || (c >= 0x61 && c <= 0x7A) || digit(c); }

bool sameDate(std::uint16_t d) {
  const int day = d & 0x1F;
  const int month = (d >> 5) & 0x0F;
  return day >= 1 && day <= 31 && month >= 1 && month <= 12;
}
bool sameTime(std::uint16_t t) { return (t >> 11) < 24 && ((t >> 5) & 0x3F) < 60 && (t & 0x1F) < 30; }

// The dates at bytes 24, 16 and 18 and the times at bytes 14 and 22 name calendar moments.
bool timeTest(Bytes s) {
  return sameDate(le16At(s, 24)) && sameDate(le16At(s, 16)) && sameDate(le16At(s, 18)) && sameTime(le16At(s, 14)) &&
         sameTime(le16At(s, 22));
}

bool isFolderCandidateAttribute(std::uint8_t a) {
  return a == 0x10 || a == 0x11 || a == 0x12 || a == 0x14 || a == 0x15 || a == 0x16 || a == 0x30;
}

}  // namespace

std::vector<std::uint64_t> FatParser::findFatCandidates(int maximum) {
  const std::size_t wanted = maximum < 1 ? 3 : static_cast<std::size_t>(maximum);
  m_fatCandidates.clear();
  if (!m_fat32) status("Finding Fat entries....");
  progressRange(0, 1000);
  const std::uint64_t size = std::min(m_volumeSize, m_view.bytesToDiskEnd());
  for (std::uint64_t position = 0; position < size && m_fatCandidates.size() < wanted;) {
    // Blocks without data read as zeros and hold no FAT.
    const auto data = m_view.nextData(position);
    if (!data || *data >= size) break;
    position = std::max(position, *data / 512 * 512);
    const std::size_t length = static_cast<std::size_t>(std::min(kFatScanBlock, size - position));
    const std::vector<std::byte> block = readBytes(position, length);
    const Bytes b(block);
    if (m_fat32)
      status(format("Parsing Disk Currently at position %f of the disk of size %f", static_cast<double>(position),
                    static_cast<double>(size)));
    progressPosition(static_cast<std::int64_t>(static_cast<double>(position) / static_cast<double>(size) * 1000));
    for (std::size_t at = 0; at + 8 <= block.size() && m_fatCandidates.size() < wanted; at += 512) {
      bool found = false;
      if (m_fat32) {
        // Entries 0 and 1 of a FAT32 table: the media mark, then an end mark whose top four bits are
        // reserved (Windows writes them set, other formatters clear).
        found = le32At(b, at) == 0x0FFFFFF8 && (le32At(b, at + 4) & 0x0FFFFFFF) == 0x0FFFFFFF;
      } else {
        // FAT16: entries 0 and 1. FAT12 packs them in three bytes; the fourth is entry 2's low byte, so
        // entry 2 must read as a chain's end, a free cluster or the next cluster.
        const std::uint32_t entry2 = u8At(b, at + 3) | (u8At(b, at + 4) & 0x0F) << 8;
        found = le32At(b, at) == 0xFFFFFFF8 ||
                ((le32At(b, at) & 0xFFFFFF) == 0xFFFFF8 && (entry2 == 0 || entry2 == 3 || entry2 >= 0xFF8));
      }
      if (!found) continue;
      m_fatCandidates.push_back(position + at);
      status(format("found fat entry  %d ", static_cast<int>(m_fatCandidates.size())));
    }
    position += length;
    if (stopRequested()) {
      if (!m_fat32) m_stopFlag = 0;
      break;
    }
  }
  progressPosition(1000);
  return m_fatCandidates;
}

void FatParser::setAdvancedGeometry(std::uint32_t sectorsPerCluster) {
  if (sectorsPerCluster == 0) return;
  m_advanced = true;
  m_bytesPerSector = 512;
  m_sectorsPerCluster = sectorsPerCluster;
  m_clusterSize = 512 * sectorsPerCluster;
  if (!m_fat32) m_rootBytes = kAdvancedRootBytes;
}

bool FatParser::takeBootLayout(std::uint64_t fatOffset) {
  if (m_fat32 || !m_bootValid || m_boot.size() < 512) return false;
  const Bytes b(m_boot);
  if (!geometrySound(b)) return false;
  const std::uint64_t bps = le16At(b, 11);
  const std::uint64_t reserved = le16At(b, 14);
  const std::uint64_t fats = u8At(b, 16);
  const std::uint64_t perFat = le16At(b, 22);
  // Only a FAT that is one of the boot sector's copies lies in its layout.
  bool ours = false;
  for (std::uint64_t copy = 0; copy < fats; ++copy) ours = ours || fatOffset == (reserved + copy * perFat) * bps;
  if (!ours) return false;
  m_fatBytes = perFat * bps;
  m_rootOffset = (reserved + fats * perFat) * bps;
  m_rootBytes = std::uint64_t{le16At(b, 17)} * kSlot;
  m_dataOffset = m_rootOffset + m_rootBytes;
  const std::uint64_t totalSectors = le16At(b, 19) != 0 ? le16At(b, 19) : le32At(b, 32);
  m_totalBytes = std::min(totalSectors * bps, m_view.bytesToDiskEnd());
  // The width of the boot sector's own clusters, whatever size the user chose to read them in.
  const std::uint64_t ownCluster = bps * u8At(b, 13);
  const std::uint64_t ownCount = m_totalBytes > m_dataOffset ? (m_totalBytes - m_dataOffset) / ownCluster : 0;
  m_entryBits = ownCount < 4085 ? 12 : 16;
  return true;
}

void FatParser::loadFatAt(std::uint64_t offset) {
  if (m_clusterSize == 0) return;
  m_fatOffset = offset;
  m_dataStartVotes.clear();
  m_layoutFromBoot = !m_fat32 && takeBootLayout(offset);
  if (m_layoutFromBoot) {
    m_fat = readBytes(offset, static_cast<std::size_t>(std::min(m_fatBytes, kMaxFatBytes)));
    computeCounts();
    return;
  }
  const std::uint64_t n = m_volumeSize / m_clusterSize;
  if (!m_fat32) m_entryBits = n < 4085 ? 12 : 16;
  const std::uint64_t entryBytes = m_fat32 ? (n + 2) * 4 : (m_entryBits == 12 ? (n + 2) * 3 / 2 + 1 : 2 * n);
  const std::uint64_t tableBytes = std::min(entryBytes, kMaxFatBytes);
  const std::uint64_t rounded = (tableBytes + 511) / 512 * 512;
  // The other copy is the candidate that holds the same first sector; formatters pad a FAT to whole
  // sectors of their own choosing, so its distance is what it is, not the table's size. The data
  // (FAT32) or the root area (FAT12/16) follows the second copy.
  const std::vector<std::byte> head = readBytes(offset, 512);
  std::uint64_t afterCopies = offset + 2 * rounded;
  std::uint64_t copyDistance = 0;
  for (std::uint64_t other : m_fatCandidates) {
    if (other == offset) continue;
    const std::uint64_t distance = other > offset ? other - offset : offset - other;
    // A copy lies no further away than a FAT of the largest padding would put it.
    if (distance < 512 || distance > 4 * rounded + (1u << 20)) continue;
    if (readBytes(other, 512) != head) continue;
    if (copyDistance == 0 || distance < copyDistance) {
      copyDistance = distance;
      afterCopies = std::max(offset, other) + distance;
    }
  }
  m_fatBytes = copyDistance != 0 ? std::min(std::max(copyDistance, tableBytes), kMaxFatBytes) : tableBytes;
  m_fat = readBytes(offset, static_cast<std::size_t>(m_fatBytes));
  if (m_fat32) {
    if (!m_bootValid) m_dataOffset = afterCopies;
  } else {
    m_rootOffset = afterCopies;
    m_dataOffset = m_rootOffset + m_rootBytes;
  }
  m_totalBytes = std::min(m_volumeSize, m_view.bytesToDiskEnd());
  computeCounts();
}

void FatParser::noteDotSlot(Bytes block, std::size_t at, std::uint64_t offset) {
  // A folder's first cluster opens with "." naming that cluster and "..": where it lies tells where
  // cluster 2 starts.
  static constexpr char kDot[] = ".          ";
  static constexpr char kDotDot[] = "..         ";
  if (!hasMagic(block, at, kDot) || !hasMagic(block, at + kSlot, kDotDot)) return;
  if (!isFolderAttribute(u8At(block, at + 11)) || !isFolderAttribute(u8At(block, at + kSlot + 11))) return;
  const std::uint64_t cluster = le16At(block, at + 26);
  if (cluster < 2) return;
  const std::uint64_t before = (cluster - 2) * m_clusterSize;
  if (offset < before) return;
  ++m_dataStartVotes[offset - before];
}

void FatParser::settleDataStart() {
  if (m_fat32 || m_layoutFromBoot || m_dataStartVotes.empty()) return;
  // The start most folders agree on, past the root area's start and no more than a root's largest size
  // beyond it.
  std::uint64_t best = 0;
  int votes = 0;
  for (const auto& [start, count] : m_dataStartVotes) {
    if (start <= m_rootOffset || start - m_rootOffset > 65536 * kSlot) continue;
    if (count > votes) {
      best = start;
      votes = count;
    }
  }
  if (votes == 0) return;
  m_rootBytes = best - m_rootOffset;
  m_dataOffset = best;
  const std::uint64_t n = m_totalBytes > m_dataOffset ? (m_totalBytes - m_dataOffset) / m_clusterSize : 0;
  m_entryBits = n < 4085 ? 12 : 16;
  computeCounts();
}

bool FatParser::entryCandidate(Bytes s, std::uint64_t clusterCount) {
  const std::uint8_t b0 = u8At(s, 0);
  const std::uint8_t b1 = u8At(s, 1);
  const std::uint8_t a = u8At(s, 11);
  const std::uint8_t b12 = u8At(s, 12);
  const std::uint32_t cluster = (m_fat32 ? std::uint32_t{le16At(s, 20)} << 16 : 0) | le16At(s, 26);
  const std::uint32_t size = le32At(s, 28);
  const bool e5 = b0 == 0xE5;
  if (!m_fat32) {
    auto nameByte = [](std::uint8_t c) { return upper(c) || lower16(c) || digit(c); };
    auto second = [&](std::uint8_t c) {
      return nameByte(c) || c == ' ' || c == '~' || c == '.' || c == ')' || c == 0xE5;
    };
    if (a == 0x0F) return (second(b1) || (b1 == '_' && !e5)) && b12 == 0 && u8At(s, 26) == 0;
    if (isFolderCandidateAttribute(a)) {
      if (!(nameByte(b0) || b0 == 0xE5 || b0 == '~' || b0 == '$') || !second(b1)) return false;
      if (!e5 && !(size == 0 && cluster >= 1 && cluster + 1 <= clusterCount)) return false;
      return timeTest(s);
    }
    if (a == 0x20 || a == 0x26) {
      if (!(nameByte(b0) || b0 == 0xE5 || b0 == '~') || !second(b1)) return false;
      return (b12 == 0x00 || b12 == 0x18) && cluster < clusterCount && timeTest(s);
    }
    return false;
  }
  auto nameByte = [](std::uint8_t c) { return upper(c) || lower32(c) || digit(c); };
  if (a == 0x0F) {
    const bool second = nameByte(b1) || b1 == ' ' || b1 == '~' || b1 == ',' || b1 == '.' || b1 == ')' || b1 == 0xE5;
    return second && b12 == 0 && u8At(s, 26) == 0;
  }
  // Byte 13 (the creation time's tenths) is 0 for every entry made on an even second, so it is not
  // asked to be set.
  auto fieldsSet = [&] {
    return le16At(s, 18) != 0 && le16At(s, 16) != 0 && le16At(s, 14) != 0 && le16At(s, 22) != 0 && le16At(s, 24) != 0;
  };
  if (isFolderCandidateAttribute(a)) {
    if (!(nameByte(b0) || b0 == 0xE5 || b0 == '~' || b0 == '$')) return false;
    if (!(nameByte(b1) || b1 == ' ' || b1 == '~' || b1 == '.' || b1 == ')' || b1 == 0xE5 || b1 == '_')) return false;
    if (cluster == 0 || cluster >= clusterCount || !fieldsSet() || !timeTest(s)) return false;
    return e5 || size == 0;
  }
  if (a == 0x20) {
    if (!(nameByte(b0) || b0 == 0xE5 || b0 == '~')) return false;
    if (!(nameByte(b1) || b1 == ' ' || b1 == '~' || b1 == '.' || b1 == 0xE5 || b1 == '_')) return false;
    if (!(b12 == 0x00 || b12 == 0x18)) return false;
    return cluster != 0 && cluster < clusterCount && fieldsSet() && size != 0 && timeTest(s);
  }
  return false;
}

void FatParser::scanEntryCandidates() {
  m_stopFlag = 0;
  m_entryCandidates.clear();
  if (m_clusterSize == 0) return;
  const std::uint64_t size = std::min(m_volumeSize, m_view.bytesToDiskEnd());
  const std::uint64_t n = m_volumeSize / m_clusterSize;
  progressRange(0, m_fat32 ? 1000 : 100000);
  std::uint64_t lastReport = 0;
  // One buffer for every cluster: zeroed before each read, so a failed or short read leaves zeros.
  std::vector<std::byte> cluster;
  for (std::uint64_t position = 0; position < size;) {
    const auto data = m_view.nextData(position);
    if (!data || *data >= size) break;
    if (*data > position) position += (*data - position) / m_clusterSize * m_clusterSize;
    if (stopRequested()) {
      m_stopFlag = 0;
      break;
    }
    const std::size_t length = static_cast<std::size_t>(std::min<std::uint64_t>(m_clusterSize, size - position));
    cluster.assign(length, std::byte{0});
    if (m_view.attached() && length > 0) (void)m_view.read(position, cluster);
    const Bytes c(cluster);
    if (position - lastReport >= (1u << 20) || position == 0) {
      lastReport = position;
      if (m_fat32) {
        progressPosition(static_cast<std::int64_t>(static_cast<double>(position) / static_cast<double>(size) * 1000));
      } else {
        status(format("currently at sector %lld of %lld", static_cast<long long>(position / 512),
                      static_cast<long long>(size / 512)));
        progressPosition(static_cast<std::int64_t>(static_cast<double>(position) / static_cast<double>(size) * 100000));
      }
    }
    for (std::size_t at = 0; at + kSlot <= cluster.size(); at += kSlot) {
      const Bytes s = c.subspan(at, kSlot);
      // A slot that opens with 0 is no entry, no "." and no root marker; only a long-name slot (0x0F)
      // is judged without its first byte.
      if (u8At(s, 0) == 0 && u8At(s, 11) != 0x0F) continue;
      if (!m_fat32 && u8At(s, 0) == '.') noteDotSlot(c, at, position + at);
      if (m_fat32 && !m_rootMarkerSeen) {
        const std::uint8_t b0 = u8At(s, 0);
        const std::uint8_t b1 = u8At(s, 1);
        const bool shape = u8At(s, 11) == 0x08 || hasMagic(s, 1, "RECYCLE");
        const bool first = letterOrDigit(b0) || b0 == 0xE5 || b0 == '~' || b0 == '$';
        const bool second = letterOrDigit(b1) || b1 == ' ' || b1 == '~' || b1 == '.' || b1 == ')' || b1 == 0xE5;
        const std::uint8_t b12 = u8At(s, 12);
        if (shape && first && second && (b12 == 0 || b12 == 0x18) && u8At(s, 28) == 0) {
          m_rootMarkerSeen = true;
          // The root's first slot tells where cluster 2 starts when the boot sector cannot.
          if (!m_bootValid) m_dataOffset = position + at;
          continue;
        }
      }
      if (!entryCandidate(s, n)) continue;
      m_entryCandidates.push_back(position + at);
      if (m_fat32 && m_entryCandidates.size() % 100 == 1)
        status(format("found file or directory =  %d ", static_cast<int>(m_entryCandidates.size())));
    }
    position += length;
  }
  if (m_fat32) status(format("found file or directory =  %d ", static_cast<int>(m_entryCandidates.size())));
  settleDataStart();
}

void FatParser::buildFromCandidates() {
  if (m_entryCandidates.empty() || m_clusterSize == 0) return;
  std::uint64_t& rootStart = m_fat32 ? m_dataOffset : m_rootOffset;
  if (rootStart == 0) {
    rootStart = m_entryCandidates.front() >= kSlot ? m_entryCandidates.front() - kSlot : 0;
    if (!m_fat32) m_dataOffset = m_rootOffset + m_rootBytes;
  }
  // Slots past the root's first cluster (FAT12/16: past its area) whose folder is not known hang below
  // "ORPHAN ENTRY".
  const std::uint64_t rootEnd = rootStart + (m_fat32 ? m_clusterSize : std::max<std::uint64_t>(m_clusterSize, m_rootBytes));
  std::vector<std::byte> blank(kSlot);
  const std::int32_t dummy = appendRecord(blank, 0, u"DUMMY ENTRY", false);
  const std::int32_t orphan = appendRecord(blank, 0, u"ORPHAN ENTRY", false);
  if (dummy == kNone || orphan == kNone) return;
  m_entries[static_cast<std::size_t>(dummy)].attributes = 0x0F;
  m_entries[static_cast<std::size_t>(orphan)].attributes = 0x10;
  const int renewedAllowance = m_fat32 ? 19 : 1;
  int allowance = renewedAllowance;
  std::vector<FolderWork> work;
  for (std::uint64_t offset : m_entryCandidates) {
    if (stopRequested()) break;
    if (!m_consumed.insert(offset).second) continue;
    const std::uint64_t sector = offset / 512 * 512;
    const std::vector<std::byte> buffer = readBytes(sector, 2048);
    const Bytes b(buffer);
    const std::size_t at = static_cast<std::size_t>(offset - sector);
    const Bytes slot = slice(b, at, kSlot);
    const std::uint8_t first = u8At(slot, 0);
    const std::uint8_t attributes = u8At(slot, 11);
    if (first == '.') continue;
    if (attributes == 0x0F) {
      const std::size_t end = gatherLongName(b, at);
      for (std::size_t s = at; s < end; s += kSlot) m_consumed.insert(sector + s);
      continue;
    }
    const std::int32_t parent = offset >= rootEnd ? orphan : 0;
    const bool deleted = first == 0xE5;
    const bool folder = isFolderCandidateAttribute(attributes) || attributes == 0x13;
    std::u16string name = takeName(slot, folder);
    const std::int32_t index = appendRecord(slot, parent, std::move(name), deleted);
    if (index == kNone) break;
    if (!folder) {
      allowance = renewedAllowance;
      continue;
    }
    const std::uint32_t cluster = m_entries[static_cast<std::size_t>(index)].firstCluster();
    // Consecutive folder candidates share one allowance of further clusters.
    FolderWork own{index, cluster, allowance};
    int read = 0;
    for (std::uint32_t c = cluster; read < allowance; ++read) {
      c = nextCluster(c);
      if (c == kEndOfChain) break;
    }
    allowance -= read;
    if (!parseFolder(own, work, true)) work.clear();
    drainFolders(work, true);
  }
  m_longName = {};
}

}  // namespace tessary
