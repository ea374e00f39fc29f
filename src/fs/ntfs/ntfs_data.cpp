// NTFS file data: run lists, the data descriptor, attribute lists, and the dump of one entry to a host file.
#include <algorithm>
#include <cstring>
#include <new>

#include "disk/read_write_interface.h"
#include "fs/ntfs/ntfs_data.h"
#include "fs/ntfs/ntfs_io.h"
#include "platform/bytes.h"
#include "platform/text.h"

namespace tessary::ntfs_detail {

namespace {

constexpr char kCompressed[] = "Compressed";
constexpr char kEncrypted[] = "Encrypted";
constexpr char kNormal[] = "Normal";
// Large reads and zero runs are made in pieces of this size.
constexpr std::uint64_t kDataPieceBytes = 1u << 20;
// A compression unit bigger than this is not a unit NTFS writes (16 clusters of 4 KiB is the norm).
constexpr std::uint64_t kMaxUnitBytes = 4u << 20;
// Host times can only be set for FILETIMEs whose nanoseconds since 1970 fit a signed 64-bit value
// (1678 to 2262); 0 means the record holds no time.
constexpr FileTime kMinSettableFileTime = 25000000000000000ULL;
constexpr FileTime kMaxSettableFileTime = 200000000000000000ULL;

bool settable(FileTime time) { return time >= kMinSettableFileTime && time <= kMaxSettableFileTime; }

bool attributeNamed(const AttributeHeaderCopy& attribute) { return u8At(attribute.bytes, kAttrNameLength) != 0; }

std::uint32_t typeOf(const AttributeHeaderCopy& attribute) { return le32At(attribute.bytes, kAttrType); }

bool nonResident(const AttributeHeaderCopy& attribute) { return u8At(attribute.bytes, kAttrNonResident) != 0; }

// The run-list bytes of a non-resident attribute, cut at the record's end.
std::span<const std::byte> runListBytes(const MftRecordView& view, const AttributeHeaderCopy& attribute) {
  const std::uint32_t length = le32At(attribute.bytes, kAttrLength) & 0xFFFF;
  const std::uint16_t listOffset = le16At(attribute.bytes, kAttrRunListOffset);
  if (listOffset >= length) return {};
  const std::size_t start = attribute.offset + listOffset;
  if (start >= view.record.size()) return {};
  const std::size_t size = std::min<std::size_t>(length - listOffset, view.record.size() - start);
  return std::span<const std::byte>(view.record.data() + start, size);
}

std::uint32_t ownClusterCount(const AttributeHeaderCopy& attribute) {
  const auto last = static_cast<std::uint32_t>(les64At(attribute.bytes, kAttrLastVcn));
  const auto start = static_cast<std::uint32_t>(les64At(attribute.bytes, kAttrStartVcn));
  return last - start + 1;
}

std::uint64_t clusterTotal(const std::vector<Run>& runs) {
  std::uint64_t total = 0;
  for (const Run& run : runs) total += run.count;
  return total;
}

}  // namespace

// Writes pieces of a file's content, clipped to its data size.
class DataWriter::Writer {
 public:
  Writer(DataSink* out, std::int64_t dataSize) : m_out(out), m_left(dataSize > 0 ? static_cast<std::uint64_t>(dataSize) : 0) {}
  // False once the data size is reached: the writer then takes nothing more.
  bool put(std::span<const std::byte> piece) {
    if (m_left == 0) return false;
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(piece.size(), m_left));
    if (m_out && n > 0 && !m_out->write(piece.first(n))) m_failed = true;
    m_written += n;
    m_left -= n;
    return m_left > 0;
  }
  // A run of zeros the file does not store, clipped like put: the sink leaves a hole where it can.
  bool skip(std::uint64_t bytes) {
    if (m_left == 0) return false;
    const std::uint64_t n = std::min<std::uint64_t>(bytes, m_left);
    if (m_out && n > 0 && !m_out->hole(n)) m_failed = true;
    m_written += n;
    m_left -= n;
    return m_left > 0;
  }
  bool done() const { return m_left == 0; }
  std::uint64_t written() const { return m_written; }
  // True when the sink refused some of what it was given.
  bool failed() const { return m_failed; }

 private:
  DataSink* m_out;
  bool m_failed = false;
  std::uint64_t m_left;
  std::uint64_t m_written = 0;
};

// Where a file's content comes from, as its records give it.
struct DataWriter::DataPiece {
  enum class Kind { None, Resident, Plain, Compressed } kind = Kind::None;
  bool fromList = false;       // the runs are the combined runs of the attribute list's pieces
  DatStruct listDesc{};        // the first listed piece's descriptor
  std::span<const std::byte> resident;
  std::vector<Run> runs;
  std::int64_t dataSize = 0;
  std::uint16_t unitClusters = 0;
};

MftRecordView DataWriter::getMftEntry(std::int64_t entryIndex) {
  if (entryIndex < 0 || entryIndex >= entryCount()) return MftRecordView{};
  MftRecordView view = readView(m_entries[static_cast<std::size_t>(entryIndex)].recordOffset);
  for (const auto& attribute : view.attributes) {
    const std::uint32_t type = le32At(attribute.bytes, kAttrType);
    if (type == kAttributeList) m_dataInAttributeList = true;
    if (type == kData) m_dataInAttributeList = false;
  }
  return view;
}

std::vector<Run> DataWriter::runsOf(const MftRecordView& view, std::uint32_t attributeType,
                              std::optional<std::int64_t> startVcn) {
  std::vector<Run> runs;
  for (const AttributeHeaderCopy& attribute : view.attributes) {
    // Only the unnamed attribute is the file's own: a named $DATA is an alternate stream.
    if (typeOf(attribute) != attributeType || !nonResident(attribute) || attributeNamed(attribute))
      continue;
    if (startVcn && les64At(attribute.bytes, kAttrStartVcn) != *startVcn) continue;
    m_totalClusterCount = ownClusterCount(attribute);
    bool ended = false;
    auto decoded = decodeRunList(runListBytes(view, attribute), m_totalClusterCount, ended);
    runs.insert(runs.end(), decoded.begin(), decoded.end());
    if (ended) return runs;
  }
  return runs;
}

std::vector<Run> DataWriter::getRun2(std::int64_t recordOffset, std::uint32_t attributeType) {
  return runsOf(readView(recordOffset), attributeType);
}

std::vector<std::uint32_t> DataWriter::getRun(std::int64_t recordOffset) {
  std::vector<std::uint32_t> clusters;
  const MftRecordView view = readView(recordOffset);
  const std::uint64_t cap = m_clusterSize > 0 ? static_cast<std::uint64_t>(volumeLimit()) / static_cast<std::uint64_t>(m_clusterSize) : 0;
  for (const AttributeHeaderCopy& attribute : view.attributes) {
    if (typeOf(attribute) != kData || !nonResident(attribute) || attributeNamed(attribute)) continue;
    bool ended = false;
    const auto runs = decodeRunList(runListBytes(view, attribute), ownClusterCount(attribute), ended);
    for (const Run& run : runs) {
      for (std::uint32_t k = 0; k < run.count; ++k) {
        // A list longer than the volume has clusters is not a list of this volume's clusters.
        if (clusters.size() >= cap) return clusters;
        clusters.push_back(run.lcn == 0 ? 0 : static_cast<std::uint32_t>(run.lcn) + k);
      }
    }
    break;
  }
  return clusters;
}

DatStruct DataWriter::getDatStruct(const MftRecordView& view) {
  DatStruct desc;
  std::memset(&desc, 0, sizeof desc);
  desc.dataType = nullptr;
  m_hasOwnData = false;
  for (const AttributeHeaderCopy& attribute : view.attributes) {
    if (typeOf(attribute) != kData || attributeNamed(attribute)) continue;
    m_hasOwnData = true;
    if (!nonResident(attribute)) {
      desc.valueOffset = attribute.offset + le16At(attribute.bytes, kAttrValueOffset);
      desc.valueLength = le32At(attribute.bytes, kAttrValueLength);
      desc.residence = 'R';
      continue;
    }
    if (!view.positioned) continue;
    desc.startVcn = les64At(attribute.bytes, kAttrStartVcn);
    desc.lastVcn = les64At(attribute.bytes, kAttrLastVcn);
    desc.compressionUnit = le16At(attribute.bytes, kAttrCompressionUnit);
    desc.allocatedSize = les64At(attribute.bytes, kAttrAllocatedSize);
    desc.dataSize = les64At(attribute.bytes, kAttrDataSize);
    const std::uint16_t listOffset = le16At(attribute.bytes, kAttrRunListOffset);
    const std::uint32_t length = le32At(attribute.bytes, kAttrLength) & 0xFFFF;
    desc.valueOffset = listOffset;
    desc.valueLength = length > listOffset ? length - listOffset : 0;
    desc.residence = 'N';
    const std::uint16_t flags = le16At(attribute.bytes, kAttrFlags);
    desc.compressionUnit = le16At(attribute.bytes, kAttrCompressionUnit);
    // The low byte of the flags names the compression method; the sparse bit may come with it.
    if (flags & 0x00FF)
      desc.dataType = kCompressed;
    else if (flags & kDataEncrypted)
      desc.dataType = kEncrypted;
    else if (flags == 0)
      desc.dataType = kNormal;
    break;
  }
  return desc;
}

void DataWriter::setAttributListVector(const MftRecordView& view) {
  m_extensionList.clear();
  m_extensionVcns.clear();
  auto walk = [&](std::span<const std::byte> list) {
    std::size_t at = 0;
    // Each entry advances by its non-zero length, so the walk ends within the list.
    while (fits(list.size(), at, kListReference + 8)) {
      const std::uint32_t type = le32At(list, at + kListType);
      const std::uint16_t length = le16At(list, at + kListLength);
      if (type == kAttrEnd || type == 0 || length == 0) break;
      if (type == kData && u8At(list, at + kListNameLength) == 0) {
        m_extensionList.push_back(le64At(list, at + kListReference) & 0x0000FFFFFFFFFFFFULL);
        m_extensionVcns.push_back(les64At(list, at + kListStartVcn));
      }
      at += length;
    }
  };
  for (const AttributeHeaderCopy& attribute : view.attributes) {
    if (typeOf(attribute) != kAttributeList) continue;
    m_hasOwnData = false;
    if (!view.positioned) continue;
    if (!nonResident(attribute)) {
      const std::size_t start = attribute.offset + le16At(attribute.bytes, kAttrValueOffset);
      const std::size_t length = le32At(attribute.bytes, kAttrValueLength);
      if (start >= view.record.size()) continue;
      walk(std::span<const std::byte>(view.record.data() + start, std::min(length, view.record.size() - start)));
      continue;
    }
    // A list kept outside the record is read whole, so that an entry crossing a cluster boundary
    // is read as one entry.
    bool ended = false;
    const auto runs = decodeRunList(runListBytes(view, attribute), ownClusterCount(attribute), ended);
    if (m_clusterSize <= 0) continue;
    const std::int64_t dataSize = les64At(attribute.bytes, kAttrDataSize);
    const std::uint64_t wanted = std::min<std::uint64_t>(
        dataSize > 0 ? static_cast<std::uint64_t>(dataSize) : 0,
        std::min<std::uint64_t>(kMaxAttributeListBytes, clusterTotal(runs) * static_cast<std::uint64_t>(m_clusterSize)));
    std::vector<std::byte> list;
    std::uint64_t filled = 0;
    for (const Run& run : runs) {
      if (filled >= wanted) break;
      const std::uint64_t bytes = std::min<std::uint64_t>(static_cast<std::uint64_t>(run.count) * static_cast<std::uint64_t>(m_clusterSize), wanted - filled);
      const std::uint64_t clusters = (bytes + static_cast<std::uint64_t>(m_clusterSize) - 1) / static_cast<std::uint64_t>(m_clusterSize);
      list.resize(static_cast<std::size_t>(filled + clusters * static_cast<std::uint64_t>(m_clusterSize)));
      std::span<std::byte> out(list.data() + filled, static_cast<std::size_t>(clusters * static_cast<std::uint64_t>(m_clusterSize)));
      if (run.lcn != 0) readClusters(run.lcn, clusters, out);
      filled += bytes;
    }
    list.resize(static_cast<std::size_t>(std::min<std::uint64_t>(filled, list.size())));
    walk(list);
  }
}

bool DataWriter::readClusters(std::int64_t lcn, std::uint64_t count, std::span<std::byte> out) {
  // Clusters past the volume's end or before its start belong to no file of this volume: they read as
  // zeros, like clusters that cannot be positioned.
  std::memset(out.data(), 0, out.size());
  const auto clusterSize = static_cast<std::uint64_t>(m_clusterSize);
  if (lcn <= 0 || clusterSize == 0) return false;
  const std::int64_t room = volumeLimit() - m_clusterOrigin;
  if (room <= 0) return false;
  const std::uint64_t limitClusters = static_cast<std::uint64_t>(room) / clusterSize;
  if (static_cast<std::uint64_t>(lcn) >= limitClusters) return false;
  const std::uint64_t inside = std::min<std::uint64_t>(count, limitClusters - static_cast<std::uint64_t>(lcn));
  const auto offset = m_clusterOrigin + static_cast<std::int64_t>(static_cast<std::uint64_t>(lcn) * clusterSize);
  std::span<std::byte> first = out.first(static_cast<std::size_t>(inside * clusterSize));
  if (m_io->readWhole(offset, first)) return inside == count;
  // Cluster by cluster: each one's own position decides whether it is read or left as zeros.
  for (std::uint64_t k = 0; k < inside; ++k)
    m_io->readAt(offset + static_cast<std::int64_t>(k * clusterSize),
                 first.subspan(static_cast<std::size_t>(k * clusterSize), static_cast<std::size_t>(clusterSize)));
  return false;
}

void DataWriter::writePlain(Writer& writer, const std::vector<Run>& runs) {
  const auto clusterSize = static_cast<std::uint64_t>(m_clusterSize);
  if (clusterSize == 0) return;
  const std::uint64_t piecesClusters = std::max<std::uint64_t>(1, kDataPieceBytes / clusterSize);
  std::uint64_t budget = static_cast<std::uint64_t>(volumeLimit()) / clusterSize;
  // One buffer for the parser's whole life, as large as the biggest piece yet: a small file costs no
  // megabyte of clearing, nor does one whose runs claim more clusters than the volume holds.
  const std::uint64_t wanted = std::min<std::uint64_t>(
      piecesClusters, std::max<std::uint64_t>(1, std::min<std::uint64_t>(clusterTotal(runs), budget)));
  if (m_scratch.size() < wanted * clusterSize) m_scratch.resize(static_cast<std::size_t>(wanted * clusterSize));
  std::span<std::byte> buffer(m_scratch);
  for (const Run& run : runs) {
    std::uint64_t done = 0;
    while (done < run.count) {
      if (writer.done() || budget == 0) return;
      if (run.lcn == 0) {
        // A sparse run is stored nowhere: it becomes a hole, in one step.
        const std::uint64_t n = std::min<std::uint64_t>(run.count - done, budget);
        writer.skip(n * clusterSize);
        done += n;
        budget -= n;
        continue;
      }
      const std::uint64_t n = std::min<std::uint64_t>({buffer.size() / clusterSize, run.count - done, budget});
      std::span<std::byte> piece(buffer.data(), static_cast<std::size_t>(n * clusterSize));
      readClusters(static_cast<std::int64_t>(run.lcn) + static_cast<std::int64_t>(done), n, piece);
      writer.put(piece);
      done += n;
      budget -= n;
    }
  }
}

void DataWriter::writeCompressed(Writer& writer, const std::vector<Run>& runs, std::uint16_t unitClusters) {
  const auto clusterSize = static_cast<std::uint64_t>(m_clusterSize);
  if (clusterSize == 0) return;
  if (unitClusters == 0) {
    writePlain(writer, runs);
    return;
  }
  const std::uint64_t unitBytes = unitClusters * clusterSize;
  if (unitBytes > kMaxUnitBytes) return;
  std::vector<std::byte> input(static_cast<std::size_t>(unitBytes));
  std::vector<std::byte> output(static_cast<std::size_t>(unitBytes));
  std::vector<std::int64_t> numbers;
  numbers.reserve(unitClusters);
  std::uint64_t budget = static_cast<std::uint64_t>(volumeLimit()) / clusterSize;

  auto flushUnit = [&]() -> bool {
    const std::size_t k = numbers.size();
    if (k == 0) return true;
    std::size_t m = 0;
    for (std::size_t i = k; i > 0; --i) {
      if (numbers[i - 1] != 0) {
        m = i;
        break;
      }
    }
    const std::size_t pieceBytes = static_cast<std::size_t>(k * clusterSize);
    bool more = true;
    if (m == 0) {
      // A unit without a stored cluster is sparse.
      more = writer.skip(pieceBytes);
    } else if (m == k) {
      // The unit's last cluster holds data: the unit is stored as it is.
      more = writer.put(std::span<const std::byte>(input.data(), pieceBytes));
    } else {
      Lznt1State state;
      if (ntfs_uncompress_setup(state, unitClusters, input, output)) {
        state.inputLength = m * clusterSize;
        ntfs_uncompress_compunit(state);
        // A unit stands for its full size whatever its chunks produced, so the next unit keeps its
        // place in the file.
        const std::size_t produced = static_cast<std::size_t>(std::min<std::uint64_t>(state.outputPosition, pieceBytes));
        std::memset(output.data() + produced, 0, pieceBytes - produced);
        more = writer.put(std::span<const std::byte>(output.data(), pieceBytes));
      }
    }
    numbers.clear();
    std::memset(input.data(), 0, input.size());
    return more;
  };

  for (const Run& run : runs) {
    std::uint64_t done = 0;
    while (done < run.count) {
      if (writer.done()) return;
      if (budget == 0) {
        // The volume ends inside a unit: its clusters already read are still the file's.
        flushUnit();
        return;
      }
      const std::uint64_t room = unitClusters - numbers.size();
      const std::uint64_t n = std::min<std::uint64_t>({room, run.count - done, budget});
      const std::size_t slot = numbers.size();
      if (run.lcn != 0) {
        const std::int64_t first = static_cast<std::int64_t>(run.lcn) + static_cast<std::int64_t>(done);
        readClusters(first, n, std::span<std::byte>(input.data() + slot * clusterSize, static_cast<std::size_t>(n * clusterSize)));
        for (std::uint64_t i = 0; i < n; ++i) numbers.push_back(first + static_cast<std::int64_t>(i));
      } else {
        std::memset(input.data() + slot * clusterSize, 0, static_cast<std::size_t>(n * clusterSize));
        numbers.insert(numbers.end(), static_cast<std::size_t>(n), 0);
      }
      done += n;
      budget -= n;
      if (numbers.size() == unitClusters && !flushUnit()) return;
    }
  }
  // A last unit that the runs leave short is written for the clusters it has.
  flushUnit();
}

DataWriter::DataPiece DataWriter::dataPiece(const MftRecordView& view) {
  DataPiece piece;
  const DatStruct desc = getDatStruct(view);
  const bool ownData = m_hasOwnData;

  bool hasList = false;
  for (const auto& attribute : view.attributes)
    if (typeOf(attribute) == kAttributeList) hasList = true;
  if (hasList) {
    const bool dataAfterList = !m_dataInAttributeList;
    setAttributListVector(view);
    // The list is used when the base record holds no $DATA after it, and also when the base record's
    // $DATA is only the first of several pieces: its runs alone would cut the file short.
    bool elsewhere = false;
    const std::uint64_t baseRecord = le32At(view.record, kRecordNumber);
    for (std::size_t i = 0; i < m_extensionList.size(); ++i)
      if (m_extensionList[i] != baseRecord || i > 0) elsewhere = true;
    const std::optional<std::int64_t> firstOffset =
        m_extensionList.empty() ? std::nullopt
                                : extensionRecordOffset(m_extensionList.front(), baseRecord, view.recordOffset);
    if (firstOffset && (!dataAfterList || elsewhere)) {
      const MftRecordView view2 = readView(*firstOffset);
      piece.fromList = true;
      piece.listDesc = getDatStruct(view2);
      piece.dataSize = piece.listDesc.dataSize;
      piece.unitClusters = static_cast<std::uint16_t>(1u << (piece.listDesc.compressionUnit & 31));
      piece.kind = piece.listDesc.dataType == kCompressed ? DataPiece::Kind::Compressed : DataPiece::Kind::Plain;
      m_combinedRuns.clear();
      std::uint64_t clusters = 0;
      std::uint64_t total = 0;
      for (std::size_t i = 0; i < m_extensionList.size(); ++i) {
        const std::optional<std::int64_t> at =
            extensionRecordOffset(m_extensionList[i], baseRecord, view.recordOffset);
        if (!at) break;
        const std::int64_t vcn = m_extensionVcns[i];
        // Pieces come in the order of their first cluster in the file: a gap reads as zeros, and a
        // piece that goes back over clusters already placed is a repeat.
        if (vcn < 0 || static_cast<std::uint64_t>(vcn) < clusters) continue;
        const MftRecordView extension = readView(*at);
        const auto runs = runsOf(extension, kData, vcn);
        if (runs.empty()) continue;
        std::uint64_t gap = static_cast<std::uint64_t>(vcn) - clusters;
        while (gap > 0) {
          const auto n = static_cast<std::uint32_t>(std::min<std::uint64_t>(gap, 0xFFFFFFFFu));
          m_combinedRuns.push_back(Run{0, n});
          gap -= n;
          clusters += n;
        }
        const std::uint64_t added = clusterTotal(runs);
        m_combinedRuns.insert(m_combinedRuns.end(), runs.begin(), runs.end());
        clusters += added;
        total += added;
      }
      m_totalClusterCount = static_cast<std::uint32_t>(total);
      piece.runs = m_combinedRuns;
      return piece;
    }
    m_hasOwnData = ownData;
  }

  if (!ownData) return piece;
  if (desc.residence == 'R') {
    piece.kind = DataPiece::Kind::Resident;
    if (desc.valueOffset < view.record.size()) {
      const std::size_t length = std::min<std::size_t>(desc.valueLength, view.record.size() - desc.valueOffset);
      piece.resident = std::span<const std::byte>(view.record.data() + desc.valueOffset, length);
    }
  } else if (desc.residence == 'N') {
    piece.runs = runsOf(view, kData);
    piece.dataSize = desc.dataSize;
    if (desc.dataType == kCompressed) {
      piece.kind = DataPiece::Kind::Compressed;
      piece.unitClusters = static_cast<std::uint16_t>(1u << (desc.compressionUnit & 31));
    } else {
      piece.kind = DataPiece::Kind::Plain;
    }
  }
  return piece;
}

void DataWriter::AttributeListDataToFile(const DatStruct& desc2) {
  Writer writer(m_output, desc2.dataSize);
  if (desc2.dataType == kCompressed)
    writeCompressed(writer, m_combinedRuns, static_cast<std::uint16_t>(1u << (desc2.compressionUnit & 31)));
  else
    writePlain(writer, m_combinedRuns);
  m_lastDumpWritten += writer.written();
  if (writer.failed()) m_writeFailed = true;
  m_hasOwnData = false;
}

std::uint64_t DataWriter::sizeOf(const MftRecordView& view) {
  const DataPiece piece = dataPiece(view);
  if (piece.kind == DataPiece::Kind::None) return 0;
  if (piece.kind == DataPiece::Kind::Resident) return piece.resident.size();
  if (m_clusterSize <= 0) return 0;
  const auto clusterSize = static_cast<std::uint64_t>(m_clusterSize);
  if (piece.kind == DataPiece::Kind::Compressed && piece.unitClusters * clusterSize > kMaxUnitBytes) return 0;
  const std::uint64_t clusters =
      std::min<std::uint64_t>(clusterTotal(piece.runs), static_cast<std::uint64_t>(volumeLimit()) / clusterSize);
  const std::uint64_t dataSize = piece.dataSize > 0 ? static_cast<std::uint64_t>(piece.dataSize) : 0;
  return std::min<std::uint64_t>(dataSize, clusters * clusterSize);
}

std::uint64_t DataWriter::entryDataSize(std::int64_t index) {
  if (index < 0 || index >= entryCount()) return 0;
  constexpr std::uint64_t kUnknown = UINT64_MAX;
  const auto at = static_cast<std::size_t>(index);
  if (!m_sizeMemo || m_sizeMemoCount != m_entries.size()) {
    m_sizeMemo = std::make_unique<std::atomic<std::uint64_t>[]>(m_entries.size());
    m_sizeMemoCount = m_entries.size();
    for (std::size_t i = 0; i < m_sizeMemoCount; ++i) m_sizeMemo[i].store(kUnknown, std::memory_order_relaxed);
  }
  const std::uint64_t known = m_sizeMemo[at].load(std::memory_order_relaxed);
  if (known != kUnknown) return known;
  std::uint64_t size = 0;
  if (!(index == m_orphanIndex && m_entries[at].recordOffset == 0)) {
    const GenerationFrame frame(*this, index);
    const MftRecordView view = getMftEntry(index);
    if (view.isFile() && m_entries[at].kind != 'D') size = sizeOf(view);
    m_extensionList.clear();
    m_extensionVcns.clear();
    m_combinedRuns.clear();
  }
  m_sizeMemo[at].store(size, std::memory_order_relaxed);
  return size;
}

void DataWriter::dumpEntry(const std::string& indexText) {
  m_lastDumpPath.clear();
  m_lastDumpWritten = 0;
  const std::int64_t index = decimalValue(indexText);
  if (index < 0 || index >= entryCount()) return;
  const MftEntry& entry = m_entries[static_cast<std::size_t>(index)];
  if (!entry.name) return;
  const std::string name = utf8FromUtf16(trimmed(std::u16string_view(entry.name)));
  std::string folder = rightTrimmed(outputFolder);
  // The name always lands inside the folder: a folder text without its separator gets one, and the
  // name can neither hold a separator nor step up.
  if (!folder.empty() && folder.back() != '/') folder += '/';
  outputFolder = folder + safeComponent(name);
  const std::string path = outputFolder;

  OutputFile out;
  if (!out.create(path)) return;
  m_lastDumpPath = path;
  writeEntryData(index, out);
  out.close();
}

bool DataWriter::writeEntryData(std::int64_t index, DataSink& out) {
  m_lastDumpWritten = 0;
  m_writeFailed = false;
  if (index < 0 || index >= entryCount()) return false;
  const MftEntry& entry = m_entries[static_cast<std::size_t>(index)];
  m_output = &out;
  const GenerationFrame frame(*this, index);
  const MftRecordView view = getMftEntry(index);
  if (!view.isFile()) {
    m_output = nullptr;
    return false;
  }
  const DataPiece piece = dataPiece(view);
  if (entry.kind != 'D') {
    if (piece.kind == DataPiece::Kind::Resident) {
      if (!out.write(piece.resident)) m_writeFailed = true;
      m_lastDumpWritten += piece.resident.size();
    } else if (piece.fromList) {
      AttributeListDataToFile(piece.listDesc);
    } else if (piece.kind != DataPiece::Kind::None) {
      Writer writer(&out, piece.dataSize);
      if (piece.kind == DataPiece::Kind::Compressed)
        writeCompressed(writer, piece.runs, piece.unitClusters);
      else
        writePlain(writer, piece.runs);
      m_lastDumpWritten += writer.written();
      if (writer.failed()) m_writeFailed = true;
    }
  }
  m_extensionList.clear();
  m_extensionVcns.clear();
  m_combinedRuns.clear();

  const NtfsFileTimes times = getFileTimeStructure(view.recordOffset);
  if (times.hasTimes && settable(times.access) && settable(times.modification))
    out.setTimes(unixNanosecondsFromFileTime(times.access), unixNanosecondsFromFileTime(times.modification));
  if (times.hasTimes && settable(times.creation)) out.setCreationTime(unixNanosecondsFromFileTime(times.creation));
  m_output = nullptr;
  return !m_writeFailed;
}

}  // namespace tessary::ntfs_detail
