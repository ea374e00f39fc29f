// ext file data: block maps and extent trees walked to block runs, and a file's bytes written with its
// holes as holes and its times.
#include <algorithm>

#include "fs/ext/ext2.h"
#include "fs/ext/ext_layout.h"
#include "platform/bytes.h"
#include "platform/large_buffer.h"

namespace tessary {

using namespace ext_layout;

namespace {

// Data blocks that lie together are read this many bytes at a time (at least one block), into the
// thread's page-aligned read buffer.
constexpr std::uint64_t kReadBytes = 1024 * 1024;

}  // namespace

bool ext2Class::readInode(const ExtEntry& e, std::array<std::byte, 256>& out) const {
  out.fill(std::byte{0});
  if (e.inodeTableBlock == 0 || e.inodeTableBlock >= m_blocksCount || e.slot >= m_inodesPerGroup) return false;
  const std::uint64_t offset = e.inodeTableBlock * m_blockSize + std::uint64_t{e.slot} * m_inodeSize;
  const std::size_t length = std::min<std::size_t>(m_inodeSize, out.size());
  // The reader serves whole sectors: the sector range holding the inode is read and the inode taken out.
  const std::uint64_t first = offset / kSectorSize * kSectorSize;
  const std::size_t lead = static_cast<std::size_t>(offset - first);
  std::array<std::byte, 2 * kSectorSize> sectors{};
  const std::size_t span = (lead + length + kSectorSize - 1) / kSectorSize * kSectorSize;
  if (!m_view.read(first, std::span<std::byte>(sectors.data(), span))) return false;
  std::copy_n(sectors.begin() + static_cast<std::ptrdiff_t>(lead), length, out.begin());
  return true;
}

bool ext2Class::inodeOf(const ExtEntry& e, std::array<std::byte, 256>& out) const {
  if (!m_map.empty() && &e >= m_map.data() && &e < m_map.data() + m_map.size()) {
    const auto at = static_cast<std::size_t>(&e - m_map.data());
    if (m_mapHasInode[at]) {
      out.fill(std::byte{0});
      std::copy(m_mapInodes[at].begin(), m_mapInodes[at].end(), out.begin());
      return true;
    }
  }
  return readInode(e, out);
}

bool ext2Class::readBlocks(std::uint64_t physical, std::uint64_t count, std::byte* out) const {
  const std::span<std::byte> target(out, static_cast<std::size_t>(count * m_blockSize));
  // Blocks past the volume's last one are never read: what they would hold belongs to no file of it.
  if (physical >= m_blocksCount || count > m_blocksCount - physical) {
    std::fill(target.begin(), target.end(), std::byte{0});
    return false;
  }
  return m_view.read(physical * m_blockSize, target);
}

bool ext2Class::walkExtents(const std::byte* node, std::size_t nodeSize, int expectedDepth, std::uint64_t neededBlocks,
                            std::unordered_set<std::uint64_t>& visited, bool& readFailed,
                            const RunVisitor& visit) const {
  const Bytes n(node, nodeSize);
  const std::uint16_t entries = le16At(n, kEhEntries);
  const std::uint16_t depth = le16At(n, kEhDepth);
  const std::size_t capacity = (nodeSize - kExtentHeaderSize) / kExtentEntrySize;
  if (le16At(n, kEhMagic) != kExtentMagic || depth > kMaxExtentDepth || entries > capacity ||
      (expectedDepth >= 0 && depth != expectedDepth)) {
    readFailed = true;
    return true;
  }
  for (std::size_t i = 0; i < entries; ++i) {
    const std::size_t at = kExtentHeaderSize + i * kExtentEntrySize;
    if (depth == 0) {
      const std::uint32_t logical = le32At(n, at + kEeBlock);
      const std::uint16_t length = le16At(n, at + kEeLen);
      const std::uint64_t start = (std::uint64_t{le16At(n, at + kEeStartHi)} << 32) | le32At(n, at + kEeStartLo);
      // Unwritten extents read as zeros.
      const bool unwritten = length > kUnwrittenLength;
      const std::uint64_t count = unwritten ? length - kUnwrittenLength : length;
      if (count == 0 || logical >= neededBlocks) continue;
      if (!visit(BlockRun{logical, start, count, unwritten})) return false;
      continue;
    }
    if (le32At(n, at + kEiBlock) >= neededBlocks) continue;
    const std::uint64_t leaf = (std::uint64_t{le16At(n, at + kEiLeafHi)} << 32) | le32At(n, at + kEiLeafLo);
    // Each tree block is read once: a block named twice would repeat (or loop through) its extents.
    if (leaf == 0 || leaf >= m_blocksCount || !visited.insert(leaf).second) {
      readFailed = true;
      continue;
    }
    std::vector<std::byte> child(m_blockSize);
    if (!readBlocks(leaf, 1, child.data())) {
      readFailed = true;
      continue;
    }
    if (!walkExtents(child.data(), child.size(), depth - 1, neededBlocks, visited, readFailed, visit)) return false;
  }
  return true;
}

bool ext2Class::walkIndirect(std::uint64_t block, int level, std::uint64_t logical, std::uint64_t neededBlocks,
                             bool& readFailed, const RunVisitor& visit) const {
  std::vector<std::byte> pointers(m_blockSize);
  if (!readBlocks(block, 1, pointers.data())) {
    readFailed = true;
    return true;
  }
  const Bytes p(pointers.data(), pointers.size());
  const std::uint64_t perBlock = m_blockSize / 4;
  std::uint64_t span = 1;
  for (int i = 1; i < level; ++i) span *= perBlock;
  for (std::uint64_t i = 0; i < perBlock; ++i) {
    const std::uint64_t at = logical + i * span;
    if (at >= neededBlocks) break;
    // A zero pointer is a hole of `span` blocks.
    const std::uint32_t next = le32At(p, static_cast<std::size_t>(i * 4));
    if (next == 0) continue;
    if (level == 1) {
      if (!visit(BlockRun{at, next, 1, false})) return false;
    } else if (!walkIndirect(next, level - 1, at, neededBlocks, readFailed, visit)) {
      return false;
    }
  }
  return true;
}

void ext2Class::forEachRun(const std::byte* inode, std::uint64_t neededBlocks, bool& readFailed,
                           const RunVisitor& visit) const {
  if (m_blockSize == 0 || neededBlocks == 0) return;
  // Neighbouring blocks are handed on as one run.
  BlockRun pending;
  bool havePending = false;
  bool go = true;
  const RunVisitor merged = [&](const BlockRun& run) {
    if (havePending && !pending.zeros && !run.zeros && pending.logical + pending.count == run.logical &&
        pending.physical + pending.count == run.physical) {
      pending.count += run.count;
      return true;
    }
    if (havePending && !visit(pending)) {
      havePending = false;
      go = false;
      return false;
    }
    pending = run;
    havePending = true;
    return true;
  };
  const Bytes b(inode, kInodeFieldsEnd);
  if (le32At(b, kInodeFlags) & kFlagExtents) {
    std::unordered_set<std::uint64_t> visited;
    walkExtents(inode + kInodeBlock, kInodeBlockBytes, -1, neededBlocks, visited, readFailed, merged);
  } else {
    const std::uint64_t perBlock = m_blockSize / 4;
    bool more = true;
    for (std::size_t i = 0; i < kDirectPointers && i < neededBlocks && more; ++i) {
      const std::uint32_t block = le32At(b, kInodeBlock + i * 4);
      if (block != 0) more = merged(BlockRun{i, block, 1, false});
    }
    std::uint64_t logical = kDirectPointers;
    std::uint64_t span = perBlock;
    for (std::size_t level = 1; level <= 3 && more && logical < neededBlocks; ++level) {
      const std::uint32_t top = le32At(b, kInodeBlock + (kSingleIndirect + level - 1) * 4);
      if (top != 0) more = walkIndirect(top, static_cast<int>(level), logical, neededBlocks, readFailed, merged);
      logical += span;
      span *= perBlock;
    }
  }
  if (havePending && go) visit(pending);
}

bool ext2Class::readWholeInode(const ExtEntry& e, std::vector<std::byte>& out) const {
  out.assign(m_inodeSize, std::byte{0});
  if (e.inodeTableBlock == 0 || e.inodeTableBlock >= m_blocksCount || e.slot >= m_inodesPerGroup) return false;
  // The reader serves whole sectors: the sector range holding the inode is read and the inode taken out.
  const std::uint64_t offset = e.inodeTableBlock * m_blockSize + std::uint64_t{e.slot} * m_inodeSize;
  const std::uint64_t first = offset / kSectorSize * kSectorSize;
  const std::size_t lead = static_cast<std::size_t>(offset - first);
  std::vector<std::byte> sectors((lead + m_inodeSize + kSectorSize - 1) / kSectorSize * kSectorSize);
  if (!m_view.read(first, sectors)) return false;
  std::copy_n(sectors.begin() + static_cast<std::ptrdiff_t>(lead), m_inodeSize, out.begin());
  return true;
}

namespace {

// The value of the attribute system.data among the entries of `area` from `first`; value offsets count
// from `base`. Every entry, name and value is checked against the area.
std::optional<std::vector<std::byte>> findSystemData(Bytes area, std::size_t first, std::size_t base) {
  std::size_t at = first;
  // An entry is at least 20 bytes long, so the area holds no more than this many.
  for (std::size_t step = 0; step < area.size() / 16 + 1 && at + kXeName <= area.size(); ++step) {
    const std::uint8_t nameLen = u8At(area, at + kXeNameLen);
    const std::uint8_t index = u8At(area, at + kXeNameIndex);
    // Four zero bytes end the list.
    if (nameLen == 0 && index == 0 && le16At(area, at + kXeValueOffs) == 0) break;
    if (at + kXeName + nameLen > area.size()) break;
    const Bytes name = area.subspan(at + kXeName, nameLen);
    if (index == kXattrIndexSystem && nameLen == 4 && hasMagic(name, 0, "data")) {
      // A value kept in an inode of its own is not read.
      if (le32At(area, at + kXeValueInum) != 0) return std::nullopt;
      const std::size_t offset = base + le16At(area, at + kXeValueOffs);
      const std::uint32_t size = le32At(area, at + kXeValueSize);
      if (!fits(area.size(), offset, size)) return std::nullopt;
      return std::vector<std::byte>(area.begin() + static_cast<std::ptrdiff_t>(offset),
                                    area.begin() + static_cast<std::ptrdiff_t>(offset + size));
    }
    at += (kXeName + nameLen + 3) & ~std::size_t{3};
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::vector<std::byte>> ext2Class::inlineDataTail(const std::vector<std::byte>& inode) const {
  const Bytes b(inode.data(), inode.size());
  if (inode.size() > kOldInodeSize) {
    const std::size_t extra = le16At(b, kInodeExtraIsize);
    const std::size_t start = kOldInodeSize + extra;
    if (extra % 4 == 0 && start + 4 <= inode.size() && le32At(b, start) == kXattrMagic) {
      const Bytes area = b.subspan(start + 4);
      if (auto value = findSystemData(area, 0, 0)) return value;
    }
  }
  const std::uint64_t block = (std::uint64_t{le16At(b, kInodeFileAclHi)} << 32) | le32At(b, kInodeFileAclLo);
  if (block == 0 || block >= m_blocksCount) return std::nullopt;
  std::vector<std::byte> data(m_blockSize);
  if (!readBlocks(block, 1, data.data()) || le32At(Bytes(data.data(), data.size()), 0) != kXattrMagic)
    return std::nullopt;
  return findSystemData(Bytes(data.data(), data.size()), kXattrBlockHeader, 0);
}

std::uint64_t ext2Class::maxFileSize(bool extents) const {
  if (m_blockSize == 0) return 0;
  int bits = 0;
  while ((std::uint64_t{1} << bits) < m_blockSize) ++bits;
  const std::uint64_t perBlock = m_blockSize / 4;
  // Logical block numbers: 32 bits in an extent; 12 direct, single, double and triple indirect in a map.
  const std::uint64_t mapped =
      extents ? (std::uint64_t{1} << 32) : kDirectPointers + perBlock + perBlock * perBlock + perBlock * perBlock * perBlock;
  // The inode's block count: 48 bits of blocks with huge_file, else 32 bits of 512-byte sectors.
  const std::uint64_t counted =
      (m_roCompat & kRoCompatHugeFile) ? (std::uint64_t{1} << 48) - 1 : ((std::uint64_t{1} << 32) - 1) >> (bits - 9);
  return std::min(mapped, counted) << bits;
}

bool ext2Class::saveFileData(const ExtEntry& e, DataSink& sink) const {
  std::array<std::byte, 256> inode{};
  if (e.key == kRootKey || !inodeOf(e, inode)) return false;
  const Bytes b(inode.data(), inode.size());
  const std::uint16_t mode = le16At(b, kInodeMode);
  const std::uint32_t flags = le32At(b, kInodeFlags);
  std::uint64_t size = le32At(b, kInodeSizeLo);
  if (const std::uint32_t high = le32At(b, kInodeSizeHigh); high != 0) size |= std::uint64_t{high} << 32;
  // A size no file of this file system can have is a damaged inode: nothing is written for it.
  if (size > maxFileSize((flags & kFlagExtents) != 0)) return false;
  // Inline data lives in the inode itself, so an inline file larger than its inode is damaged too.
  if ((flags & kFlagInlineData) && size > std::max<std::uint64_t>(m_inodeSize, kInodeBlockBytes)) return false;

  bool ok = true;
  bool sinkOk = true;
  std::uint64_t written = 0;
  const auto put = [&](const std::byte* data, std::uint64_t bytes) {
    if (!sinkOk || bytes == 0) return;
    sinkOk = sink.write(std::span<const std::byte>(data, static_cast<std::size_t>(bytes)));
    written += bytes;
  };
  // A hole of `blocks` logical blocks, never past the file's size.
  const auto putHole = [&](std::uint64_t blocks) {
    const std::uint64_t remaining = size - written;
    std::uint64_t bytes = remaining;
    if (blocks < remaining / m_blockSize + 1) bytes = std::min(remaining, blocks * m_blockSize);
    if (!sinkOk || bytes == 0) return;
    sinkOk = sink.hole(bytes);
    written += bytes;
  };

  const bool fastLink = (mode & kModeTypeMask) == kModeSymlink && (flags & kFlagExtents) == 0 &&
                        (flags & kFlagInlineData) == 0 && size < kInodeBlockBytes;
  if (fastLink) {
    // A short link's target lives in i_block itself.
    put(inode.data() + kInodeBlock, size);
  } else if (flags & kFlagInlineData) {
    // Inline data: the first 60 bytes in i_block, the rest in the system.data attribute.
    const std::uint64_t head = std::min<std::uint64_t>(size, kInodeBlockBytes);
    put(inode.data() + kInodeBlock, head);
    if (head < size) {
      std::vector<std::byte> whole;
      std::optional<std::vector<std::byte>> tail;
      if (readWholeInode(e, whole)) tail = inlineDataTail(whole);
      const std::uint64_t from = tail ? std::min<std::uint64_t>(tail->size(), size - head) : 0;
      if (from > 0) put(tail->data(), from);
      if (head + from < size) {
        // The attribute is missing or short: zeros keep the size, and the file counts as failed.
        ok = false;
        putHole(UINT64_MAX);
      }
    }
  } else {
    const std::uint64_t needed = size / m_blockSize + (size % m_blockSize != 0 ? 1 : 0);
    std::uint64_t position = 0;
    bool readFailed = false;
    const std::uint64_t perRead = std::max<std::uint64_t>(1, kReadBytes / m_blockSize);
    std::vector<std::byte> fallback;
    std::span<std::byte> chunk = threadReadBuffer(static_cast<std::size_t>(perRead * m_blockSize));
    if (chunk.empty()) {
      fallback.resize(static_cast<std::size_t>(perRead * m_blockSize));
      chunk = fallback;
    }
    forEachRun(inode.data(), needed, readFailed, [&](const BlockRun& run) {
      // Runs out of order or overlapping what was written are left out.
      if (run.logical + run.count <= position) return true;
      if (run.logical > position) {
        putHole(run.logical - position);
        position = run.logical;
      }
      const std::uint64_t skip = position - run.logical;
      const std::uint64_t count = std::min(run.count - skip, needed - position);
      if (run.zeros) {
        putHole(count);
      } else {
        const std::uint64_t first = run.physical + skip;
        // The run's bytes go from the image file to the output inside the host where they lie there as
        // they are (never past the volume's last block); whatever that does not take is read and written.
        std::uint64_t copied = 0;
        if (sinkOk && first < m_blocksCount && count <= m_blocksCount - first) {
          copied = m_view.copyTo(sink, first * m_blockSize, std::min(count * m_blockSize, size - written));
          written += copied;
        }
        // Bytes of the first block left to read that the copy already put.
        std::uint64_t lead = copied % m_blockSize;
        for (std::uint64_t done = copied / m_blockSize; done < count && written < size && sinkOk; done += perRead) {
          const std::uint64_t n = std::min(perRead, count - done);
          // The piece starts as zeros, as a fresh buffer would: a reader that fails without filling it
          // leaves zeros, never bytes of the piece or file read before. A block that cannot be read is written as zeros, so later bytes keep their offsets.
          std::fill_n(chunk.data(), static_cast<std::size_t>(n * m_blockSize), std::byte{0});
          if (!readBlocks(first + done, n, chunk.data())) ok = false;
          put(chunk.data() + lead, std::min(n * m_blockSize - lead, size - written));
          lead = 0;
        }
      }
      position += count;
      return position < needed && sinkOk;
    });
    if (readFailed) ok = false;
    // Everything past the last mapped block up to the size is one hole.
    if (written < size) putHole(UINT64_MAX);
  }
  constexpr std::int64_t kNsPerSecond = 1000000000;
  sink.setTimes(std::int64_t{le32At(b, kInodeAtime)} * kNsPerSecond, std::int64_t{le32At(b, kInodeMtime)} * kNsPerSecond);
  // A large inode whose extra fields reach i_crtime knows when the file was made.
  if (m_inodeSize >= kInodeCrtime + 4 && le16At(b, kInodeExtraIsize) >= kInodeCrtime + 4 - kOldInodeSize)
    if (const std::uint32_t made = le32At(b, kInodeCrtime); made != 0) sink.setCreationTime(std::int64_t{made} * kNsPerSecond);
  return ok && sinkOk;
}

std::optional<std::uint64_t> ext2Class::firstBlock(const ExtEntry& e) const {
  std::array<std::byte, 256> inode{};
  if (e.key == kRootKey || m_blockSize == 0 || !inodeOf(e, inode)) return std::nullopt;
  if (le32At(Bytes(inode.data(), inode.size()), kInodeFlags) & kFlagInlineData) return std::nullopt;
  std::optional<std::uint64_t> first;
  bool readFailed = false;
  forEachRun(inode.data(), 1, readFailed, [&](const BlockRun& run) {
    if (run.logical == 0 && run.count > 0 && !run.zeros && run.physical > 0 && run.physical < m_blocksCount)
      first = run.physical;
    return false;
  });
  return first;
}

std::optional<bool> ext2Class::blockInUse(std::uint64_t block) const {
  if (m_blocksPerGroup == 0 || m_blockSize == 0 || block < m_firstDataBlock || block >= m_blocksCount)
    return std::nullopt;
  const std::uint64_t group = (block - m_firstDataBlock) / m_blocksPerGroup;
  const std::uint64_t index = (block - m_firstDataBlock) % m_blocksPerGroup;
  if (group >= m_groupCount) return std::nullopt;
  const Bytes table(m_groupDescriptors.data(), m_groupDescriptors.size());
  const std::size_t desc = static_cast<std::size_t>(group) * m_descSize;
  if (desc + m_descSize > table.size()) return std::nullopt;
  if (le16At(table, desc + kBgFlags) & kBgBlockUninit) return std::nullopt;
  std::uint64_t bitmap = le32At(table, desc + kBgBlockBitmapLo);
  if (m_is64Bit && m_descSize >= kDescSize64) bitmap |= std::uint64_t{le32At(table, desc + kBgBlockBitmapHi)} << 32;
  if (bitmap == 0 || bitmap >= m_blocksCount) return std::nullopt;
  // Reads keep to whole sectors: the one that holds the block's byte.
  const std::uint64_t at = bitmap * m_blockSize + index / 8;
  std::array<std::byte, 512> sector{};
  if (!m_view.read(at / sector.size() * sector.size(), sector)) return std::nullopt;
  return ((std::to_integer<unsigned>(sector[at % sector.size()]) >> (index % 8)) & 1) != 0;
}

}  // namespace tessary
