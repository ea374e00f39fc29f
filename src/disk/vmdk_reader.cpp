// The VMDK reader.
#include "disk/vmdk_reader.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <sstream>

#include "disk/decompress.h"
#include "platform/bytes.h"
#include "platform/text.h"

namespace tessary {

namespace {

constexpr std::size_t kHeaderSize = 512;
constexpr std::uint32_t kCompressedGrains = 1u << 16;
constexpr std::uint32_t kMarkers = 1u << 17;
constexpr std::uint16_t kDeflate = 1;
constexpr std::uint64_t kGrainDirectoryAtEnd = UINT64_MAX;
// Bounds the format never needs: grains of up to 32 MiB, tables of up to 4096 entries, a descriptor of up
// to 1 MiB, and up to 4096 extents (a 2 TiB disk split at 2 GiB has 1024).
constexpr std::uint64_t kMaxGrainSectors = 1u << 16;
constexpr std::uint32_t kMaxTableEntries = 4096;
constexpr std::uint64_t kMaxDescriptorBytes = 1u << 20;
constexpr std::size_t kMaxExtents = 4096;
constexpr std::uint64_t kMaxDiskSectors = static_cast<std::uint64_t>(INT64_MAX) / kSectorSize;

// The text after `key` up to the end of its line, with a value in double quotes taken without them.
std::string valueOf(const std::string& text, const std::string& key) {
  std::size_t at = 0;
  while ((at = text.find(key, at)) != std::string::npos) {
    // Only a key that starts its line counts ("CID=" is also the end of "parentCID=").
    if (at == 0 || text[at - 1] == '\n' || text[at - 1] == '\r') break;
    at += key.size();
  }
  if (at == std::string::npos) return {};
  const std::size_t start = at + key.size();
  const std::size_t end = text.find_first_of("\r\n", start);
  std::string value = trimmed(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
  if (value.size() >= 2 && value.front() == '"') {
    const std::size_t close = value.find('"', 1);
    value = value.substr(1, close == std::string::npos ? std::string::npos : close - 1);
  }
  return value;
}

bool isDecimal(const std::string& text) {
  return !text.empty() && text.size() <= 19 && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// "RW 81920 SPARSE "name.vmdk"" or "RW 81920 FLAT "name-flat.vmdk" 0" or "RW 81920 ZERO".
std::optional<FileReadSeekVmdk::Extent> extentLine(const std::string& line) {
  std::istringstream words(line);
  FileReadSeekVmdk::Extent extent;
  std::string size;
  if (!(words >> extent.access >> size >> extent.type)) return std::nullopt;
  if (extent.access != "RW" && extent.access != "RDONLY" && extent.access != "NOACCESS") return std::nullopt;
  if (!isDecimal(size)) return std::nullopt;
  extent.sizeSectors = std::stoull(size);
  const std::size_t open = line.find('"');
  if (open != std::string::npos) {
    const std::size_t close = line.find('"', open + 1);
    if (close == std::string::npos) return std::nullopt;
    extent.fileName = line.substr(open + 1, close - open - 1);
    const std::string rest = trimmed(line.substr(close + 1));
    if (!rest.empty()) {
      if (!isDecimal(rest)) return std::nullopt;
      extent.offsetSectors = std::stoull(rest);
    }
  }
  return extent;
}

}  // namespace

std::optional<std::string> extentPathBelow(const std::string& folder, const std::string& name) {
  if (name.empty() || name.front() == '/' || name.front() == '\\') return std::nullopt;
  if (name.size() >= 2 && name[1] == ':') return std::nullopt;
  if (name.find('\0') != std::string::npos) return std::nullopt;
  std::string relative;
  std::size_t start = 0;
  while (start <= name.size()) {
    const std::size_t end = std::min(name.find_first_of("/\\", start), name.size());
    const std::string part = name.substr(start, end - start);
    if (part == "..") return std::nullopt;
    if (!part.empty() && part != ".") relative += (relative.empty() ? "" : "/") + part;
    start = end + 1;
  }
  if (relative.empty()) return std::nullopt;
  return folder.empty() ? relative : folder + "/" + relative;
}

bool FileReadSeekVmdk::parseDescriptor(const std::string& text) {
  createType = valueOf(text, "createType=");
  version = valueOf(text, "version=");
  cid = valueOf(text, "CID=");
  parentCid = valueOf(text, "parentCID=");
  parentFileNameHint = valueOf(text, "parentFileNameHint=");
  virtualHwVersion = valueOf(text, "ddb.virtualHWVersion = ");
  geometryCylinders = valueOf(text, "ddb.geometry.cylinders = ");
  geometryHeads = valueOf(text, "ddb.geometry.heads = ");
  geometrySectors = valueOf(text, "ddb.geometry.sectors = ");
  adapterType = valueOf(text, "ddb.adapterType = ");
  toolsVersion = valueOf(text, "ddb.toolsVersion = ");
  extents.clear();
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line) && extents.size() <= kMaxExtents;) {
    line = trimmed(line);
    if (line.empty() || line.front() == '#') continue;
    if (auto extent = extentLine(line)) extents.push_back(std::move(*extent));
  }
  return !extents.empty() || !createType.empty() || !version.empty();
}

bool FileReadSeekVmdk::readSparse(const ImageFile& file, const std::string& name, bool takeHeaderValues,
                                  SparseExtent& out) {
  std::array<std::byte, kHeaderSize> header{};
  if (!file.readExact(0, header) || le32At(header, 0) != kMagic) {
    message(format("VMDK extent \"%s\" has no sparse extent header", name.c_str()));
    return false;
  }
  const std::uint64_t fileSize = file.size();
  const std::uint32_t flags = le32At(header, 8);
  out.file = &file;
  out.capacity = le64At(header, 12);
  out.grainSectors = le64At(header, 20);
  out.gtEntries = le32At(header, 44);
  if (takeHeaderValues) {
    headerVersion = le32At(header, 4);
    capacity = out.capacity;
    grainSize = out.grainSectors;
    gtEntries = static_cast<std::uint32_t>(out.gtEntries);
  }
  const std::uint16_t compression = le16At(header, 77);
  if (compression > kDeflate || ((flags & kCompressedGrains) != 0) != (compression == kDeflate)) {
    message(format("VMDK extent \"%s\" holds grains compressed in a way that cannot be read", name.c_str()));
    return false;
  }
  out.compressed = compression == kDeflate;
  out.markers = (flags & kMarkers) != 0;
  if (out.grainSectors == 0 || out.grainSectors > kMaxGrainSectors || (out.grainSectors & (out.grainSectors - 1)) != 0 ||
      out.gtEntries == 0 || out.gtEntries > kMaxTableEntries || out.capacity > kMaxDiskSectors) {
    message(format("VMDK extent \"%s\": grain size %llu or grain table size %llu cannot be used", name.c_str(),
                   static_cast<unsigned long long>(out.grainSectors), static_cast<unsigned long long>(out.gtEntries)));
    return false;
  }
  // The primary directory, or the redundant one when an image has only that.
  std::uint64_t directorySector = le64At(header, 56);
  if (directorySector == kGrainDirectoryAtEnd) {
    // A stream-optimized extent writes its directory last and names it in the footer: a copy of the header
    // one sector before the end-of-stream marker.
    std::array<std::byte, kHeaderSize> footer{};
    if (fileSize < 3 * kHeaderSize || !file.readExact(fileSize - 2 * kHeaderSize, footer) || le32At(footer, 0) != kMagic ||
        le64At(footer, 56) == kGrainDirectoryAtEnd) {
      message(format("VMDK extent \"%s\" places its grain directory in a footer, but has no sound footer", name.c_str()));
      return false;
    }
    directorySector = le64At(footer, 56);
  }
  if (directorySector == 0) directorySector = le64At(header, 48);
  const std::uint64_t sectorsPerTable = out.grainSectors * out.gtEntries;
  const std::uint64_t count = out.capacity / sectorsPerTable + (out.capacity % sectorsPerTable != 0);
  const auto directoryAt = checkedMul(directorySector, std::uint64_t{kSectorSize});
  if (directorySector == 0 || directorySector == kGrainDirectoryAtEnd || !directoryAt ||
      !fits(fileSize, *directoryAt, count * 4)) {
    message(format("VMDK extent \"%s\": the grain directory lies outside the file", name.c_str()));
    return false;
  }
  std::vector<std::byte> raw(static_cast<std::size_t>(count * 4));
  if (!file.readExact(*directoryAt, raw)) {
    message(format("VMDK extent \"%s\": the grain directory cannot be read", name.c_str()));
    return false;
  }
  out.directory.resize(static_cast<std::size_t>(count));
  for (std::size_t i = 0; i < out.directory.size(); ++i) {
    out.directory[i] = le32At(raw, i * 4);
    // A grain table must lie wholly inside the file.
    if (out.directory[i] != 0 && !fits(fileSize, std::uint64_t{out.directory[i]} * kSectorSize, out.gtEntries * 4)) {
      message(format("VMDK extent \"%s\": grain table %zu lies past the file's end", name.c_str(), i));
      return false;
    }
  }

  // The descriptor embedded in the extent, when it has one of a sound size.
  const std::uint64_t descriptorSector = le64At(header, 28);
  const std::uint64_t descriptorSectors = le64At(header, 36);
  if (takeHeaderValues && descriptorSector > 0 && descriptorSectors > 0 &&
      descriptorSectors <= kMaxDescriptorBytes / kSectorSize && descriptorSector <= kMaxDiskSectors &&
      fits(fileSize, descriptorSector * kSectorSize, descriptorSectors * kSectorSize)) {
    std::string text(static_cast<std::size_t>(descriptorSectors * kSectorSize), '\0');
    if (file.readExact(descriptorSector * kSectorSize, std::as_writable_bytes(std::span<char>(text.data(), text.size())))) {
      text.resize(std::strlen(text.c_str()));
      descriptor = text;
      parseDescriptor(descriptor);
    }
  }
  return true;
}

const ImageFile* FileReadSeekVmdk::openExtentFile(const std::string& folder, const std::string& name) {
  const auto path = extentPathBelow(folder, name);
  if (!path) {
    message(format("VMDK extent \"%s\" lies outside the descriptor's folder", name.c_str()));
    return nullptr;
  }
  for (std::size_t i = 0; i < m_fileNames.size(); ++i)
    if (m_fileNames[i] == *path) return m_files[i].get();
  auto file = std::make_unique<ImageFile>();
  const std::string why = file->openBeside(m_imagePath, name);
  if (!why.empty()) {
    message(format("VMDK extent file \"%s\" cannot be opened: %s", name.c_str(), why.c_str()));
    return nullptr;
  }
  m_files.push_back(std::move(file));
  m_fileNames.push_back(*path);
  return m_files.back().get();
}

bool FileReadSeekVmdk::openDescriptorExtents(const std::string& folder) {
  if (extents.empty() || extents.size() > kMaxExtents) {
    message("VMDK descriptor lists no extent that can be read");
    return false;
  }
  bool headerTaken = false;
  for (const Extent& extent : extents) {
    Piece piece;
    piece.firstSector = m_totalSectors;
    piece.sectors = extent.sizeSectors;
    if (extent.sizeSectors > kMaxDiskSectors - m_totalSectors) {
      message("VMDK descriptor's extents are larger than any disk");
      return false;
    }
    if (equalsNoCase(extent.type, "ZERO")) {
      piece.kind = Piece::Kind::Zero;
    } else if (equalsNoCase(extent.type, "FLAT") || equalsNoCase(extent.type, "VMFS")) {
      piece.kind = Piece::Kind::Flat;
      piece.file = openExtentFile(folder, extent.fileName);
      if (!piece.file) return false;
      if (extent.offsetSectors > kMaxDiskSectors) {
        message(format("VMDK extent \"%s\" starts past any file", extent.fileName.c_str()));
        return false;
      }
      piece.flatStart = extent.offsetSectors * kSectorSize;
    } else if (equalsNoCase(extent.type, "SPARSE")) {
      piece.kind = Piece::Kind::Sparse;
      const ImageFile* file = openExtentFile(folder, extent.fileName);
      if (!file) return false;
      SparseExtent sparse;
      // Only the first sparse header's sizes are shown; the descriptor's own values stay.
      if (!readSparse(*file, extent.fileName, false, sparse)) return false;
      if (!headerTaken) {
        capacity = sparse.capacity;
        grainSize = sparse.grainSectors;
        gtEntries = static_cast<std::uint32_t>(sparse.gtEntries);
        headerTaken = true;
      }
      piece.sparse = m_sparse.size();
      m_sparse.push_back(std::move(sparse));
    } else {
      message(format("VMDK extent type %s cannot be read", extent.type.c_str()));
      return false;
    }
    m_totalSectors += extent.sizeSectors;
    if (piece.sectors > 0) m_pieces.push_back(piece);
  }
  return true;
}

bool FileReadSeekVmdk::open(const std::string& path) {
  auto file = std::make_unique<ImageFile>();
  if (!file->open(path)) {
    message("Invalid handle ...");
    return false;
  }
  imageFileSize = file->size();
  m_imagePath = path;
  const ImageFile& main = *file;
  m_files.push_back(std::move(file));
  m_fileNames.push_back(path);

  std::array<std::byte, kHeaderSize> header{};
  const bool sparse = main.readExact(0, header) && le32At(header, 0) == kMagic;
  if (sparse) {
    SparseExtent extent;
    if (!readSparse(main, path.substr(path.find_last_of('/') + 1), true, extent)) return false;
    m_totalSectors = extent.capacity;
    if (extent.capacity > 0) m_pieces.push_back(Piece{Piece::Kind::Sparse, 0, extent.capacity, nullptr, 0, 0});
    m_sparse.push_back(std::move(extent));
  } else {
    // A descriptor file: plain text, small, naming its extents.
    if (imageFileSize > kMaxDescriptorBytes) {
      message("Not a vmdk file");
      return false;
    }
    std::string text(static_cast<std::size_t>(imageFileSize), '\0');
    if (!main.readExact(0, std::as_writable_bytes(std::span<char>(text.data(), text.size())))) {
      message("Not a vmdk file");
      return false;
    }
    text.resize(std::strlen(text.c_str()));
    if (!parseDescriptor(text) || extents.empty()) {
      message("Not a vmdk file");
      return false;
    }
    descriptor = text;
    const std::size_t slash = path.find_last_of('/');
    const std::string folder = slash == std::string::npos ? std::string() : path.substr(0, slash == 0 ? 1 : slash);
    if (!openDescriptorExtents(folder)) return false;
  }
  // The disk's size is the format's own, set once: the sparse capacity, or the extents together.
  m_context.diskSectorCount = m_totalSectors;
  m_context.imageLogicalSectorSize = 0;  // the format states none: 512 unless the user says otherwise
  return true;
}

const std::vector<std::uint32_t>& FileReadSeekVmdk::grainTable(const SparseExtent& extent, std::uint32_t sector) const {
  if (m_tableOwner == &extent && m_tableSector == sector) return m_table;
  m_table.assign(static_cast<std::size_t>(extent.gtEntries), 0);
  std::vector<std::byte> raw(static_cast<std::size_t>(extent.gtEntries * 4));
  const auto got = extent.file->readAt(std::uint64_t{sector} * kSectorSize, raw);
  // A table cut short by the file's end has no grains past the cut.
  if (!got || *got < raw.size()) ++missingReads;
  const std::size_t whole = got ? *got / 4 : 0;
  for (std::size_t i = 0; i < whole; ++i) m_table[i] = le32At(raw, i * 4);
  m_tableOwner = &extent;
  m_tableSector = sector;
  return m_table;
}

const std::byte* FileReadSeekVmdk::inflatedGrain(const SparseExtent& extent, std::uint32_t sector,
                                                 std::uint64_t grainLba) const {
  if (m_grainOwner == &extent && m_grainSector == sector) return m_grain.data();
  const std::uint64_t grainBytes = extent.grainSectors * kSectorSize;
  m_grain.assign(static_cast<std::size_t>(grainBytes), std::byte{0});
  m_grainOwner = &extent;
  m_grainSector = sector;
  const std::uint64_t fileSize = extent.file->size();
  std::uint64_t at = std::uint64_t{sector} * kSectorSize;
  // Deflate never grows a grain by more than a little; anything larger is a broken marker.
  std::uint64_t length = grainBytes + grainBytes / 8 + kSectorSize;
  bool sound = at < fileSize;
  if (sound && extent.markers) {
    std::array<std::byte, 12> marker{};
    sound = extent.file->readExact(at, marker) && le64At(marker, 0) == grainLba && le32At(marker, 8) > 0 &&
            le32At(marker, 8) <= length;
    length = le32At(marker, 8);
    at += marker.size();
  }
  if (sound) {
    length = std::min(length, fileSize - std::min(at, fileSize));
    std::vector<std::byte> packed(static_cast<std::size_t>(length));
    sound = !packed.empty() && extent.file->readExact(at, packed) && inflateZlib(packed, m_grain);
  }
  if (!sound) {
    // A grain that is cut off, names another sector, or inflates to anything but one grain reads as zeros.
    ++missingReads;
    std::fill(m_grain.begin(), m_grain.end(), std::byte{0});
  }
  return m_grain.data();
}

MappedDiskReader::Place FileReadSeekVmdk::placeInSparse(const Piece& piece, std::uint64_t sector) const {
  const SparseExtent& extent = m_sparse[piece.sparse];
  Place where;
  where.mapped = true;
  const std::uint64_t pieceLeft = piece.sectors - sector;
  const std::uint64_t perTable = extent.grainSectors * extent.gtEntries;
  const std::uint64_t index = sector / perTable;
  const std::uint64_t tableLeft = perTable - sector % perTable;
  if (index >= extent.directory.size() || extent.directory[index] < 1) {
    where.runBytes = std::min(pieceLeft, index >= extent.directory.size() ? pieceLeft : tableLeft) * kSectorSize;
    return where;
  }
  std::lock_guard lock(m_tableMutex);
  const std::vector<std::uint32_t>& table = grainTable(extent, extent.directory[index]);
  std::size_t grain = static_cast<std::size_t>(sector % perTable / extent.grainSectors);
  const std::uint64_t within = sector % extent.grainSectors;
  const std::uint32_t first = table[grain];
  const bool allocated = first >= 2;
  // Grains that follow each other in the file (or that all have no data) are one run.
  std::uint64_t run = extent.grainSectors - within;
  for (std::size_t next = grain + 1; next < table.size() && run < pieceLeft; ++next) {
    const std::uint32_t entry = table[next];
    const bool follows = allocated ? entry == first + (next - grain) * extent.grainSectors : entry < 2;
    if (!follows) break;
    run += extent.grainSectors;
  }
  if (extent.compressed && allocated) {
    // A deflated grain is served from memory, one grain at a time.
    where.allocated = true;
    where.runBytes = std::min(extent.grainSectors - within, pieceLeft) * kSectorSize;
    const std::byte* grainBytes = inflatedGrain(extent, first, sector - within);
    where.memory = grainBytes + within * kSectorSize;
    return where;
  }
  where.runBytes = std::min(run, pieceLeft) * kSectorSize;
  if (!allocated) return where;
  where.allocated = true;
  where.file = extent.file;
  where.filePosition = (std::uint64_t{first} + within) * kSectorSize;
  return where;
}

MappedDiskReader::Place FileReadSeekVmdk::place(std::uint64_t absolute) const {
  const std::uint64_t sector = absolute / kSectorSize;
  if (sector >= m_totalSectors) return {};
  auto it = std::upper_bound(m_pieces.begin(), m_pieces.end(), sector,
                             [](std::uint64_t s, const Piece& piece) { return s < piece.firstSector; });
  if (it == m_pieces.begin()) return {};
  const Piece& piece = *(it - 1);
  const std::uint64_t within = sector - piece.firstSector;
  if (within >= piece.sectors) return {};
  Place where;
  switch (piece.kind) {
    case Piece::Kind::Zero:
      where.mapped = true;
      where.runBytes = (piece.sectors - within) * kSectorSize;
      return where;
    case Piece::Kind::Flat: {
      const auto position = checkedAdd(piece.flatStart, within * kSectorSize);
      if (!position) return {};
      where.mapped = where.allocated = true;
      where.file = piece.file;
      where.filePosition = *position;
      where.runBytes = (piece.sectors - within) * kSectorSize;
      return where;
    }
    case Piece::Kind::Sparse:
      return placeInSparse(piece, within);
  }
  return {};
}

std::optional<std::uint64_t> FileReadSeekVmdk::nextDataInSparse(const Piece& piece, std::uint64_t sector) const {
  const SparseExtent& extent = m_sparse[piece.sparse];
  const std::uint64_t perTable = extent.grainSectors * extent.gtEntries;
  for (std::uint64_t index = sector / perTable; index < extent.directory.size(); ++index) {
    if (extent.directory[index] < 1) continue;
    std::lock_guard lock(m_tableMutex);
    const std::vector<std::uint32_t>& table = grainTable(extent, extent.directory[index]);
    const std::uint64_t tableStart = index * perTable;
    const std::uint64_t from = sector > tableStart ? (sector - tableStart) / extent.grainSectors : 0;
    for (std::uint64_t grain = from; grain < table.size(); ++grain) {
      if (table[grain] < 2) continue;
      const std::uint64_t at = std::max(sector, tableStart + grain * extent.grainSectors);
      if (at < piece.sectors) return at;
      return std::nullopt;
    }
  }
  return std::nullopt;
}

std::optional<ParentLink> FileReadSeekVmdk::parentLink() const {
  if (parentCid.empty() || equalsNoCase(parentCid, "ffffffff")) return std::nullopt;
  ParentLink link;
  if (!parentFileNameHint.empty()) link.names.push_back(parentFileNameHint);
  link.identity = parentCid;
  link.identityName = "CID";
  return link;
}

bool FileReadSeekVmdk::holds(std::uint64_t offset, std::uint64_t& run) const {
  const std::uint64_t sector = offset / kSectorSize;
  run = kSectorSize;
  if (sector >= m_totalSectors) return true;
  auto it = std::upper_bound(m_pieces.begin(), m_pieces.end(), sector,
                             [](std::uint64_t s, const Piece& piece) { return s < piece.firstSector; });
  if (it == m_pieces.begin()) return true;
  const Piece& piece = *(it - 1);
  const std::uint64_t within = sector - piece.firstSector;
  if (within >= piece.sectors) return true;
  const std::uint64_t pieceLeft = piece.sectors - within;
  if (piece.kind != Piece::Kind::Sparse) {
    run = pieceLeft * kSectorSize;
    return true;
  }
  const SparseExtent& extent = m_sparse[piece.sparse];
  const std::uint64_t perTable = extent.grainSectors * extent.gtEntries;
  const std::uint64_t index = within / perTable;
  const std::uint64_t tableLeft = perTable - within % perTable;
  if (index >= extent.directory.size() || extent.directory[index] < 1) {
    run = std::min(pieceLeft, tableLeft) * kSectorSize;
    return false;
  }
  std::lock_guard lock(m_tableMutex);
  const std::vector<std::uint32_t>& table = grainTable(extent, extent.directory[index]);
  const std::size_t grain = static_cast<std::size_t>(within % perTable / extent.grainSectors);
  const bool own = table[grain] != 0;
  std::uint64_t sectors = extent.grainSectors - within % extent.grainSectors;
  for (std::size_t next = grain + 1; next < table.size() && sectors < pieceLeft && (table[next] != 0) == own; ++next)
    sectors += extent.grainSectors;
  run = std::min(sectors, pieceLeft) * kSectorSize;
  return own;
}

std::optional<std::uint64_t> FileReadSeekVmdk::nextDataOffset(std::uint64_t offset) const {
  const std::uint64_t sector = offset / kSectorSize;
  for (const Piece& piece : m_pieces) {
    if (piece.firstSector + piece.sectors <= sector) continue;
    const std::uint64_t from = sector > piece.firstSector ? sector - piece.firstSector : 0;
    if (piece.kind == Piece::Kind::Flat) return std::max(offset, piece.firstSector * kSectorSize);
    if (piece.kind == Piece::Kind::Sparse) {
      if (const auto found = nextDataInSparse(piece, from))
        return std::max(offset, (piece.firstSector + *found) * kSectorSize);
    }
  }
  return std::nullopt;
}

}  // namespace tessary
