#include "support/hfsplus_builder.h"

#include <algorithm>
#include <stdexcept>

namespace tessary::test {

namespace {

void put16(ByteVector& b, std::size_t at, std::uint32_t v) {
  b.at(at) = std::byte(v >> 8);
  b.at(at + 1) = std::byte(v);
}
void put32(ByteVector& b, std::size_t at, std::uint32_t v) {
  put16(b, at, v >> 16);
  put16(b, at + 2, v & 0xFFFF);
}
void put64(ByteVector& b, std::size_t at, std::uint64_t v) {
  put32(b, at, static_cast<std::uint32_t>(v >> 32));
  put32(b, at + 4, static_cast<std::uint32_t>(v));
}

ByteVector catalogKey(std::uint32_t parent, const std::u16string& name) {
  ByteVector key(8 + 2 * name.size());
  put16(key, 0, static_cast<std::uint32_t>(6 + 2 * name.size()));
  put32(key, 2, parent);
  put16(key, 6, static_cast<std::uint32_t>(name.size()));
  for (std::size_t i = 0; i < name.size(); ++i) put16(key, 8 + 2 * i, name[i]);
  return key;
}

void putExtents(ByteVector& b, std::size_t at, const std::vector<HfsBuildExtent>& extents) {
  for (std::size_t i = 0; i < extents.size() && i < 8; ++i) {
    put32(b, at + 8 * i, extents[i].start);
    put32(b, at + 8 * i + 4, extents[i].count);
  }
}

}  // namespace

HfsBuilder::HfsBuilder(std::uint32_t blockSize, std::uint32_t totalBlocks, std::uint16_t nodeSize)
    : m_blockSize(blockSize), m_totalBlocks(totalBlocks), m_nodeSize(nodeSize),
      m_bytes(std::size_t{blockSize} * totalBlocks), m_header(512) {
  m_header[0] = std::byte{'H'};
  m_header[1] = std::byte{'+'};
  put16(m_header, 2, 4);
  put32(m_header, 40, blockSize);
  put32(m_header, 44, totalBlocks);
  // Past the boot blocks and the header's own block.
  m_next = std::max<std::uint32_t>(8, 2048 / blockSize + 1);
}

std::uint32_t HfsBuilder::allocate(std::uint32_t blocks) {
  const std::uint32_t start = m_next;
  m_next += blocks;
  if (m_next > m_totalBlocks) throw std::runtime_error("test volume full");
  return start;
}

void HfsBuilder::writeAt(std::uint64_t offset, const ByteVector& data) {
  if (offset + data.size() > m_bytes.size()) throw std::runtime_error("write past the test volume");
  std::copy(data.begin(), data.end(), m_bytes.begin() + static_cast<std::ptrdiff_t>(offset));
}

std::vector<HfsBuildExtent> HfsBuilder::placeFragmented(const ByteVector& data, std::uint32_t pieces) {
  const std::uint32_t blocks = static_cast<std::uint32_t>((data.size() + m_blockSize - 1) / m_blockSize);
  std::vector<HfsBuildExtent> out;
  std::uint32_t done = 0;
  for (std::uint32_t p = 0; p < pieces && done < blocks; ++p) {
    const std::uint32_t count = p + 1 == pieces ? blocks - done : std::max<std::uint32_t>(1, blocks / pieces);
    const std::uint32_t start = allocate(count);
    allocate(1);  // a gap, so that no two pieces touch
    const std::size_t from = std::size_t{done} * m_blockSize;
    const std::size_t to = std::min(data.size(), std::size_t{done + count} * m_blockSize);
    writeBlocks(start, ByteVector(data.begin() + static_cast<std::ptrdiff_t>(from), data.begin() + static_cast<std::ptrdiff_t>(to)));
    out.push_back({start, count});
    done += count;
  }
  return out;
}

ByteVector HfsBuilder::leafNode(const std::vector<ByteVector>& records, std::int8_t kind, std::uint8_t height,
                                std::uint32_t forward) const {
  ByteVector node(m_nodeSize);
  put32(node, 0, forward);
  node[8] = std::byte(static_cast<std::uint8_t>(kind));
  node[9] = std::byte(height);
  put16(node, 10, static_cast<std::uint32_t>(records.size()));
  std::size_t at = 14;
  for (std::size_t i = 0; i < records.size(); ++i) {
    if (at + records[i].size() + 2 * (records.size() + 1) > m_nodeSize) throw std::runtime_error("node full");
    std::copy(records[i].begin(), records[i].end(), node.begin() + static_cast<std::ptrdiff_t>(at));
    put16(node, m_nodeSize - 2 * (i + 1), static_cast<std::uint32_t>(at));
    at += records[i].size();
  }
  put16(node, m_nodeSize - 2 * (records.size() + 1), static_cast<std::uint32_t>(at));  // free space
  return node;
}

ByteVector HfsBuilder::catalogRecord(const HfsBuildRecord& r) {
  ByteVector out = catalogKey(r.parent, r.name);
  ByteVector data(r.type == 1 ? 88 : 248);
  put16(data, 0, r.type);
  put32(data, 8, r.cnid);
  put32(data, 12, r.created);
  put32(data, 16, r.contentModified);
  put32(data, 20, r.attributeModified);
  put32(data, 24, r.accessed);
  put16(data, 42, r.mode);
  if (r.type == 2) {
    put64(data, 88, r.size);
    put32(data, 100, r.totalBlocks);
    putExtents(data, 104, r.extents);
  }
  out.insert(out.end(), data.begin(), data.end());
  return out;
}

ByteVector HfsBuilder::threadRecord(std::uint32_t cnid, std::uint32_t parent, const std::u16string& name) {
  ByteVector out = catalogKey(cnid, u"");
  ByteVector data(8 + 2 + 2 * name.size());
  put16(data, 0, 3);
  put32(data, 4, parent);
  put16(data, 8, static_cast<std::uint32_t>(name.size()));
  for (std::size_t i = 0; i < name.size(); ++i) put16(data, 10 + 2 * i, name[i]);
  out.insert(out.end(), data.begin(), data.end());
  return out;
}

ByteVector HfsBuilder::overflowRecord(const HfsBuildOverflow& r) {
  ByteVector out(12 + 64);
  put16(out, 0, 10);
  out[2] = std::byte(r.forkType);
  put32(out, 4, r.fileId);
  put32(out, 8, r.startBlock);
  putExtents(out, 12, r.extents);
  return out;
}

ByteVector HfsBuilder::headerNode(std::uint32_t totalNodes, std::uint16_t maxKeyLength) const {
  ByteVector header(106);
  put16(header, 0, 1);   // tree depth
  put32(header, 2, 1);   // root node
  put32(header, 10, 1);  // first leaf
  put16(header, 18, m_nodeSize);
  put16(header, 20, maxKeyLength);
  put32(header, 22, totalNodes);
  return leafNode({header, ByteVector(128), ByteVector(256)}, 1, 0);
}

std::vector<HfsBuildExtent> HfsBuilder::writeTree(std::size_t forkAt, const std::vector<ByteVector>& nodes,
                                                  std::vector<HfsBuildExtent> extents, std::uint16_t maxKeyLength) {
  const std::uint32_t nodeBlocks = std::max<std::uint32_t>(1, m_nodeSize / m_blockSize);
  const std::uint32_t total = static_cast<std::uint32_t>(nodes.size() + 1);
  if (extents.empty()) extents.push_back({allocate(total * nodeBlocks), total * nodeBlocks});
  std::vector<ByteVector> all{headerNode(total, maxKeyLength)};
  all.insert(all.end(), nodes.begin(), nodes.end());
  std::uint64_t forkBlocks = 0;
  for (const auto& e : extents) forkBlocks += e.count;
  for (std::size_t n = 0; n < all.size(); ++n) {
    std::uint64_t forkOffset = n * m_nodeSize;
    for (const auto& e : extents) {
      const std::uint64_t bytes = std::uint64_t{e.count} * m_blockSize;
      if (forkOffset < bytes) {
        writeAt(std::uint64_t{e.start} * m_blockSize + forkOffset, all[n]);
        break;
      }
      forkOffset -= bytes;
    }
  }
  ByteVector fork(80);
  put64(fork, 0, forkBlocks * m_blockSize);
  put32(fork, 12, static_cast<std::uint32_t>(forkBlocks));
  putExtents(fork, 16, extents);
  std::copy(fork.begin(), fork.end(), m_header.begin() + static_cast<std::ptrdiff_t>(forkAt));
  return extents;
}

std::vector<HfsBuildExtent> HfsBuilder::writeCatalog(const std::vector<std::vector<HfsBuildRecord>>& leaves,
                                                     std::vector<HfsBuildExtent> extents) {
  std::vector<ByteVector> nodes;
  for (const auto& leaf : leaves) {
    std::vector<ByteVector> records;
    for (const auto& r : leaf) records.push_back(catalogRecord(r));
    nodes.push_back(leafNode(records));
  }
  return writeTree(kCatalogFork, nodes, std::move(extents));
}

void HfsBuilder::writeExtentsFile(const std::vector<HfsBuildOverflow>& records) {
  std::vector<ByteVector> encoded;
  for (const auto& r : records) encoded.push_back(overflowRecord(r));
  writeTree(kExtentsFork, {leafNode(encoded)}, {}, 10);
}

void HfsBuilder::writeHeaders(bool alternateToo) {
  writeAt(1024, m_header);
  if (alternateToo) writeAt(m_bytes.size() - 1024, m_header);
}

void HfsBuilder::zeroPrimaryHeader() { writeAt(1024, ByteVector(512)); }

void HfsBuilder::setHeader32(std::size_t at, std::uint32_t value) { put32(m_header, at, value); }

}  // namespace tessary::test
