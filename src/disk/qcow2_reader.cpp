// The qcow2 reader.
#include "disk/qcow2_reader.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "disk/decompress.h"
#include "platform/bytes.h"
#include "platform/text.h"

namespace tessary {

namespace {

constexpr std::uint64_t kOffsetMask = 0x00FFFFFFFFFFFE00ULL;  // bits 9-55 of L1 and L2 entries
constexpr std::uint64_t kCompressed = 1ULL << 62;
constexpr std::uint64_t kZeroFlag = 1ULL;
constexpr std::uint64_t kDirtyBit = 1ULL << 0;
constexpr std::uint64_t kCorruptBit = 1ULL << 1;
constexpr std::uint64_t kExternalDataBit = 1ULL << 2;
constexpr std::uint64_t kCompressionTypeBit = 1ULL << 3;
constexpr std::uint64_t kExtendedL2Bit = 1ULL << 4;
constexpr std::uint64_t kKnownIncompatible = kDirtyBit | kCorruptBit | kExternalDataBit | kCompressionTypeBit | kExtendedL2Bit;
constexpr std::uint32_t kSubclusters = 32;
// The format's own bounds: clusters of 512 bytes to 2 MiB, an L1 table of at most 32 MiB, a backing
// file name of at most 1023 bytes.
constexpr std::uint32_t kMinClusterBits = 9;
constexpr std::uint32_t kMaxClusterBits = 21;
constexpr std::uint64_t kMaxL1Bytes = 32ULL << 20;
constexpr std::uint32_t kMaxBackingName = 1023;
constexpr std::uint64_t kMaxDiskBytes = static_cast<std::uint64_t>(INT64_MAX) / 2;

}  // namespace

bool FileReadSeekQcow2::open(const std::string& path) {
  if (!m_file.open(path)) {
    message("Invalid handle ...");
    return false;
  }
  imageFileSize = m_file.size();
  l1.clear();
  std::array<std::byte, 112> header{};
  if (!m_file.readExact(0, std::span<std::byte>(header).first(72)) || be32At(header, 0) != kMagic) {
    message("Not a qcow2 file");
    return false;
  }
  version = be32At(header, 4);
  const std::uint64_t backingOffset = be64At(header, 8);
  const std::uint32_t backingSize = be32At(header, 16);
  clusterBits = be32At(header, 20);
  diskSize = be64At(header, 24);
  cryptMethod = be32At(header, 32);
  const std::uint32_t l1Size = be32At(header, 36);
  const std::uint64_t l1Offset = be64At(header, 40);
  if (version != 2 && version != 3) {
    message(format("qcow2 version %u cannot be read (versions 2 and 3 can)", version));
    return false;
  }
  if (clusterBits < kMinClusterBits || clusterBits > kMaxClusterBits) {
    message(format("qcow2 cluster size 2^%u cannot be used", clusterBits));
    return false;
  }
  std::uint8_t compressionType = 0;
  if (version == 3) {
    if (!m_file.readExact(72, std::span<std::byte>(header).subspan(72, 32))) {
      message("qcow2 header is cut short");
      return false;
    }
    incompatibleFeatures = be64At(header, 72);
    const std::uint32_t headerLength = be32At(header, 100);
    if (headerLength > 104 && m_file.readExact(104, std::span<std::byte>(header).subspan(104, 1)))
      compressionType = u8At(header, 104);
    if ((incompatibleFeatures & ~kKnownIncompatible) != 0) {
      message("qcow2 image uses features that cannot be read");
      return false;
    }
    if ((incompatibleFeatures & kExternalDataBit) != 0) {
      message("qcow2 image keeps its data in an external file, which is not read");
      return false;
    }
    if ((incompatibleFeatures & kCompressionTypeBit) == 0) compressionType = 0;
    extendedL2 = (incompatibleFeatures & kExtendedL2Bit) != 0;
  }
  if (compressionType > 1) {
    message(format("qcow2 compression type %u cannot be read", static_cast<unsigned>(compressionType)));
    return false;
  }
  zstd = compressionType == 1;
  if (zstd && !zstdAvailable()) {
    message("This qcow2 image compresses its clusters with zstd, which is not supported in this build");
    return false;
  }
  if (cryptMethod != 0) {
    message("This qcow2 image is encrypted; encrypted images cannot be read");
    return false;
  }
  if (backingOffset != 0 && backingSize > 0) {
    if (backingSize > kMaxBackingName || !fits(imageFileSize, backingOffset, backingSize)) {
      message("qcow2 backing file name lies outside the file");
      return false;
    }
    backingFile.assign(backingSize, '\0');
    if (!m_file.readExact(backingOffset, std::as_writable_bytes(std::span<char>(backingFile.data(), backingFile.size())))) {
      message("qcow2 backing file name cannot be read");
      return false;
    }
  }

  m_l2Entries = clusterBytes() / (extendedL2 ? 16 : 8);
  const std::uint64_t perTable = m_l2Entries << clusterBits;
  if (diskSize > kMaxDiskBytes) {
    message("qcow2 disk size is larger than any disk");
    return false;
  }
  const std::uint64_t needed = diskSize / perTable + (diskSize % perTable != 0);
  if (l1Size < needed || std::uint64_t{l1Size} * 8 > kMaxL1Bytes) {
    message("qcow2 L1 table does not cover the disk");
    return false;
  }
  if (!fits(imageFileSize, l1Offset, needed * 8)) {
    message("qcow2 L1 table lies outside the file");
    return false;
  }
  std::vector<std::byte> raw(static_cast<std::size_t>(needed * 8));
  if (!m_file.readExact(l1Offset, raw)) {
    message("qcow2 L1 table cannot be read");
    return false;
  }
  l1.resize(static_cast<std::size_t>(needed));
  for (std::size_t i = 0; i < l1.size(); ++i) {
    l1[i] = be64At(raw, i * 8) & kOffsetMask;
    // An L2 table must lie wholly inside the file, on a cluster boundary.
    if (l1[i] != 0 && ((l1[i] & (clusterBytes() - 1)) != 0 || !fits(imageFileSize, l1[i], clusterBytes()))) {
      message(format("qcow2 L1 entry %zu names an L2 table past the file's end", i));
      l1.clear();
      return false;
    }
  }
  const auto sectors = sectorsFor(diskSize);
  if (!sectors) return false;
  m_diskBytes = *sectors * kSectorSize;
  m_context.diskSectorCount = *sectors;
  m_context.imageLogicalSectorSize = 0;  // the format states none: 512 unless the user says otherwise
  return true;
}

FileReadSeekQcow2::Entry FileReadSeekQcow2::entryOf(std::uint64_t cluster) const {
  const std::uint64_t index = cluster / m_l2Entries;
  if (index >= l1.size() || l1[index] == 0) return {};
  if (m_tableOffset != l1[index]) {
    m_table.assign(static_cast<std::size_t>(clusterBytes()), std::byte{0});
    // open checked that every table lies inside the file; a file that shrank since reads as zeros.
    if (!m_file.readExact(l1[index], m_table)) {
      ++missingReads;
      std::fill(m_table.begin(), m_table.end(), std::byte{0});
    }
    m_tableOffset = l1[index];
  }
  const std::size_t at = static_cast<std::size_t>(cluster % m_l2Entries) * (extendedL2 ? 16 : 8);
  return Entry{be64At(m_table, at), extendedL2 ? be64At(m_table, at + 8) : 0};
}

bool FileReadSeekQcow2::inflateCluster(std::uint64_t word) const {
  if (m_clusterWord == word) return m_clusterGood;
  // The descriptor: the host offset in the low bits, then the count of further 512-byte sectors.
  const std::uint32_t shift = 62 - (clusterBits - 8);
  const std::uint64_t offset = word & ((std::uint64_t{1} << shift) - 1);
  const std::uint64_t sectors = ((word >> shift) & ((std::uint64_t{1} << (clusterBits - 8)) - 1)) + 1;
  std::uint64_t length = sectors * kSectorSize - (offset % kSectorSize);
  m_cluster.assign(static_cast<std::size_t>(clusterBytes()), std::byte{0});
  m_clusterWord = word;
  m_clusterGood = false;
  // The last compressed cluster may end before its last sector would.
  if (offset >= imageFileSize) return false;
  length = std::min(length, imageFileSize - offset);
  std::vector<std::byte> packed(static_cast<std::size_t>(length));
  if (!m_file.readExact(offset, packed)) return false;
  m_clusterGood = zstd ? inflateZstd(packed, m_cluster) : inflateRawDeflate(packed, m_cluster);
  if (!m_clusterGood) std::fill(m_cluster.begin(), m_cluster.end(), std::byte{0});
  return m_clusterGood;
}

bool FileReadSeekQcow2::hasData(const Entry& entry) const {
  if ((entry.word & kCompressed) != 0) return true;
  if (extendedL2) return (entry.word & kOffsetMask) != 0 && (entry.bitmap & 0xFFFFFFFFULL & ~(entry.bitmap >> 32)) != 0;
  return (entry.word & kOffsetMask) != 0 && (version < 3 || (entry.word & kZeroFlag) == 0);
}

MappedDiskReader::Place FileReadSeekQcow2::place(std::uint64_t absolute) const {
  Place where;
  if (absolute >= m_diskBytes || l1.empty()) return where;
  where.mapped = true;
  const std::uint64_t bytes = clusterBytes();
  const std::uint64_t cluster = absolute >> clusterBits;
  const std::uint64_t within = absolute & (bytes - 1);
  const std::uint64_t diskLeft = m_diskBytes - absolute;
  // Past the virtual size, inside the last sector.
  if (absolute >= diskSize) {
    where.runBytes = diskLeft;
    return where;
  }
  std::lock_guard lock(m_cacheMutex);
  const std::uint64_t tableIndex = cluster / m_l2Entries;
  if (l1[tableIndex] == 0) {
    const std::uint64_t tableEnd = (tableIndex + 1) * m_l2Entries * bytes;
    where.runBytes = std::min(diskLeft, tableEnd - absolute);
    return where;
  }
  const Entry entry = entryOf(cluster);
  if ((entry.word & kCompressed) != 0) {
    if (!inflateCluster(entry.word & ~(kCompressed | (1ULL << 63)))) ++missingReads;
    where.allocated = true;
    where.memory = m_cluster.data() + within;
    where.runBytes = std::min(diskLeft, bytes - within);
    return where;
  }
  const std::uint64_t host = entry.word & kOffsetMask;
  std::uint64_t unit = bytes;  // the part of the cluster this place covers
  std::uint64_t unitStart = 0;
  bool data = host != 0 && (version < 3 || (entry.word & kZeroFlag) == 0);
  if (extendedL2 && host != 0) {
    unit = bytes / kSubclusters;
    const std::uint32_t sub = static_cast<std::uint32_t>(within / unit);
    unitStart = sub * unit;
    const bool zero = ((entry.bitmap >> (32 + sub)) & 1) != 0;
    data = !zero && ((entry.bitmap >> sub) & 1) != 0;
    // Following subclusters of the same kind lie together in the cluster.
    std::uint32_t last = sub;
    while (last + 1 < kSubclusters && ((entry.bitmap >> (32 + last + 1)) & 1) == (zero ? 1u : 0u) &&
           ((entry.bitmap >> (last + 1)) & 1) == ((entry.bitmap >> sub) & 1))
      ++last;
    unit = (last - sub + 1) * unit;
  }
  where.runBytes = std::min(diskLeft, unitStart + unit - within);
  if (!data) return where;
  // A cluster's data must start on a cluster boundary; anything else is a broken entry and reads as zeros.
  if ((host & (bytes - 1)) != 0) {
    ++missingReads;
    return where;
  }
  where.allocated = true;
  where.file = &m_file;
  where.filePosition = host + within;
  // Clusters that follow each other in the file are one run.
  if (!extendedL2) {
    std::uint64_t run = bytes - within;
    for (std::uint64_t next = cluster + 1; run < diskLeft && next / m_l2Entries == tableIndex; ++next) {
      const Entry following = entryOf(next);
      if ((following.word & kCompressed) != 0 || (following.word & kOffsetMask) != host + (next - cluster) * bytes ||
          (version >= 3 && (following.word & kZeroFlag) != 0))
        break;
      run += bytes;
    }
    where.runBytes = std::min(diskLeft, run);
  }
  return where;
}

std::optional<ParentLink> FileReadSeekQcow2::parentLink() const {
  if (backingFile.empty()) return std::nullopt;
  ParentLink link;
  link.names.push_back(backingFile);
  link.identityName = "backing file";
  return link;
}

bool FileReadSeekQcow2::holds(std::uint64_t offset, std::uint64_t& run) const {
  run = kSectorSize;
  if (offset >= diskSize || l1.empty()) return true;
  const std::uint64_t bytes = clusterBytes();
  const std::uint64_t cluster = offset >> clusterBits;
  const std::uint64_t within = offset & (bytes - 1);
  const std::uint64_t diskLeft = diskSize - offset;
  std::lock_guard lock(m_cacheMutex);
  const std::uint64_t tableIndex = cluster / m_l2Entries;
  if (tableIndex >= l1.size() || l1[tableIndex] == 0) {
    run = std::max<std::uint64_t>(kSectorSize, std::min(diskLeft, (tableIndex + 1) * m_l2Entries * bytes - offset));
    return false;
  }
  const Entry entry = entryOf(cluster);
  run = std::max<std::uint64_t>(kSectorSize, std::min(diskLeft, bytes - within));
  if ((entry.word & kCompressed) != 0) return true;
  if (!extendedL2) return (entry.word & kOffsetMask) != 0 || (version >= 3 && (entry.word & kZeroFlag) != 0);
  // Extended tables: a subcluster is the image's own when it is allocated or marked as zeros.
  const std::uint64_t unit = bytes / kSubclusters;
  const auto sub = static_cast<std::uint32_t>(within / unit);
  auto own = [&](std::uint32_t k) { return (((entry.bitmap >> k) | (entry.bitmap >> (32 + k))) & 1) != 0; };
  const bool mine = own(sub);
  std::uint32_t last = sub;
  while (last + 1 < kSubclusters && own(last + 1) == mine) ++last;
  run = std::max<std::uint64_t>(kSectorSize, std::min(diskLeft, (last + 1) * unit - within));
  return mine;
}

std::optional<std::uint64_t> FileReadSeekQcow2::nextDataOffset(std::uint64_t offset) const {
  if (offset >= diskSize || l1.empty()) return std::nullopt;
  const std::uint64_t first = offset >> clusterBits;
  std::lock_guard lock(m_cacheMutex);
  for (std::uint64_t table = first / m_l2Entries; table < l1.size(); ++table) {
    if (l1[table] == 0) continue;
    const std::uint64_t from = std::max(first, table * m_l2Entries);
    for (std::uint64_t cluster = from; cluster < (table + 1) * m_l2Entries; ++cluster) {
      const std::uint64_t at = cluster << clusterBits;
      if (at >= diskSize) return std::nullopt;
      if (hasData(entryOf(cluster))) return std::max(offset, at);
    }
  }
  return std::nullopt;
}

}  // namespace tessary
