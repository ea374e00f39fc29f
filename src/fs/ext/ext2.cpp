// The ext2/3/4 parse: superblock search, group descriptors, inode tables, the directory scan with its
// parent rule, the entry map, the child links and the top level of the results tree.
#include "fs/ext/ext2.h"

#include <algorithm>
#include <optional>

#include "fs/ext/ext_layout.h"
#include "platform/bytes.h"
#include "platform/crc32c.h"
#include "platform/file_time.h"
#include "platform/large_buffer.h"
#include "platform/page_sink.h"
#include "platform/text.h"

namespace tessary {

using namespace ext_layout;

namespace {

constexpr std::uint64_t kMib = 1024 * 1024;
// Inode tables are read in pieces of at most this many bytes (whole inodes).
constexpr std::size_t kTableChunk = 64 * 1024;
// Status lines of the long per-record steps are shown this often.
constexpr std::int64_t kReportEvery = 1024;
// A directory is never read past this many blocks, whatever its size claims.
constexpr std::uint64_t kMaxDirectoryBlocks = std::uint64_t{1} << 22;

// The CRC-16 of the group descriptors (polynomial 0x8005, bits reflected), without a final inversion.
std::uint16_t crc16(std::uint16_t crc, Bytes data) {
  static const std::array<std::uint16_t, 256> table = [] {
    std::array<std::uint16_t, 256> t{};
    for (std::uint32_t i = 0; i < 256; ++i) {
      std::uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ 0xA001u : c >> 1;
      t[i] = static_cast<std::uint16_t>(c);
    }
    return t;
  }();
  for (std::byte b : data) crc = static_cast<std::uint16_t>((crc >> 8) ^ table[(crc ^ std::to_integer<std::uint32_t>(b)) & 0xFF]);
  return crc;
}

bool allZero(std::span<const std::byte> bytes) {
  return std::all_of(bytes.begin(), bytes.end(), [](std::byte b) { return b == std::byte{0}; });
}

}  // namespace

void ext2Class::attachVolume(const VolumeView& view, std::int64_t volumeSizeMib) {
  m_view = view;
  m_volumeSize = volumeSizeMib > 0 && static_cast<std::uint64_t>(volumeSizeMib) < (std::uint64_t{1} << 43)
                     ? static_cast<std::int64_t>(static_cast<std::uint64_t>(volumeSizeMib) * kMib)
                     : 0;
}

// The copy in m_superblock, found `foundAt` bytes into the volume, when the layout's superblock test takes
// it (the volume scans' test too).
bool ext2Class::acceptSuperblock(std::uint64_t foundAt) {
  const Bytes sb(m_superblock.data(), m_superblock.size());
  const std::optional<SuperblockShape> shape = superblockShape(sb, foundAt);
  if (!shape) return false;
  m_blockSize = static_cast<std::uint32_t>(shape->blockSize);
  m_blocksPerGroup = shape->blocksPerGroup;
  m_inodesPerGroup = shape->inodesPerGroup;
  m_inodeSize = shape->inodeSize;
  m_inodeCount = shape->inodes;
  m_blocksCount = shape->blocksCount;
  m_groupCount = static_cast<std::uint32_t>(shape->groups);
  m_bytesPerGroup = shape->blockSize * shape->blocksPerGroup;
  m_is64Bit = shape->is64;
  m_descSize = shape->descSize;
  m_firstDataBlock = shape->firstDataBlock;
  m_incompat = shape->incompat;
  m_roCompat = le32At(sb, kSbFeatureRoCompat);
  m_firstMetaBg = le32At(sb, kSbFirstMetaBg);
  m_directoryEntryTypes = (shape->incompat & kIncompatFiletype) != 0;
  m_checksumSeed = (shape->incompat & kIncompatCsumSeed) != 0
                       ? le32At(sb, kSbChecksumSeed)
                       : crc32cOn(0xFFFFFFFFu, sb.subspan(kSbUuid, kSbUuidBytes));
  // A volume record cut shorter than the file system: read all the same, reads past the disk give zeros.
  m_largerThanVolume = shape->volumeBytes > static_cast<std::uint64_t>(m_volumeSize) + kMib;
  return true;
}

bool ext2Class::findSuperblock() {
  const std::uint64_t volume = static_cast<std::uint64_t>(std::max<std::int64_t>(m_volumeSize, 0));
  for (std::uint64_t b = 1024; b + 512 < volume; b += 512) {
    // Blocks without data read as zeros and hold no superblock.
    const std::optional<std::uint64_t> data = m_view.nextData(b);
    if (!data) break;
    if (*data > b) {
      b = *data / 512 * 512;
      if (b + 512 >= volume) break;
    }
    m_superblock.fill(std::byte{0});
    m_view.read(b, m_superblock);
    if (stopHonoured()) break;
    if (acceptSuperblock(b)) {
      m_superblockOffset = static_cast<std::int64_t>(b);
      if (m_largerThanVolume && m_sink)
        m_sink->showMessage(format("The file system is larger than its volume (%llu of %llu bytes); blocks past "
                                   "the volume's end read as zeros.",
                                   static_cast<unsigned long long>(m_blocksCount * m_blockSize),
                                   static_cast<unsigned long long>(m_volumeSize)));
      return true;
    }
  }
  return false;
}

// Group 0 and, with sparse_super, groups 1 and the powers of 3, 5 and 7 keep a superblock copy.
bool ext2Class::groupHasSuperblock(std::uint64_t group) const {
  if (group <= 1 || (m_roCompat & kRoCompatSparseSuper) == 0) return true;
  for (std::uint64_t base : {3u, 5u, 7u}) {
    std::uint64_t p = base;
    while (p < group) p *= base;
    if (p == group) return true;
  }
  return false;
}

bool ext2Class::readDescriptorBlocks(std::uint64_t block, std::uint64_t count, std::size_t at) {
  const std::size_t bytes = static_cast<std::size_t>(
      std::min<std::uint64_t>(count * m_blockSize, m_groupDescriptors.size() - at));
  if (block >= m_blocksCount || count > m_blocksCount - block) return false;
  return m_view.read(block * m_blockSize, std::span<std::byte>(m_groupDescriptors.data() + at, bytes));
}

bool ext2Class::readGroupDescriptors() {
  if (m_blockSize == 0) return false;
  const std::uint64_t superBlock = static_cast<std::uint64_t>(m_superblockOffset) / m_blockSize;
  const std::uint64_t bytes = std::uint64_t{m_groupCount} * m_descSize;
  const std::uint64_t perBlock = m_blockSize / m_descSize;
  const std::uint64_t tableBlocks = (bytes + m_blockSize - 1) / m_blockSize;
  m_groupDescriptors.assign(static_cast<std::size_t>(bytes), std::byte{0});
  // Without meta_bg, or below its first meta group, the table lies right after the superblock.
  const std::uint64_t contiguous =
      (m_incompat & kIncompatMetaBg) ? std::min<std::uint64_t>(m_firstMetaBg, tableBlocks) : tableBlocks;
  if (contiguous > 0) {
    // The table lies inside the volume record.
    if (!fits(static_cast<std::uint64_t>(m_volumeSize) + kMib, (superBlock + 1) * m_blockSize,
              contiguous * m_blockSize) ||
        !readDescriptorBlocks(superBlock + 1, contiguous, 0)) {
      m_groupDescriptors.clear();
      return false;
    }
  }
  // Each further meta group keeps its one descriptor block in its first group, after that group's
  // superblock copy, and copies of it in its second and last groups. A search that found a backup
  // superblock reads the second group's copy first.
  const bool fromBackup = m_superblockOffset != 1024;
  std::uint32_t unread = 0;
  for (std::uint64_t meta = contiguous; meta < tableBlocks; ++meta) {
    const std::uint64_t first = meta * perBlock;
    std::vector<std::uint64_t> groups = {first, first + 1, first + perBlock - 1};
    if (fromBackup) std::swap(groups[0], groups[1]);
    bool done = false;
    for (std::uint64_t g : groups) {
      if (g >= m_groupCount) continue;
      std::uint64_t block = g * m_blocksPerGroup + m_firstDataBlock + (groupHasSuperblock(g) ? 1 : 0);
      // With 1 KiB blocks group 0 starts at block 1 even when the first data block says 0.
      if (g == 0 && m_blockSize == 1024 && m_firstDataBlock == 0) ++block;
      const auto at = static_cast<std::size_t>(meta * m_blockSize);
      // A block whose first group's inode table lies outside the volume is no descriptor block.
      if (readDescriptorBlocks(block, 1, at) && inodeTableOf(static_cast<std::uint32_t>(first))) {
        done = true;
        break;
      }
    }
    if (!done) ++unread;
  }
  return unread < tableBlocks;
}

std::optional<std::uint64_t> ext2Class::inodeTableOf(std::uint32_t group) const {
  const Bytes table(m_groupDescriptors.data(), m_groupDescriptors.size());
  const std::size_t at = std::size_t{group} * m_descSize;
  const auto lo = le32(table, at + kBgInodeTableLo);
  if (!lo) return std::nullopt;
  std::uint64_t block = *lo;
  if (m_is64Bit) block |= std::uint64_t{le32At(table, at + kBgInodeTableHi)} << 32;
  // The whole table lies inside the volume.
  const std::uint64_t tableBlocks = (std::uint64_t{m_inodesPerGroup} * m_inodeSize + m_blockSize - 1) / m_blockSize;
  if (block == 0 || block >= m_blocksCount || tableBlocks > m_blocksCount - block) return std::nullopt;
  return block;
}

std::optional<std::uint32_t> ext2Class::declaredSlotsInUse(std::uint32_t group) const {
  // The flags and the unused count mean something only where the descriptors carry checksums; one whose
  // checksum fails is read whole.
  const bool metadataChecksums = (m_roCompat & kRoCompatMetadataCsum) != 0;
  if (!metadataChecksums && (m_roCompat & kRoCompatGdtCsum) == 0) return std::nullopt;
  const std::size_t at = std::size_t{group} * m_descSize;
  if (m_descSize < kDescSize32 || at > m_groupDescriptors.size() || m_groupDescriptors.size() - at < m_descSize)
    return std::nullopt;
  const Bytes desc(m_groupDescriptors.data() + at, m_descSize);
  const std::array<std::byte, 4> number{static_cast<std::byte>(group & 0xFF), static_cast<std::byte>((group >> 8) & 0xFF),
                                        static_cast<std::byte>((group >> 16) & 0xFF), static_cast<std::byte>(group >> 24)};
  const Bytes groupBytes(number.data(), number.size());
  // Both checksums cover the group's number and the descriptor with its checksum field left out.
  const Bytes head = desc.first(kBgChecksum);
  const Bytes tail = desc.subspan(kBgChecksum + 2);
  std::uint16_t expected = 0;
  if (metadataChecksums) {
    static constexpr std::array<std::byte, 2> kNoChecksum{};
    std::uint32_t crc = crc32cOn(m_checksumSeed, groupBytes);
    crc = crc32cOn(crc, head);
    crc = crc32cOn(crc, Bytes(kNoChecksum.data(), kNoChecksum.size()));
    crc = crc32cOn(crc, tail);
    expected = static_cast<std::uint16_t>(crc & 0xFFFF);
  } else {
    const Bytes sb(m_superblock.data(), m_superblock.size());
    std::uint16_t crc = crc16(0xFFFF, sb.subspan(kSbUuid, kSbUuidBytes));
    crc = crc16(crc, groupBytes);
    crc = crc16(crc, head);
    expected = crc16(crc, tail);
  }
  if (le16At(desc, kBgChecksum) != expected) return std::nullopt;
  if (le16At(desc, kBgFlags) & kBgInodeUninit) return 0;
  std::uint32_t unused = le16At(desc, kBgItableUnusedLo);
  if (m_is64Bit && m_descSize >= kDescSize64) unused |= std::uint32_t{le16At(desc, kBgItableUnusedHi)} << 16;
  return unused >= m_inodesPerGroup ? 0 : m_inodesPerGroup - unused;
}

void ext2Class::readInodeTables() {
  progressRange(m_groupCount);
  m_slotCount = static_cast<std::uint32_t>(
      std::min<std::uint64_t>(m_inodeCount, std::uint64_t{m_groupCount} * m_inodesPerGroup));
  m_slots.clear();
  m_slotHint = 0;
  m_slotInodes.clear();
  m_directories.clear();
  m_deletedKeys.clear();
  m_unreadableGroups = 0;
  m_shortenedTables = 0;
  // The superblock's free count tells how many slots are in use: room for them is made once.
  const std::uint32_t freeInodes = le32At(Bytes(m_superblock.data(), m_superblock.size()), kSbFreeInodesCount);
  const std::size_t inUse = freeInodes < m_slotCount ? m_slotCount - freeInodes : 0;
  m_slots.reserve(inUse + 16);
  m_slotInodes.reserve(inUse + 16);
  const std::size_t perChunk = std::max<std::size_t>(1, kTableChunk / m_inodeSize);
  std::vector<std::byte> fallback;
  std::span<std::byte> memory = threadReadBuffer(perChunk * m_inodeSize);
  if (memory.empty()) {
    fallback.resize(perChunk * m_inodeSize);
    memory = fallback;
  }
  std::uint64_t base = 0;
  for (std::uint32_t g = 0; g < m_groupCount && base < m_slotCount; ++g, base += m_inodesPerGroup) {
    if (stopHonoured()) break;
    status(format("parsing group %d  of %d ", static_cast<int>(g + 1), static_cast<int>(m_groupCount)));
    progressPosition(g + 1);
    const std::optional<std::uint64_t> table = inodeTableOf(g);
    if (!table) {
      // Keys are inode numbers, so the groups after this one keep their positions.
      ++m_unreadableGroups;
      continue;
    }
    const std::uint32_t slots = static_cast<std::uint32_t>(std::min<std::uint64_t>(m_inodesPerGroup, m_slotCount - base));
    // Past the slots its descriptor says were given out, a table holds nothing the file system wrote, or
    // a mke2fs that left it as the disk had it (lazy_itable_init) found something there. But e2fsck and
    // tune2fs recount the descriptors after files were deleted: a group whose inodes were all freed is
    // marked unused and the count stops at its last inode in use, so freed inodes may lie past it. Inodes
    // are given out from a group's lowest free slot, so freed ones past the count start right at it:
    // the first block wholly past it is read, and the rest of the table only when that block is not all
    // zeros. (Pieces start on block boundaries: the disk readers work in whole sectors.)
    const std::uint32_t probeSlots = std::max<std::uint32_t>(1, m_blockSize / m_inodeSize);
    const std::uint32_t declared = static_cast<std::uint32_t>(std::min<std::uint64_t>(
        (std::uint64_t{declaredSlotsInUse(g).value_or(slots)} + probeSlots - 1) / probeSlots * probeSlots, slots));
    bool unreadable = false;
    for (std::uint32_t first = 0; first < slots;) {
      std::uint32_t count = static_cast<std::uint32_t>(std::min<std::uint64_t>(perChunk, slots - first));
      const bool probe = first == declared;
      if (first < declared) count = std::min(count, declared - first);
      if (probe) count = std::min(count, probeSlots);
      const std::uint32_t start = first;
      const std::uint64_t position = *table * m_blockSize + std::uint64_t{start} * m_inodeSize;
      first += count;
      // Cleared first, as a fresh buffer would be, so that a failed read shows no earlier piece.
      const std::span<std::byte> chunk = memory.first(std::size_t{count} * m_inodeSize);
      std::fill(chunk.begin(), chunk.end(), std::byte{0});
      // Where the disk holds no data further on, the piece reads as zeros: no inode was ever there.
      const std::optional<std::uint64_t> data = m_view.nextData(position);
      if (data && *data >= position + chunk.size()) {
        if (probe) {
          ++m_shortenedTables;
          break;
        }
        continue;
      }
      if (!m_view.read(position, chunk)) {
        unreadable = true;
        continue;
      }
      if (probe && allZero(chunk)) {
        ++m_shortenedTables;
        break;
      }
      for (std::uint32_t i = 0; i < count; ++i) {
        const Bytes inode(chunk.data() + std::size_t{i} * m_inodeSize, m_inodeSize);
        const std::uint16_t mode = le16At(inode, kInodeMode);
        const std::uint16_t links = le16At(inode, kInodeLinks);
        if (mode == 0 && links == 0) continue;  // never used
        const std::uint32_t slot = start + i;
        const auto key = static_cast<std::int32_t>(base + slot);
        std::uint64_t size = le32At(inode, kInodeSizeLo);
        if (const std::uint32_t high = le32At(inode, kInodeSizeHigh); high != 0) size |= std::uint64_t{high} << 32;
        m_slots.push_back(ExtEntry{nullptr, key, -1, mode, size, *table, slot, -1, -1});
        static_assert(std::tuple_size_v<InodeCopy> == kInodeFieldsEnd, "the kept copy holds every field read");
        m_slotInodes.emplace_back();
        std::copy_n(inode.begin(), m_slotInodes.back().size(), m_slotInodes.back().begin());
        if (links == 0) m_deletedKeys.insert(key);
        // Directories still linked are scanned for names; a freed one could name inodes reused since.
        if (isDirectoryMode(mode) && links != 0 && le32At(inode, kInodeBlock) != 0) {
          DirectoryInode dir{key, le32At(inode, kInodeFlags), size, {}};
          std::copy_n(inode.begin() + kInodeBlock, kInodeBlockBytes, dir.block.begin());
          m_directories.push_back(dir);
        }
      }
    }
    if (unreadable) ++m_unreadableGroups;
  }
}

ExtEntry ext2Class::withSizeOnDisk(ExtEntry e) const {
  // A name whose inode the table scan did not keep (its slot looked unused, or its table could not be
  // read whole) is saved from the inode read on its own: the listing shows the size that save writes.
  std::array<std::byte, 256> inode{};
  if (!readInode(e, inode)) return e;
  const Bytes b(inode.data(), inode.size());
  e.size = le32At(b, kInodeSizeLo);
  if (const std::uint32_t high = le32At(b, kInodeSizeHigh); high != 0) e.size |= std::uint64_t{high} << 32;
  return e;
}

ExtEntry* ext2Class::slotEntry(std::int32_t key) {
  // Folders name their entries mostly in the order their inodes were given out: the slot after the one
  // found last is tried before the table is searched.
  for (std::size_t at = m_slotHint; at < m_slots.size() && at <= m_slotHint + 1; ++at) {
    if (m_slots[at].key == key) {
      m_slotHint = at;
      return &m_slots[at];
    }
  }
  auto it = std::lower_bound(m_slots.begin(), m_slots.end(), key,
                             [](const ExtEntry& e, std::int32_t k) { return e.key < k; });
  if (it != m_slots.end() && it->key == key) {
    m_slotHint = static_cast<std::size_t>(it - m_slots.begin());
    return &*it;
  }
  for (ExtEntry& e : m_extraSlots)
    if (e.key == key) return &e;
  // A directory entry names an inode whose slot looked unused: it is listed all the same.
  const std::uint32_t group = static_cast<std::uint32_t>(key) / m_inodesPerGroup;
  const std::uint32_t slot = static_cast<std::uint32_t>(key) % m_inodesPerGroup;
  const std::uint64_t table = inodeTableOf(group).value_or(0);
  m_extraSlots.push_back(ExtEntry{nullptr, key, -1, 0, 0, table, slot, -1, -1});
  return &m_extraSlots.back();
}

const char* ext2Class::keepName(const char* name, std::size_t length) {
  // Names are at most 255 bytes (a hostile length is cut by the caller's record checks): a block of
  // 64 KiB holds hundreds of them, so the names cost one allocation per block, not one per name.
  constexpr std::size_t kNameBlock = 64 * 1024;
  if (length + 1 > m_nameBlockRoom - m_nameBlockUsed) {
    m_nameBlockRoom = std::max(kNameBlock, length + 1);
    m_nameBlocks.push_back(std::make_unique<char[]>(m_nameBlockRoom));
    m_nameBlockUsed = 0;
  }
  char* at = m_nameBlocks.back().get() + m_nameBlockUsed;
  std::copy_n(name, length, at);
  at[length] = '\0';
  m_nameBlockUsed += length + 1;
  return at;
}

void ext2Class::storeName(std::int32_t inode, const std::byte* name, std::size_t length, std::int32_t parent) {
  if (inode < 1 || static_cast<std::uint32_t>(inode) > m_slotCount) return;
  ExtEntry* e = slotEntry(inode - 1);
  const char* kept = keepName(reinterpret_cast<const char*>(name), length);
  if (!e->name) {
    e->name = kept;
    e->parent = parent;
    return;
  }
  // A further name of a hard-linked file: listed and saved as a name of its own.
  const std::uint64_t key = std::uint64_t{m_slotCount} + m_aliases.size();
  if (key >= INT32_MAX) return;
  ExtEntry alias{kept, static_cast<std::int32_t>(key), parent, e->mode, e->size,
                 e->inodeTableBlock, e->slot, -1, -1};
  m_aliases.push_back(NameAlias{alias, inode - 1, 0, false});
}

void ext2Class::storeDeletedName(std::int32_t inode, const std::byte* name, std::size_t length, std::int32_t parent,
                                 std::uint8_t type) {
  const std::uint64_t key = std::uint64_t{m_slotCount} + m_aliases.size();
  if (key >= INT32_MAX) return;
  // An index split copies records to a new block and leaves the old ones in slack: one name of a folder
  // and inode is listed once.
  std::string text(reinterpret_cast<const char*>(name), length);
  if (!m_deletedNames.emplace(parent, inode, text).second) return;
  ExtEntry alias{keepName(text.data(), text.size()), static_cast<std::int32_t>(key), parent, 0, 0, 0, 0, -1, -1};
  m_aliases.push_back(NameAlias{alias, inode - 1, type, true});
}

namespace {

// The room a record of `nameLength` bytes of name needs: 8 bytes of header, the name, rounded to 4.
std::size_t recordLength(std::size_t nameLength) { return (kDeName + nameLength + 3) & ~std::size_t{3}; }

bool plainName(Bytes name) {
  if (name.size() == 1 && name[0] == std::byte{'.'}) return false;
  if (name.size() == 2 && name[0] == std::byte{'.'} && name[1] == std::byte{'.'}) return false;
  for (std::byte c : name)
    if (c == std::byte{0} || c == std::byte{'/'}) return false;
  return true;
}

}  // namespace

// Records a deletion folded into the record before it: whole records that still stand in [from, to).
void ext2Class::scanSlack(Bytes b, std::size_t from, std::size_t to, std::int32_t parent) {
  std::size_t p = (from + 3) & ~std::size_t{3};
  while (p + kDeName < to) {
    const std::uint32_t inode = le32At(b, p + kDeInode);
    const std::uint16_t recLen = le16At(b, p + kDeRecLen);
    const std::size_t nameLen = m_directoryEntryTypes ? u8At(b, p + kDeNameLen) : le16At(b, p + kDeNameLen);
    const std::uint8_t type = m_directoryEntryTypes ? u8At(b, p + kDeFileType) : 0;
    const std::size_t need = recordLength(nameLen);
    const bool plausible = inode >= 1 && inode <= m_slotCount && nameLen >= 1 && nameLen <= kMaxNameLength &&
                           p + kDeName + nameLen <= to && recLen >= need && recLen % 4 == 0 &&
                           p + recLen <= b.size() && (!m_directoryEntryTypes || (type >= 1 && type <= 7)) &&
                           plainName(b.subspan(p + kDeName, nameLen));
    if (!plausible) {
      p += 4;
      continue;
    }
    storeDeletedName(static_cast<std::int32_t>(inode), b.data() + p + kDeName, nameLen, parent, type);
    p += need;
  }
}

void ext2Class::scanDirectoryBlock(Bytes b, std::int32_t& current, bool& firstMark, bool slack) {
  std::size_t off = 0;
  // Each record is at least 12 bytes long, so a block holds no more than this many.
  for (std::size_t step = 0; off + kDeName <= b.size() && step <= b.size() / 4; ++step) {
    const std::uint32_t inode = le32At(b, off + kDeInode);
    const std::uint16_t recLen = le16At(b, off + kDeRecLen);
    const std::size_t nameLen = m_directoryEntryTypes ? u8At(b, off + kDeNameLen) : le16At(b, off + kDeNameLen);
    const std::uint8_t type = m_directoryEntryTypes ? u8At(b, off + kDeFileType) : 0;
    // A record shorter than its header, not on a 4-byte step or running past the block ends the walk:
    // nothing after it can be placed.
    if (recLen < kDeName || recLen % 4 != 0 || recLen > b.size() - off) break;
    const std::size_t need = recordLength(nameLen);
    // Inode 0 is a wiped record (the first of a block whose entry was deleted): it is stepped over.
    const bool live = inode != 0 && nameLen != 0 && need <= recLen && inode <= m_slotCount;
    if (live) {
      if (type == kFileTypeDirectory) slotEntry(static_cast<std::int32_t>(inode - 1))->mode = kModeDirectory;
      if (type == kFileTypeRegular) slotEntry(static_cast<std::int32_t>(inode - 1))->mode = kModeRegular;
      const std::byte* name = b.data() + off + kDeName;
      const std::string_view text(reinterpret_cast<const char*>(name), nameLen);
      const auto number = static_cast<std::int32_t>(inode);
      if (text == "." || (text == ".." && firstMark)) {
        if (firstMark) {
          // The first directory is the root: its children become children of ROOT (key 2).
          current = number;
          storeName(number, name, nameLen, current);
          firstMark = false;
        } else if (text == ".") {
          current = number - 1;
        }
      } else if (text != "..") {
        if (firstMark) current = number;
        storeName(number, name, nameLen, current);
        firstMark = false;
      }
    }
    if (slack) {
      const std::size_t used = inode != 0 && nameLen != 0 && need <= recLen ? need : kDeName;
      if (used + kDeName < recLen) scanSlack(b, off + used, off + recLen, current);
    }
    off += recLen;
  }
}

void ext2Class::scanInlineDirectory(const ExtEntry& dir, std::int32_t& current, bool& firstMark) {
  // No "." here: the folder's own key is its parent's.
  current = dir.key == 1 ? kRootKey : dir.key;
  firstMark = false;
  std::vector<std::byte> inode;
  if (!readWholeInode(dir, inode)) return;
  // i_block: the parent's inode number, then records; then records in the system.data attribute.
  const Bytes first(inode.data() + kInodeBlock + 4, kInodeBlockBytes - 4);
  std::int32_t at = current;
  scanDirectoryBlock(first, at, firstMark, true);
  if (dir.size > kInodeBlockBytes) {
    if (const auto tail = inlineDataTail(inode)) {
      at = current;
      scanDirectoryBlock(Bytes(tail->data(), tail->size()), at, firstMark, true);
    }
  }
}

void ext2Class::readDirectories() {
  const std::int64_t entries = m_slotCount;
  progressRange(entries, ProgressAmount::items(entries));
  std::int32_t current = kRootKey;
  bool firstMark = true;
  // Blocks that lie together are read in one call; each is walked on its own.
  constexpr std::uint64_t kPerRead = 64;
  std::vector<std::byte> fallback;
  std::span<std::byte> chunk = threadReadBuffer(static_cast<std::size_t>(kPerRead * m_blockSize));
  if (chunk.empty()) {
    fallback.resize(static_cast<std::size_t>(kPerRead * m_blockSize));
    chunk = fallback;
  }
  std::size_t d = 0;
  m_aliases.clear();
  m_deletedNames.clear();
  for (std::uint64_t p = 0; p < m_slotCount; p += m_inodesPerGroup) {
    if (stopHonoured()) break;
    status(format("parsing inode entry %d  of %d ", static_cast<int>(p + 1), static_cast<int>(entries)));
    progressPosition(static_cast<std::int64_t>(p + 1));
    for (; d < m_directories.size() && static_cast<std::uint64_t>(m_directories[d].key) < p + m_inodesPerGroup; ++d) {
      const DirectoryInode& dir = m_directories[d];
      if (dir.flags & kFlagInlineData) {
        if (const ExtEntry* e = slotEntry(dir.key)) {
          const ExtEntry copy = *e;
          scanInlineDirectory(ExtEntry{copy.name, copy.key, copy.parent, copy.mode, dir.size, copy.inodeTableBlock,
                                       copy.slot, -1, -1},
                              current, firstMark);
        }
        continue;
      }
      std::array<std::byte, kInodeFieldsEnd> inode{};
      std::copy(dir.block.begin(), dir.block.end(), inode.begin() + kInodeBlock);
      for (int i = 0; i < 4; ++i)
        inode[kInodeFlags + i] = static_cast<std::byte>((dir.flags >> (8 * i)) & 0xFF);
      const std::uint64_t blocks = dir.size / m_blockSize + (dir.size % m_blockSize != 0 ? 1 : 0);
      // A directory holds no more blocks than the volume has.
      const std::uint64_t needed = std::min({blocks, m_blocksCount, kMaxDirectoryBlocks});
      const bool indexed = (dir.flags & kFlagIndex) != 0;
      bool failed = false;
      forEachRun(inode.data(), needed, failed, [&](const BlockRun& run) {
        if (run.zeros) return true;
        for (std::uint64_t done = 0; done < run.count; done += kPerRead) {
          const std::uint64_t n = std::min(kPerRead, run.count - done);
          std::fill_n(chunk.data(), static_cast<std::size_t>(n * m_blockSize), std::byte{0});
          if (!readBlocks(run.physical + done, n, chunk.data())) continue;  // an unreadable block adds nothing
          for (std::uint64_t i = 0; i < n; ++i) {
            const Bytes block(chunk.data() + i * m_blockSize, m_blockSize);
            // An indexed folder's first block is its index root, and its other index blocks are one
            // empty record over the block followed by hash/block pairs: neither has names in slack.
            bool slack = true;
            if (indexed) {
              const bool rootBlock = run.logical + done + i == 0;
              const std::uint16_t limit = le16At(block, kDeName);
              const std::uint16_t count = le16At(block, kDeName + 2);
              const bool indexNode = le32At(block, kDeInode) == 0 && le16At(block, kDeRecLen) == m_blockSize &&
                                     (limit == (m_blockSize - 8) / 8 || limit == (m_blockSize - 16) / 8) &&
                                     count <= limit;
              slack = !rootBlock && !indexNode;
            }
            scanDirectoryBlock(block, current, firstMark, slack);
          }
        }
        return true;
      });
    }
  }
  status(format("parsed inode entry %d  of %d ", static_cast<int>(entries), static_cast<int>(entries)));
  progressPosition(entries);
}

void ext2Class::buildEntryMap() {
  status("clearing vector....");
  m_map.clear();
  m_mapInodes.clear();
  m_mapHasInode.clear();
  std::sort(m_extraSlots.begin(), m_extraSlots.end(), [](const ExtEntry& a, const ExtEntry& b) { return a.key < b.key; });
  static constexpr char kRootName[] = "ROOT";
  const ExtEntry root{kRootName, kRootKey, -1, kModeDirectory, 0, 0, 0, -1, -1};

  // Further names take keys past every inode, so they follow the inodes' entries and the map stays
  // sorted. They are worked out first, while every slot of the table is still at hand.
  std::vector<ExtEntry> aliasEntries;
  std::vector<InodeCopy> aliasInodes;
  std::vector<bool> aliasHasInode;
  const auto typeMode = [](std::uint8_t type) -> std::uint16_t {
    if (type == kFileTypeDirectory) return kModeDirectory;
    if (type == kFileTypeSymlink) return kModeSymlink;
    return kModeRegular;
  };
  for (NameAlias& alias : m_aliases) {
    auto it = std::lower_bound(m_slots.begin(), m_slots.end(), alias.target,
                               [](const ExtEntry& e, std::int32_t k) { return e.key < k; });
    const bool inTable = it != m_slots.end() && it->key == alias.target;
    const InodeCopy* inode = inTable ? &m_slotInodes[static_cast<std::size_t>(it - m_slots.begin())] : nullptr;
    ExtEntry e = alias.entry;
    if (!alias.deleted) {
      if (inTable) {
        e.mode = it->mode;
        e.size = it->size;
      } else {
        e = withSizeOnDisk(e);
      }
      aliasEntries.push_back(e);
      aliasInodes.push_back(inode ? *inode : InodeCopy{});
      aliasHasInode.push_back(inode != nullptr);
      continue;
    }
    // A deleted name whose inode is in use again (renamed, linked elsewhere, or given to a new file)
    // names nothing of its own: its data is under the live name.
    if (inTable && !m_deletedKeys.count(alias.target)) continue;
    const std::uint16_t inodeMode = inTable ? le16At(Bytes(inode->data(), inode->size()), kInodeMode) : 0;
    const std::uint16_t wanted = alias.type != 0 ? typeMode(alias.type) : (inodeMode & kModeTypeMask);
    InodeCopy copy{};
    if (inTable && (inodeMode & kModeTypeMask) == (wanted ? wanted : kModeRegular)) {
      // The freed inode still holds what it held: its map (where kept), size and times.
      copy = *inode;
      e.mode = it->mode;
      e.size = it->size;
      e.inodeTableBlock = it->inodeTableBlock;
      e.slot = it->slot;
    } else {
      // A cleared inode, or one of another kind since: the name is listed with no data.
      e.mode = wanted ? wanted : kModeRegular;
      e.size = 0;
      copy[kInodeMode] = static_cast<std::byte>(e.mode & 0xFF);
      copy[kInodeMode + 1] = static_cast<std::byte>(e.mode >> 8);
    }
    m_deletedKeys.insert(e.key);
    aliasEntries.push_back(e);
    aliasInodes.push_back(copy);
    aliasHasInode.push_back(true);
  }

  if (m_extraSlots.empty()) {
    // The usual case: the named slots become the map where they lie, ROOT put in before the first key
    // past its own; no entry or inode copy is copied to fresh memory.
    std::size_t kept = 0;
    std::size_t rootAt = SIZE_MAX;
    for (std::size_t i = 0; i < m_slots.size(); ++i) {
      const ExtEntry& e = m_slots[i];
      if (rootAt == SIZE_MAX && e.key > kRootKey) rootAt = kept;
      // Unnamed inodes are left out; ROOT takes the key of inode 3.
      if (!e.name || e.key == kRootKey) continue;
      if (kept != i) {
        m_slots[kept] = m_slots[i];
        m_slotInodes[kept] = m_slotInodes[i];
      }
      ++kept;
    }
    if (rootAt == SIZE_MAX) rootAt = kept;
    m_slots.resize(kept);
    m_slotInodes.resize(kept);
    m_slots.insert(m_slots.begin() + static_cast<std::ptrdiff_t>(rootAt), root);
    m_slotInodes.insert(m_slotInodes.begin() + static_cast<std::ptrdiff_t>(rootAt), InodeCopy{});
    m_map = std::move(m_slots);
    m_mapInodes = std::move(m_slotInodes);
    m_mapHasInode.assign(m_map.size(), true);
    m_mapHasInode[rootAt] = false;
  } else {
    m_map.reserve(m_slots.size() + m_extraSlots.size() + 1 + aliasEntries.size());
    m_mapInodes.reserve(m_map.capacity());
    m_mapHasInode.reserve(m_map.capacity());
    bool rootPlaced = false;
    const auto place = [&](const ExtEntry& e, const InodeCopy* inode) {
      if (!rootPlaced && e.key > kRootKey) {
        m_map.push_back(root);
        m_mapInodes.emplace_back();
        m_mapHasInode.push_back(false);
        rootPlaced = true;
      }
      // Unnamed inodes are left out; ROOT takes the key of inode 3.
      if (!e.name || e.key == kRootKey) return;
      m_map.push_back(e);
      m_mapInodes.push_back(inode ? *inode : InodeCopy{});
      m_mapHasInode.push_back(inode != nullptr);
    };
    std::size_t i = 0;
    std::size_t j = 0;
    while (i < m_slots.size() || j < m_extraSlots.size()) {
      if (j == m_extraSlots.size() || (i < m_slots.size() && m_slots[i].key < m_extraSlots[j].key)) {
        place(m_slots[i], &m_slotInodes[i]);
        ++i;
      } else {
        place(withSizeOnDisk(m_extraSlots[j]), nullptr);
        ++j;
      }
    }
    if (!rootPlaced) place(ExtEntry{nullptr, INT32_MAX, -1, 0, 0, 0, 0, -1, -1}, nullptr);
  }
  m_map.insert(m_map.end(), aliasEntries.begin(), aliasEntries.end());
  m_mapInodes.insert(m_mapInodes.end(), aliasInodes.begin(), aliasInodes.end());
  m_mapHasInode.insert(m_mapHasInode.end(), aliasHasInode.begin(), aliasHasInode.end());
  // Each key's place in the map, when the keys are not spread much wider than the map is long (they are
  // inode numbers, then the further names): lookups then cost one step instead of a search.
  m_keyIndex.clear();
  std::int64_t highest = -1;
  for (const ExtEntry& e : m_map) highest = std::max<std::int64_t>(highest, e.key);
  if (highest >= 0 && static_cast<std::uint64_t>(highest) < 4 * std::uint64_t{m_map.size()} + 65536) {
    m_keyIndex.assign(static_cast<std::size_t>(highest) + 1, -1);
    // From the end, so that a key held twice finds its first entry, as the search would.
    for (std::size_t i = m_map.size(); i-- > 0;)
      if (m_map[i].key >= 0) m_keyIndex[static_cast<std::size_t>(m_map[i].key)] = static_cast<std::int32_t>(i);
  }
  // The entry array is released.
  ExtEntryTable().swap(m_slots);
  InodeTable().swap(m_slotInodes);
  std::vector<ExtEntry>().swap(m_extraSlots);
  std::vector<NameAlias>().swap(m_aliases);
  std::set<std::tuple<std::int32_t, std::int32_t, std::string>>().swap(m_deletedNames);
  std::vector<DirectoryInode>().swap(m_directories);
}

const ExtEntry* ext2Class::entry(std::int64_t key) const {
  if (key < 0 || key > INT32_MAX) return nullptr;
  if (!m_keyIndex.empty()) {
    // The table covers every key of the map.
    if (static_cast<std::uint64_t>(key) >= m_keyIndex.size()) return nullptr;
    const std::int32_t at = m_keyIndex[static_cast<std::size_t>(key)];
    return at >= 0 ? &m_map[static_cast<std::size_t>(at)] : nullptr;
  }
  auto it = std::lower_bound(m_map.begin(), m_map.end(), static_cast<std::int32_t>(key),
                             [](const ExtEntry& e, std::int32_t k) { return e.key < k; });
  return it != m_map.end() && it->key == key ? &*it : nullptr;
}

void ext2Class::markChainsThatEnd() {
  // Each entry's parent chain either ends (at the root, or at a parent the map does not hold) or runs in
  // a loop. Every chain is followed once: an entry met again on the chain being followed closes a loop,
  // and an entry already settled settles the whole chain, so the cost is linear at any depth.
  enum : std::uint8_t { kUnknown, kOnChain, kEnds, kLoops };
  std::vector<std::uint8_t> state(m_map.size(), kUnknown);
  std::vector<std::size_t> chain;
  auto indexOf = [this](std::int32_t key) -> std::optional<std::size_t> {
    const ExtEntry* at = entry(key);
    if (!at) return std::nullopt;
    return static_cast<std::size_t>(at - m_map.data());
  };
  for (std::size_t start = 0; start < m_map.size(); ++start) {
    if (state[start] != kUnknown) continue;
    chain.clear();
    std::size_t at = start;
    std::uint8_t outcome = kEnds;
    for (;;) {
      if (state[at] == kOnChain) {
        outcome = kLoops;
        break;
      }
      if (state[at] != kUnknown) {
        outcome = state[at];
        break;
      }
      state[at] = kOnChain;
      chain.push_back(at);
      const ExtEntry& e = m_map[at];
      if (e.parent <= 0) break;
      const std::optional<std::size_t> up = indexOf(e.parent);
      if (!up) break;
      at = *up;
    }
    for (std::size_t i : chain) state[i] = outcome;
  }
  m_chainEnds.assign(state.size(), false);
  for (std::size_t i = 0; i < state.size(); ++i) m_chainEnds[i] = state[i] == kEnds;
}

bool ext2Class::reachesTop(std::int64_t index) const {
  return index >= 0 && static_cast<std::size_t>(index) < m_chainEnds.size() && m_chainEnds[static_cast<std::size_t>(index)];
}

void ext2Class::linkParentsAndChildren() {
  status("Maintaining Parent Child....");
  const auto size = static_cast<std::int64_t>(m_map.size());
  markChainsThatEnd();
  progressRange(size);
  auto find = [this](std::int32_t key) -> ExtEntry* { return const_cast<ExtEntry*>(entry(key)); };
  for (std::int64_t counter = 0; counter < size; ++counter) {
    if (counter % kReportEvery == 0 || counter == size - 1) {
      if (stopHonoured()) break;
      status(format("Maintaining Parent Child for record %d of %d....", static_cast<int>(counter),
                    static_cast<int>(size)));
      progressPosition(counter + 1);
    }
    ExtEntry& e = m_map[static_cast<std::size_t>(counter)];
    // The root's own "." names the folder ROOT stands for: it is no child of it.
    if (e.parent <= 0 || e.parent == e.key || std::string_view(e.name) == ".") continue;
    ExtEntry* parent = find(e.parent);
    if (!parent) continue;
    // A parent chain that leads back to the entry would make a folder its own ancestor.
    if (!reachesTop(counter)) continue;
    e.nextSibling = parent->firstChild;
    parent->firstChild = e.key;
  }
}

std::vector<std::int64_t> ext2Class::childEntries(std::int64_t key) const {
  std::vector<std::int64_t> out;
  const ExtEntry* e = entry(key);
  if (!e) return out;
  // Every entry is linked once, so a chain is never longer than the map.
  for (std::int32_t c = e->firstChild; c >= 0 && out.size() < m_map.size();) {
    const ExtEntry* child = entry(c);
    if (!child) break;
    out.push_back(c);
    c = child->nextSibling;
  }
  return out;
}

std::string ext2Class::entryName(std::int64_t key) const {
  const ExtEntry* e = entry(key);
  return e && e->name ? utf8FromAnsi(e->name) : std::string();
}

void ext2Class::fillRootEntries() {
  status("filling root entries in  tree....");
  if (!m_tree) return;
  m_topItem = m_tree->insertItem(m_topItemText, kTreeRoot, kInsertLast, TreeIcon::Folder, kRootKey, false);
  for (std::int64_t child : childEntries(kRootKey)) {
    const ExtEntry* e = entry(child);
    if (!e || !e->name) continue;
    TreeItem item = kNoItem;
    if (isDirectoryMode(e->mode))
      item = m_tree->insertItem(entryName(child), m_topItem, kInsertLast, TreeIcon::Folder, child, false);
    else if (isFileMode(e->mode))
      item = m_tree->insertItem(entryName(child), m_topItem, kInsertLast, TreeIcon::File, child, false);
    if (item != kNoItem && isDeleted(child)) m_tree->markDeleted(item, true);
  }
  m_tree->SetCheck(m_topItem, true);
  m_tree->expand(m_topItem, true);
}

ExtEntryTexts ext2Class::describeTimesAndPermissions(const ExtEntry& e, bool allTimes) const {
  ExtEntryTexts texts;
  std::array<std::byte, 256> inode{};
  if (e.key == kRootKey || !inodeOf(e, inode)) return texts;
  const Bytes b(inode.data(), inode.size());
  auto when = [](std::uint32_t seconds) { return formatListFileTime(fileTimeFromUnix(seconds)); };
  if (allTimes) {
    texts.creation = when(le32At(b, kInodeCtime));
    texts.access = when(le32At(b, kInodeAtime));
  }
  texts.modification = when(le32At(b, kInodeMtime));
  static constexpr const char* kParts[9] = {"-OE", "-OW", "-OR", "-GE", "-GW", "-GR", "-UE", "-UW", "-UR"};
  const std::uint16_t mode = le16At(b, kInodeMode);
  for (int bit = 0; bit < 9; ++bit)
    if (mode & (1u << bit)) texts.permissions += kParts[bit];
  return texts;
}

std::uint64_t ext2Class::inodeNumber(const ExtEntry& e) const {
  // Packed fields: read by value.
  const std::int32_t own = e.key;
  const auto key = static_cast<std::uint64_t>(own > 0 ? own : 0);
  if (key < m_slotCount) return key + 1;
  // A further name keeps its inode's table and slot: the group whose table that is gives the number.
  const std::uint64_t table = e.inodeTableBlock;
  const std::uint32_t slot = e.slot;
  for (std::uint32_t group = 0; group < m_groupCount; ++group)
    if (inodeTableOf(group) == table) return std::uint64_t{group} * m_inodesPerGroup + slot + 1;
  return key + 1;
}

std::optional<ExtInodeStamps> ext2Class::inodeStamps(const ExtEntry& e) const {
  std::array<std::byte, 256> inode{};
  if (e.key == kRootKey || !inodeOf(e, inode)) return std::nullopt;
  const Bytes b(inode.data(), inode.size());
  ExtInodeStamps s;
  s.atime = le32At(b, kInodeAtime);
  s.ctime = le32At(b, kInodeCtime);
  s.mtime = le32At(b, kInodeMtime);
  s.mode = le16At(b, kInodeMode);
  // The owner's low halves in the inode's first fields, the high halves in its Linux-specific tail.
  s.uid = static_cast<std::uint32_t>(le16At(b, kInodeUidLo)) | static_cast<std::uint32_t>(le16At(b, kInodeUidHi)) << 16;
  s.gid = static_cast<std::uint32_t>(le16At(b, kInodeGidLo)) | static_cast<std::uint32_t>(le16At(b, kInodeGidHi)) << 16;
  return s;
}

std::string ext2Class::describeSize(const ExtEntry& e) { return sizeText(e.size); }

}  // namespace tessary
