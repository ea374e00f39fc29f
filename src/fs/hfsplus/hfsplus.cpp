// The HFS+ parser: volume header, catalog and extents-overflow B-trees, the deep scan for catalog leaf
// nodes, parent-child links, the results tree's top level, data forks and the detail list's texts.
#include "fs/hfsplus/hfsplus.h"

#include <algorithm>
#include <memory>
#include <optional>
#include <span>
#include <unordered_map>

#include "fs/hfsplus/hfsplus_layout.h"
#include "platform/bytes.h"
#include "platform/file_time.h"
#include "platform/large_buffer.h"
#include "platform/page_sink.h"
#include "platform/text.h"

namespace tessary {

using namespace hfsplus_layout;

namespace {

constexpr std::uint32_t kExtentsFileId = 3;
constexpr std::uint32_t kCatalogFileId = 4;
// The deep scan reads the volume in pieces of this size (plus one node): small enough to stay in the
// processor's cache between the read and the scan, which keeps the scan near the disk's read rate.
constexpr std::uint64_t kScanPiece = 1 << 20;
constexpr std::uint16_t kDeepMaxRecords = 999;
constexpr std::uint16_t kDeepLastOffset = 0x000E;
// A file's data is read in chunks of at most this many bytes.
constexpr std::uint64_t kDataChunk = 1 << 20;
// B-tree nodes are read in runs of at most this many bytes; two nodes of a run lie at most kNodeGap
// bytes apart (more is read as a run of its own).
constexpr std::size_t kNodeRun = 1 << 20;
constexpr std::uint64_t kNodeGap = 64 * 1024;

bool knownKind(std::int8_t kind) { return kind >= kLeafNode && kind <= kMapNode; }

// A catalog name as its user wrote it. The catalog keeps a name's ':' as '/', since ':' once separated
// path parts; a '/' shown as such would read as a folder boundary.
void nameFromBe(Bytes d, std::size_t at, std::size_t units, std::u16string& out) {
  out.clear();
  for (std::size_t i = 0; i < units; ++i) {
    const char16_t unit = static_cast<char16_t>(be16At(d, at + 2 * i));
    if (unit == 0) break;  // the name ends at its first zero unit, as it is kept zero-terminated
    out.push_back(unit == u'/' ? u':' : unit);
  }
}

// Record offsets from the node's end (the last two bytes hold the first); only offsets that point past
// the descriptor and below the offset table are kept.
std::vector<std::uint16_t> recordOffsets(Bytes node, std::uint16_t count) {
  std::vector<std::uint16_t> out;
  const std::size_t size = node.size();
  if (size < kNodeDescriptorSize + 2) return out;
  const std::size_t room = (size - kNodeDescriptorSize) / 2;
  const std::size_t taken = std::min<std::size_t>(count, room);
  const std::size_t tableStart = size - 2 * taken;
  for (std::size_t i = 0; i < taken; ++i) {
    const std::uint16_t offset = be16At(node, size - 2 * (i + 1));
    if (offset >= kNodeDescriptorSize && offset < tableStart) out.push_back(offset);
  }
  return out;
}

std::int64_t unixNs(std::uint32_t hfsSeconds) { return unixNanosecondsFromFileTime(fileTimeFromHfs(hfsSeconds)); }

}  // namespace

std::uint64_t HFSP::ForkMap::bytes() const {
  std::uint64_t total = 0;
  for (const auto& e : extents) total += std::uint64_t{e[1]} * blockSize;
  return total;
}

bool HFSP::ForkMap::read(const VolumeView& view, std::uint64_t forkOffset, std::span<std::byte> out) const {
  std::fill(out.begin(), out.end(), std::byte{0});
  std::uint64_t extentStart = 0;  // fork offset of the extent's first byte
  std::size_t done = 0;
  for (const auto& e : extents) {
    if (done == out.size()) break;
    const std::uint64_t extentBytes = std::uint64_t{e[1]} * blockSize;
    const std::uint64_t want = forkOffset + done;
    if (want < extentStart + extentBytes) {
      const std::uint64_t inside = want - extentStart;
      const std::uint64_t take = std::min<std::uint64_t>(extentBytes - inside, out.size() - done);
      const std::uint64_t physical = std::uint64_t{e[0]} * blockSize + inside;
      if (!view.read(physical, out.subspan(done, static_cast<std::size_t>(take)))) return false;
      done += static_cast<std::size_t>(take);
    }
    extentStart += extentBytes;
  }
  return done == out.size();
}

std::uint64_t HFSP::volumeBytes() const {
  std::uint64_t bytes = static_cast<std::uint64_t>(std::max<std::int64_t>(decimalValue(m_volume.volumeSizeText), 0)) << 20;
  if (bytes == 0 && usableVolumeHeader(m_header))
    bytes = std::uint64_t{be32At(m_header, kTotalBlocks)} * be32At(m_header, kBlockSize);
  return std::min(bytes, m_view.bytesToDiskEnd());
}

// The alternate header lies 1024 bytes before the volume's end. The volume list gives the size in whole
// MiB, so the copy is looked for in the MiB that follows; then at the disk's end.
bool HFSP::findAlternateHeader(std::array<std::byte, 512>& out) const {
  auto consistent = [](Bytes h, std::uint64_t at) {
    if (!usableVolumeHeader(h)) return false;
    const std::uint64_t end = std::uint64_t{be32At(h, kTotalBlocks)} * be32At(h, kBlockSize);
    // The copy sits at the partition's end, which the volume's own blocks may fall short of.
    return end >= kVolumeHeaderOffset + kVolumeHeaderSize && end <= at + kAlternateHeaderFromEnd;
  };
  const std::uint64_t mib = static_cast<std::uint64_t>(std::max<std::int64_t>(decimalValue(m_volume.volumeSizeText), 0));
  if (mib > 0 && mib < (std::uint64_t{1} << 40)) {
    const std::uint64_t first = (mib << 20) - kAlternateHeaderFromEnd;
    constexpr std::size_t kWindow = (1u << 20) + kVolumeHeaderSize;
    // A window where the disk holds no data reads as zeros, and zeros are no volume header.
    const std::optional<std::uint64_t> data = m_view.nextData(first);
    if (data && *data - first < kWindow) {
      std::vector<std::byte> window(kWindow);
      m_view.read(first, window);
      for (std::size_t at = 0; at + kVolumeHeaderSize <= window.size(); at += kSectorSize) {
        const Bytes h(window.data() + at, kVolumeHeaderSize);
        if (!consistent(h, first + at)) continue;
        std::copy(h.begin(), h.end(), out.begin());
        return true;
      }
    }
  }
  const std::uint64_t diskEnd = m_view.bytesToDiskEnd();
  if (diskEnd != UINT64_MAX && diskEnd >= kVolumeHeaderOffset + kAlternateHeaderFromEnd + kVolumeHeaderSize) {
    std::array<std::byte, 512> h{};
    if (m_view.read(diskEnd - kAlternateHeaderFromEnd, h) && usableVolumeHeader(h)) {
      out = h;
      return true;
    }
  }
  return false;
}

bool HFSP::readVolumeHeader() {
  if (!m_view.attached()) return false;
  if (m_tree) {
    m_topItem = m_tree->insertItem(m_topItemText, kTreeRoot, kInsertLast, TreeIcon::Folder, kTopItemData, false);
    m_tree->SetCheck(m_topItem, true);
    m_tree->expand(m_topItem, true);
  }
  m_view.read(kVolumeHeaderOffset, m_header);
  if (!usableVolumeHeader(m_header)) {
    std::array<std::byte, 512> alternate{};
    if (findAlternateHeader(alternate)) {
      m_header = alternate;
      m_usedAlternate = true;
      status("Volume header damaged, reading the alternate volume header....");
    }
  }
  m_blockSize = be32At(m_header, kBlockSize);
  return true;
}

HFSP::ForkMap HFSP::forkOf(std::size_t forkAt, std::uint32_t fileId) const {
  ForkMap fork;
  fork.blockSize = m_blockSize;
  const ExtentRecord first = readExtents(m_header, forkAt + kForkExtents);
  const std::uint32_t totalBlocks = be32At(m_header, forkAt + kForkTotalBlocks);
  std::uint64_t blocks = 0;
  auto add = [&](const Extent& e) {
    if (e.blockCount == 0) return false;
    fork.extents.push_back({e.startBlock, e.blockCount});
    blocks += e.blockCount;
    return true;
  };
  for (const Extent& e : first)
    if (!add(e)) break;
  // The rest from the extents-overflow file, each record keyed by the blocks the fork covers before it;
  // every step adds blocks, so the walk ends.
  while (blocks < totalBlocks && blocks <= UINT32_MAX) {
    const auto it = m_overflow.find(blocks << 32 | fileId);
    if (it == m_overflow.end()) break;
    const std::uint64_t before = blocks;
    for (const auto& e : it->second)
      if (!add({e[0], e[1]})) break;
    if (blocks == before) break;
  }
  return fork;
}

std::optional<std::uint16_t> HFSP::headerNodeSize(const ForkMap& fork) const {
  std::array<std::byte, kMinNodeSize> head{};
  if (fork.extents.empty() || !fork.read(m_view, 0, head)) return std::nullopt;
  const std::uint16_t nodeSize = be16At(head, kHeaderNodeSize);
  if (!powerOfTwoBetween(nodeSize, kMinNodeSize, kMaxNodeSize)) return std::nullopt;
  return nodeSize;
}

// Node 0 and every node to totalNodes - 1 of a B-tree file, as far as its extents reach; free and stale
// nodes are kept, so records of deleted items can be found. Node links are never followed.
std::vector<HfsNode> HFSP::collectNodes(const ForkMap& fork, std::uint16_t nodeSize) {
  std::vector<HfsNode> nodes;
  std::vector<std::byte> first(nodeSize);
  if (!fork.read(m_view, 0, first)) return nodes;
  const std::uint64_t mapped = fork.bytes() / nodeSize;
  const std::uint64_t total = std::min<std::uint64_t>(be32At(first, kHeaderTotalNodes), mapped);
  const std::uint64_t blocksPerNode = std::max<std::uint64_t>(nodeSize / std::max<std::uint32_t>(m_blockSize, 1), 1);
  progressRange(static_cast<std::int64_t>(total * blocksPerNode));
  // The nodes are read in runs of whole nodes; a run that cannot be read whole is read node by node, so
  // that one bad node costs only itself.
  const std::uint64_t perRun = std::max<std::uint64_t>(kNodeRun / nodeSize, 1);
  std::vector<std::byte> fallback;
  std::span<std::byte> buffer = threadReadBuffer(static_cast<std::size_t>(perRun * nodeSize));
  if (buffer.size() < perRun * nodeSize) {
    fallback.resize(nodeSize);
    buffer = fallback;
  }
  const std::uint64_t runNodes = buffer.size() / nodeSize;
  std::uint64_t runFirst = 0, runCount = 0;
  bool runRead = false;
  for (std::uint64_t n = 0; n < total; ++n) {
    if (stopHonoured()) break;
    progressPosition(static_cast<std::int64_t>((n + 1) * blocksPerNode));
    if (n >= runFirst + runCount) {
      runFirst = n;
      runCount = std::min(runNodes, total - n);
      runRead = fork.read(m_view, runFirst * nodeSize, buffer.first(static_cast<std::size_t>(runCount * nodeSize)));
    }
    const std::span<std::byte> node = buffer.subspan(static_cast<std::size_t>((n - runFirst) * nodeSize), nodeSize);
    if (n == 0) std::copy(first.begin(), first.end(), node.begin());
    else if (!runRead && !fork.read(m_view, n * nodeSize, node)) continue;
    const auto kind = static_cast<std::int8_t>(u8At(node, kNodeKind));
    const std::uint16_t count = be16At(node, kNodeRecords);
    if (!knownKind(kind) || count == 0) continue;
    std::uint64_t physical = 0;
    // The node's own position, for the re-reads (the start of the extent piece that holds it).
    std::uint64_t extentStart = 0;
    for (const auto& e : fork.extents) {
      const std::uint64_t extentBytes = std::uint64_t{e[1]} * fork.blockSize;
      if (n * nodeSize < extentStart + extentBytes) {
        physical = std::uint64_t{e[0]} * fork.blockSize + (n * nodeSize - extentStart);
        break;
      }
      extentStart += extentBytes;
    }
    const Bytes bytes(node.data(), node.size());
    nodes.push_back({n, physical, kind, u8At(bytes, kNodeHeight), count, recordOffsets(bytes, count)});
  }
  return nodes;
}

bool HFSP::collectCatalogNodes() {
  if (!powerOfTwoBetween(m_blockSize, 512, 65536)) return false;
  const ForkMap fork = forkOf(kCatalogFork, kCatalogFileId);
  const std::optional<std::uint16_t> nodeSize = headerNodeSize(fork);
  if (!nodeSize) return false;
  m_catalogNodeSize = *nodeSize;
  m_catalogNodes = collectNodes(fork, *nodeSize);
  return true;
}

bool HFSP::scanVolumeForCatalogNodes() {
  m_deep = true;
  const ForkMap fork = forkOf(kCatalogFork, kCatalogFileId);
  // 0: no usable node size.
  const std::uint16_t nodeSize =
      powerOfTwoBetween(m_blockSize, 512, 65536) ? headerNodeSize(fork).value_or(std::uint16_t{0}) : std::uint16_t{0};
  const std::uint64_t total = volumeBytes();
  if (nodeSize == 0 || total < nodeSize) {
    status("BlockSize not valid .Aborting..");
    return false;
  }
  m_catalogNodeSize = nodeSize;
  // Nodes start on block boundaries, or every node size inside a block larger than a node.
  const std::uint64_t step = std::min<std::uint64_t>(m_blockSize, nodeSize);
  const std::uint64_t positions = (total - nodeSize) / step + 1;
  progressRange(static_cast<std::int64_t>(positions));
  std::vector<std::byte> piece(static_cast<std::size_t>(std::min<std::uint64_t>(kScanPiece + nodeSize, total)));
  std::uint64_t at = 0;
  while (at + nodeSize <= total) {
    if (stopHonoured()) break;
    // Blocks without data read as zeros and hold no node: go straight to the next data (to the position
    // at or before it, as the data may start inside a node when the reader knows the host file's holes).
    const std::optional<std::uint64_t> next = m_view.nextData(at);
    if (!next) break;
    if (*next > at) at = std::max(at, *next / step * step);
    if (at + nodeSize > total) break;
    const std::uint64_t length = std::min<std::uint64_t>(kScanPiece + nodeSize, total - at);
    const std::span<std::byte> bytes(piece.data(), static_cast<std::size_t>(length));
    m_view.read(at, bytes);
    const std::size_t last = static_cast<std::size_t>(std::min<std::uint64_t>(kScanPiece, length - nodeSize + 1));
    const Bytes view(bytes.data(), bytes.size());
    for (std::size_t p = 0; p < last; p += static_cast<std::size_t>(step)) {
      const std::byte* node = bytes.data() + p;
      if (node[kNodeKind] != std::byte{0xFF} || node[kNodeHeight] == std::byte{0}) continue;
      if (node[nodeSize - 2] != std::byte{0} || node[nodeSize - 1] != std::byte{kDeepLastOffset}) continue;
      const std::uint16_t count = be16At(view, p + kNodeRecords);
      if (count < 1 || count > kDeepMaxRecords) continue;
      const Bytes found(node, nodeSize);
      HfsNode hit{(at + p) / nodeSize, at + p, kLeafNode, u8At(found, kNodeHeight), count, recordOffsets(found, count)};
      m_catalogNodes.push_back(std::move(hit));
    }
    at += last;
    progressPosition(static_cast<std::int64_t>(at / step));
  }
  return true;
}

bool HFSP::readExtentsOverflow() {
  const ForkMap fork = forkOf(kExtentsFork, kExtentsFileId);
  if (fork.extents.empty() || !powerOfTwoBetween(m_blockSize, 512, 65536)) return true;  // nothing to read
  std::array<std::byte, kNodeDescriptorSize> head{};
  fork.read(m_view, 0, head);
  if (!knownKind(static_cast<std::int8_t>(u8At(head, kNodeKind)))) return false;
  const std::optional<std::uint16_t> nodeSize = headerNodeSize(fork);
  if (!nodeSize) return true;
  m_extentsNodeSize = *nodeSize;
  m_extentsNodes = collectNodes(fork, *nodeSize);
  std::vector<std::byte> node(*nodeSize);
  for (const HfsNode& n : m_extentsNodes) {
    if (n.kind != kLeafNode || !m_view.read(n.offset, node)) continue;
    for (std::uint16_t at : n.recordOffsets) {
      const std::uint16_t keyLength = be16At(node, at);
      const std::size_t dataAt = std::size_t{at} + 2 + keyLength;
      if (keyLength < kExtentKeyLength || !fits(node.size(), dataAt, kExtentCount * kExtentDescriptorSize)) continue;
      // Resource-fork records share their keys with the data fork's: only the data fork is saved.
      if (u8At(node, at + kExtentKeyForkType) != kDataFork) continue;
      const std::uint64_t key = std::uint64_t{be32At(node, at + kExtentKeyStartBlock)} << 32 |
                                be32At(node, at + kExtentKeyFileId);
      std::array<std::array<std::uint32_t, 2>, 8> extents{};
      const ExtentRecord record = readExtents(node, dataAt);
      for (std::size_t i = 0; i < kExtentCount; ++i) extents[i] = {record[i].startBlock, record[i].blockCount};
      m_overflow.emplace(key, extents);  // the first record found for a key is kept
    }
  }
  return true;
}

void HFSP::storeName(HfsEntry& entry, std::u16string_view name) {
  const std::string text = utf8FromUtf16(name);
  entry.nameAt = m_names.size();
  entry.nameBytes = static_cast<std::uint16_t>(std::min<std::size_t>(text.size(), UINT16_MAX));
  m_names.insert(m_names.end(), text.begin(), text.begin() + entry.nameBytes);
}

void HFSP::addRecords(const HfsNode& node, Bytes bytes) {
  std::u16string name;
  for (std::uint16_t at : node.recordOffsets) {
    const std::uint16_t keyLength = be16At(bytes, at);
    const std::size_t dataAt = std::size_t{at} + 2 + keyLength;
    if (keyLength < kCatalogKeyMinLength || !fits(bytes.size(), dataAt, 2)) continue;
    const std::uint16_t nameLength = be16At(bytes, at + kCatalogKeyNameLength);
    if (nameLength < 1 || nameLength > kMaxNameLength) continue;
    if (kCatalogKeyMinLength + 2u * nameLength > keyLength) continue;  // the name lies inside its key
    const std::uint16_t type = be16At(bytes, dataAt);
    const std::size_t recordSize = type == kFolderRecord ? kFolderRecordSize : kFileRecordSize;
    if ((type != kFolderRecord && type != kFileRecord) || !fits(bytes.size(), dataAt, recordSize)) continue;
    const std::uint32_t cnid = be32At(bytes, dataAt + kRecordId);
    // A CNID's later records are dropped once the entries are ordered (orderEntries).
    if (cnid < 1) continue;
    HfsEntry entry{};
    entry.type = type;
    entry.parent = be32At(bytes, at + kCatalogKeyParent);
    entry.cnid = cnid;
    entry.firstChild = -1;
    entry.nextSibling = -1;
    nameFromBe(bytes, at + kCatalogKeyName, nameLength, name);
    storeName(entry, name);
    entry.nodeOffset = node.offset;
    entry.recordOffset = at;
    if (type == kFileRecord) {
      const std::size_t fork = dataAt + kFileDataFork;
      entry.size = be64At(bytes, fork + kForkLogicalSize);
      entry.totalBlocks = be32At(bytes, fork + kForkTotalBlocks);
      entry.extentsAt = m_extentStore.size();
      for (const auto& e : readExtents(bytes, fork + kForkExtents))
        if (e.startBlock != 0 && e.blockCount != 0) {
          m_extentStore.push_back({e.startBlock, e.blockCount});
          ++entry.extentCount;
        }
    }
    // Files and folders keep their dates and BSD fields at the same places.
    const Bytes record(bytes.data() + dataAt, recordSize);
    entry.recorded = true;
    entry.stamps = {be32At(record, kRecordCreateDate), be32At(record, kRecordContentModDate),
                    be32At(record, kRecordAttributeModDate), be32At(record, kRecordAccessDate),
                    be16At(record, kRecordFileMode), be32At(record, kRecordOwnerId), be32At(record, kRecordGroupId)};
    m_highestCnid = std::max<std::uint64_t>(m_highestCnid, cnid);
    m_entries.push_back(entry);
  }
}

void HFSP::orderEntries() {
  // Stable: of a CNID's records, the first one read stays first and is the one kept.
  std::stable_sort(m_entries.begin(), m_entries.end(),
                   [](const HfsEntry& a, const HfsEntry& b) { return a.cnid < b.cnid; });
  m_entries.erase(std::unique(m_entries.begin(), m_entries.end(),
                              [](const HfsEntry& a, const HfsEntry& b) { return a.cnid == b.cnid; }),
                  m_entries.end());
  indexEntries();
}

void HFSP::indexEntries() {
  m_slotOf.clear();
  if (m_entries.empty() || m_entries.size() >= kNoSlot) return;
  // A table by CNID while it costs at most a few slots per entry; sparse CNIDs are searched for.
  const std::uint64_t highest = m_entries.back().cnid;
  if (highest > 4 * std::uint64_t{m_entries.size()} + 65536) return;
  m_slotOf.assign(static_cast<std::size_t>(highest + 1), kNoSlot);
  for (std::size_t i = 0; i < m_entries.size(); ++i) m_slotOf[m_entries[i].cnid] = static_cast<std::uint32_t>(i);
}

void HFSP::readCatalogLeaves() {
  if (m_catalogNodeSize == 0) return;
  progressRange(static_cast<std::int64_t>(m_catalogNodes.size()), ProgressAmount::items(static_cast<std::int64_t>(m_catalogNodes.size())));
  const std::size_t nodeSize = m_catalogNodeSize;
  const std::span<std::byte> buffer = threadReadBuffer(std::max(kNodeRun, nodeSize));
  std::vector<std::byte> single(nodeSize);
  // The leaves are read in runs: from a leaf on, the following ones that lie ahead of it, each within
  // kNodeGap of the one before and the run within the buffer. A run that cannot be read whole is read
  // leaf by leaf, so that one bad node costs only itself.
  std::uint64_t runStart = 0, runEnd = 0;  // the volume bytes in the buffer; none when equal
  bool runRead = false;
  for (std::size_t i = 0; i < m_catalogNodes.size(); ++i) {
    const HfsNode& n = m_catalogNodes[i];
    if (n.kind != kLeafNode) continue;
    if (stopHonoured()) break;
    progressPosition(static_cast<std::int64_t>(i));
    if (buffer.size() < nodeSize) {
      if (m_view.read(n.offset, single)) addRecords(n, single);
      continue;
    }
    if (n.offset < runStart || n.offset > UINT64_MAX - nodeSize || n.offset + nodeSize > runEnd) {
      runStart = n.offset;
      runEnd = n.offset + nodeSize;
      std::uint64_t lastEnd = runEnd;
      for (std::size_t j = i + 1; j < m_catalogNodes.size(); ++j) {
        const HfsNode& m = m_catalogNodes[j];
        if (m.kind != kLeafNode) continue;
        if (m.offset < runStart || m.offset > lastEnd + kNodeGap || m.offset - runStart > buffer.size() - nodeSize) break;
        lastEnd = m.offset + nodeSize;
        runEnd = std::max(runEnd, lastEnd);
      }
      runRead = m_view.read(runStart, buffer.first(static_cast<std::size_t>(runEnd - runStart)));
    }
    // Each node is read from where it was found (in the deep mode the block the scan met it at).
    if (runRead) {
      addRecords(n, Bytes(buffer.data() + (n.offset - runStart), nodeSize));
    } else if (m_view.read(n.offset, single)) {
      addRecords(n, single);
    }
  }
  orderEntries();
}

void HFSP::makeFirstChild(std::uint32_t parent, std::uint32_t child) {
  HfsEntry* p = const_cast<HfsEntry*>(entry(parent));
  HfsEntry* c = const_cast<HfsEntry*>(entry(child));
  if (!p || !c) return;
  c->nextSibling = p->firstChild;
  p->firstChild = child;
}

void HFSP::linkParentsAndChildren() {
  auto isFolder = [&](std::uint32_t cnid) {
    const HfsEntry* e = entry(cnid);
    return e && e->type == kFolderRecord;
  };
  if (!m_deep) {
    status("Maintaining Parent Child....");
    const auto count = static_cast<std::int64_t>(m_entries.size());
    progressRange(count);
    for (std::int64_t i = 0; i < count; ++i) {
      if (stopHonoured()) break;
      status(format("Maintaining Parent Child for record %lld of %lld....", static_cast<long long>(i),
                    static_cast<long long>(count)));
      progressPosition(i + 1);
      const HfsEntry& e = m_entries[static_cast<std::size_t>(i)];
      if (e.parent > 0 && e.parent != e.cnid && isFolder(e.parent)) makeFirstChild(e.parent, e.cnid);
    }
    return;
  }
  if (m_entries.empty()) return;
  // Deep mode: every record keeps the parent it names when that folder was found; what lost its folder,
  // and what sits in a ring of folders that never reaches the root, goes to "ORPHAN_ENTRY".
  if (m_highestCnid > 1) {
    std::uint64_t orphan = m_highestCnid + 1;
    if (orphan > UINT32_MAX)
      for (orphan = 16; entry(static_cast<std::int64_t>(orphan)); ++orphan) {
      }
    m_orphanCnid = static_cast<std::uint32_t>(orphan);
    HfsEntry folder{};
    folder.type = kFolderRecord;
    folder.parent = kRootFolderId;
    folder.cnid = m_orphanCnid;
    folder.firstChild = -1;
    folder.nextSibling = -1;
    storeName(folder, u"ORPHAN_ENTRY");
    folder.nodeOffset = UINT64_MAX;
    const auto at = std::lower_bound(m_entries.begin(), m_entries.end(), m_orphanCnid,
                                     [](const HfsEntry& e, std::uint32_t cnid) { return e.cnid < cnid; });
    m_entries.insert(at, folder);
    indexEntries();
  }
  // 0: at the top (the root's own entries), else the folder an entry goes under.
  std::unordered_map<std::uint32_t, std::uint32_t> under;
  for (const HfsEntry& e : m_entries) {
    const std::uint32_t cnid = e.cnid;
    if (cnid == m_orphanCnid || cnid == kRootFolderId || e.parent == kRootParentId) {
      under[cnid] = 0;
    } else if (e.parent != cnid && isFolder(e.parent)) {
      under[cnid] = e.parent;
    } else {
      under[cnid] = e.parent == kRootFolderId || m_orphanCnid == 0 ? 0 : m_orphanCnid;
    }
  }
  // Rings: walk up from each entry; an entry met again on its own walk is moved to "ORPHAN_ENTRY".
  std::unordered_map<std::uint32_t, std::uint8_t> state;  // 1 on the walk, 2 known to end at the top
  for (const HfsEntry& e : m_entries) {
    std::vector<std::uint32_t> walk;
    std::uint32_t at = e.cnid;
    while (at != 0 && state[at] == 0) {
      state[at] = 1;
      walk.push_back(at);
      at = under[at];
    }
    if (at != 0 && state[at] == 1) under[at] = m_orphanCnid;  // closes a ring: break it there
    for (std::uint32_t w : walk) state[w] = 2;
  }
  for (const HfsEntry& e : m_entries) {
    if (stopHonoured()) break;
    const std::uint32_t cnid = e.cnid;  // the entry is packed: no reference to its fields
    const std::uint32_t parent = under[cnid];
    if (parent != 0 && parent != cnid) makeFirstChild(parent, cnid);
  }
}

void HFSP::fillRootEntries() {
  std::int64_t position = 0;
  for (const HfsEntry& e : m_entries) {
    const std::uint32_t cnid = e.cnid;
    if (e.parent != kRootFolderId) continue;
    if (stopHonoured()) break;
    const bool folder = e.type == kFolderRecord;
    status(format(folder ? "found folder at Node %lld" : "found file at Node %lld", static_cast<long long>(position++)));
    if (m_tree && m_topItem != kNoItem)
      m_tree->insertItem(entryName(cnid), m_topItem, kInsertLast, folder ? TreeIcon::Folder : TreeIcon::File, cnid, false);
  }
  if (m_tree && m_topItem != kNoItem) {
    m_tree->SetCheck(m_topItem, true);
    m_tree->expand(m_topItem, true);
  }
}

bool HFSP::parse(int mode) {
  if (!readVolumeHeader()) return false;
  if (mode == 1) {
    // The overflow records come first: catalog nodes past its first eight extents are mapped through them.
    if (!readExtentsOverflow() || !collectCatalogNodes()) return false;
  } else {
    if (!scanVolumeForCatalogNodes() || !readExtentsOverflow()) return false;
  }
  readCatalogLeaves();
  linkParentsAndChildren();
  fillRootEntries();
  return true;
}

const HfsEntry* HFSP::entry(std::int64_t cnid) const {
  if (cnid < 0 || cnid > UINT32_MAX) return nullptr;
  if (!m_slotOf.empty()) {
    if (static_cast<std::uint64_t>(cnid) >= m_slotOf.size()) return nullptr;
    const std::uint32_t slot = m_slotOf[static_cast<std::size_t>(cnid)];
    return slot == kNoSlot ? nullptr : &m_entries[slot];
  }
  const auto at = std::lower_bound(m_entries.begin(), m_entries.end(), static_cast<std::uint32_t>(cnid),
                                   [](const HfsEntry& e, std::uint32_t key) { return e.cnid < key; });
  return at != m_entries.end() && at->cnid == cnid ? &*at : nullptr;
}

std::string_view HFSP::nameOf(const HfsEntry& e) const {
  if (e.nameAt > m_names.size() || e.nameBytes > m_names.size() - e.nameAt) return {};
  return {m_names.data() + e.nameAt, e.nameBytes};
}

std::span<const HFSP::ExtentPair> HFSP::recordExtents(const HfsEntry& e) const {
  if (e.extentsAt > m_extentStore.size() || e.extentCount > m_extentStore.size() - e.extentsAt) return {};
  return {m_extentStore.data() + e.extentsAt, e.extentCount};
}

std::string HFSP::entryName(std::int64_t cnid) const {
  const HfsEntry* e = entry(cnid);
  return e ? std::string(nameOf(*e)) : std::string();
}

std::vector<std::int64_t> HFSP::childEntries(std::int64_t cnid) const {
  std::vector<std::int64_t> out;
  const HfsEntry* e = entry(cnid);
  if (!e || e->type != kFolderRecord) return out;
  // Each entry has one next-sibling link, so a chain is at most the map's size long unless it loops.
  for (std::int64_t at = e->firstChild; at >= 0 && out.size() <= m_entries.size();) {
    const HfsEntry* child = entry(at);
    if (!child) break;
    out.push_back(at);
    at = child->nextSibling;
  }
  if (out.size() > m_entries.size()) out.resize(m_entries.size());
  return out;
}

HFSP::Extents HFSP::fileExtents(const HfsEntry& e) const {
  Extents runs;
  if (e.type != kFileRecord) return runs;
  std::uint64_t blocks = 0;
  if (e.size > 0)
    for (const auto& x : recordExtents(e)) {
      runs.push_back(x);
      blocks += x[1];
    }
  // fillExtentBlocksOfFile: the rest from the overflow records keyed by the blocks so far and the CNID.
  while (blocks < e.totalBlocks && blocks <= UINT32_MAX) {
    const auto it = m_overflow.find(blocks << 32 | e.cnid);
    if (it == m_overflow.end()) break;
    const std::uint64_t before = blocks;
    for (const auto& x : it->second)
      if (x[0] != 0 && x[1] != 0) {
        runs.push_back(x);
        blocks += x[1];
      }
    if (blocks == before) break;
  }
  return runs;
}

bool HFSP::saveFileData(std::uint32_t cnid, DataSink& sink) {
  const HfsEntry* e = entry(cnid);
  if (!e || e->type != kFileRecord) return false;
  bool ok = true;
  std::uint64_t written = 0;
  const std::uint64_t bs = m_blockSize;
  // The thread's page-aligned read buffer, which the host copies into at full speed.
  const std::uint64_t fileSize = e->size;  // the entry is packed: no reference to its fields
  const std::size_t chunkSize = static_cast<std::size_t>(std::min(kDataChunk, fileSize));
  std::vector<std::byte> fallback;
  std::span<std::byte> chunk = chunkSize > 0 ? threadReadBuffer(chunkSize) : std::span<std::byte>();
  if (chunk.size() < chunkSize) {
    fallback.resize(chunkSize);
    chunk = fallback;
  }
  for (const auto& run : fileExtents(*e)) {
    if (written >= e->size || bs == 0) break;
    const std::uint64_t runBytes = std::uint64_t{run[1]} * bs;
    for (std::uint64_t done = 0; done < runBytes && written < e->size && ok;) {
      const std::uint64_t take = std::min({kDataChunk, runBytes - done, fileSize - written});
      const std::span<std::byte> piece = chunk.first(static_cast<std::size_t>(take));
      // The piece starts as zeros: a reader that fails without filling it leaves zeros, never bytes of
      // the piece or the file read before.
      std::fill(piece.begin(), piece.end(), std::byte{0});
      const VolumeView::Outcome read = m_view.readDetailed(std::uint64_t{run[0]} * bs + done, piece);
      // A block that cannot be read is written as zeros, so the bytes after it keep their places; a
      // position the disk does not reach ends the file there.
      if (!read.positioned) {
        ok = false;
        break;
      }
      if (!read.complete) ok = false;
      if (!sink.write(piece)) return false;
      done += take;
      written += take;
    }
    if (!ok && written < e->size) break;
  }
  if (e->recorded) {
    const HfsStamps stamps = e->stamps;
    sink.setTimes(unixNs(stamps.access), unixNs(stamps.contentMod));
    sink.setCreationTime(unixNs(stamps.create));
  }
  return ok && written == e->size;
}

HfsDescription HFSP::describeTimesAndPermissions(std::uint32_t cnid, bool allTimes) {
  HfsDescription out;
  const HfsEntry* e = entry(cnid);
  if (!e || e->type != kFileRecord || !e->recorded) return out;
  const HfsStamps stamps = e->stamps;
  if (allTimes) {
    out.creation = formatListFileTime(fileTimeFromHfs(stamps.create));
    out.access = formatListFileTime(fileTimeFromHfs(stamps.access));
  }
  out.modification = formatListFileTime(fileTimeFromHfs(stamps.contentMod));
  const std::uint16_t mode = stamps.mode;
  static constexpr struct {
    std::uint16_t bit;
    const char* text;
  } kBits[] = {{0x40, "-Owner:X"}, {0x80, "-Owner:W"}, {0x100, "-Owner:R"}, {0x1, "-OX"}, {0x2, "-OW"},
               {0x4, "-OR"},       {0x8, "-GX"},       {0x10, "-GW"},       {0x20, "-GR"}};
  for (const auto& b : kBits)
    if (mode & b.bit) out.permissions += b.text;
  return out;
}

std::optional<bool> HFSP::blockInUse(std::uint32_t block) const {
  if (m_blockSize == 0) return std::nullopt;
  // The allocation file's own file ID (6) finds its overflow records; bit 7 of byte 0 is block 0.
  const ForkMap fork = forkOf(kAllocationFork, 6);
  // Reads keep to whole sectors: the one that holds the block's byte.
  const std::uint64_t at = block / 8;
  std::array<std::byte, 512> sector{};
  if (!fork.read(m_view, at / sector.size() * sector.size(), sector)) return std::nullopt;
  return ((std::to_integer<unsigned>(sector[at % sector.size()]) >> (7 - block % 8)) & 1) != 0;
}

std::optional<HfsStamps> HFSP::recordStamps(std::uint32_t cnid) {
  const HfsEntry* e = entry(cnid);
  if (!e || (e->type != kFileRecord && e->type != kFolderRecord) || !e->recorded) return std::nullopt;
  return e->stamps;
}

std::string HFSP::describeSize(std::uint32_t cnid) const {
  const HfsEntry* e = entry(cnid);
  return sizeText(e ? e->size : 0);
}

}  // namespace tessary
