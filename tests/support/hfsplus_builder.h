// Test volume builder for HFS+: volume header, catalog and extents-overflow B-tree nodes and file blocks
// written byte by byte (big-endian), for the layouts no Debian tool writes: stale records in free nodes,
// extents overflow, a catalog in several extents, looping node links, hostile offsets.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "support/ntfs_builder.h"

namespace tessary::test {

struct HfsBuildExtent {
  std::uint32_t start = 0;
  std::uint32_t count = 0;
};

struct HfsBuildRecord {
  std::uint16_t type = 2;  // 1 folder, 2 file
  std::uint32_t parent = 2;
  std::u16string name;
  std::uint32_t cnid = 0;
  std::uint64_t size = 0;
  std::uint32_t totalBlocks = 0;
  std::vector<HfsBuildExtent> extents;  // at most eight
  std::uint32_t created = 0, contentModified = 0, attributeModified = 0, accessed = 0;
  std::uint16_t mode = 0100644;
};

struct HfsBuildOverflow {
  std::uint8_t forkType = 0;
  std::uint32_t fileId = 0;
  std::uint32_t startBlock = 0;
  std::vector<HfsBuildExtent> extents;
};

class HfsBuilder {
 public:
  HfsBuilder(std::uint32_t blockSize, std::uint32_t totalBlocks, std::uint16_t nodeSize);

  ByteVector& bytes() { return m_bytes; }
  std::uint32_t blockSize() const { return m_blockSize; }
  std::uint16_t nodeSize() const { return m_nodeSize; }
  // The next free blocks (bump allocation from block 8).
  std::uint32_t allocate(std::uint32_t blocks);
  void writeAt(std::uint64_t offset, const ByteVector& data);
  void writeBlocks(std::uint32_t start, const ByteVector& data) { writeAt(std::uint64_t{start} * m_blockSize, data); }
  // A file's data in `pieces` extents of (about) equal size, each on its own blocks with a gap after it.
  std::vector<HfsBuildExtent> placeFragmented(const ByteVector& data, std::uint32_t pieces);

  // One B-tree node: descriptor, records and their offset table.
  ByteVector leafNode(const std::vector<ByteVector>& records, std::int8_t kind = -1, std::uint8_t height = 1,
                      std::uint32_t forward = 0) const;
  static ByteVector catalogRecord(const HfsBuildRecord& r);
  static ByteVector threadRecord(std::uint32_t cnid, std::uint32_t parent, const std::u16string& name);
  static ByteVector overflowRecord(const HfsBuildOverflow& r);
  ByteVector headerNode(std::uint32_t totalNodes, std::uint16_t maxKeyLength) const;

  // Writes a B-tree file: the header node then `nodes` as nodes 1, 2, ... across `extents` (allocated
  // when empty); fills the volume header's fork at `forkAt`. Returns the extents used.
  std::vector<HfsBuildExtent> writeTree(std::size_t forkAt, const std::vector<ByteVector>& nodes,
                                        std::vector<HfsBuildExtent> extents = {}, std::uint16_t maxKeyLength = 516);
  // The catalog as leaf nodes of records (nodes 1..n); the extents file as one leaf of overflow records.
  std::vector<HfsBuildExtent> writeCatalog(const std::vector<std::vector<HfsBuildRecord>>& leaves,
                                           std::vector<HfsBuildExtent> extents = {});
  void writeExtentsFile(const std::vector<HfsBuildOverflow>& records);
  // The volume header at 1024 and its copy 1024 bytes before the end.
  void writeHeaders(bool alternateToo = true);
  void zeroPrimaryHeader();
  void setHeader32(std::size_t at, std::uint32_t value);

  static constexpr std::size_t kExtentsFork = 192;
  static constexpr std::size_t kCatalogFork = 272;

 private:
  std::uint32_t m_blockSize;
  std::uint32_t m_totalBlocks;
  std::uint16_t m_nodeSize;
  std::uint32_t m_next = 8;
  ByteVector m_bytes;
  ByteVector m_header;
};

}  // namespace tessary::test
