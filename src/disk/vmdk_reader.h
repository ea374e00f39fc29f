// The VMDK reader: a sparse extent file (header, grain directory, grain tables; stream-optimized ones with
// deflated grains and the directory found through the footer) read on its own, or a descriptor file whose
// FLAT, SPARSE and ZERO extents lie in files beside it.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "disk/mapped_reader.h"
#include "disk/parent_chain.h"

namespace tessary {

class FileReadSeekVmdk : public MappedDiskReader, public ChainLayer {
 public:
  static constexpr std::uint32_t kMagic = 0x564D444B;  // "KDMV"

  // An extent line of the descriptor.
  struct Extent {
    std::string access;
    std::uint64_t sizeSectors = 0;
    std::string type;
    std::string fileName;
    std::uint64_t offsetSectors = 0;  // where a FLAT extent's data starts in its file
  };

  explicit FileReadSeekVmdk(DiskContext& context) : MappedDiskReader(context) {}

  bool open(const std::string& path) override;
  std::optional<std::uint64_t> nextDataOffset(std::uint64_t offset) const override;

  // A snapshot names its parent by parentFileNameHint and records the parent's CID as its parentCID.
  std::optional<ParentLink> parentLink() const override;
  std::string chainIdentity() const override { return cid; }
  // A grain of a sparse extent whose entry (or grain table) is 0 is the parent's; a zeroed grain (entry
  // 1), flat and zero extents are the snapshot's own.
  bool holds(std::uint64_t offset, std::uint64_t& run) const override;

  // The sparse extent header of the opened file (or of the first sparse extent a descriptor names).
  std::uint32_t headerVersion = 0;
  std::uint64_t capacity = 0;     // sectors
  std::uint64_t grainSize = 0;    // sectors
  std::uint32_t gtEntries = 0;    // grain table entries per table

  // The descriptor (embedded in a sparse extent, or the opened file itself) and what it says.
  std::string descriptor;
  std::string version;
  std::string cid;
  std::string parentCid;
  std::string parentFileNameHint;
  std::string createType;
  std::vector<Extent> extents;
  std::string virtualHwVersion;
  std::string geometryCylinders;
  std::string geometryHeads;
  std::string geometrySectors;
  std::string adapterType;
  std::string toolsVersion;

  // Reads the descriptor's keys and extent lines into the fields above; false when no extent line is
  // well formed and no key is known.
  bool parseDescriptor(const std::string& text);

 private:
  struct SparseExtent {
    const ImageFile* file = nullptr;
    std::uint64_t capacity = 0;
    std::uint64_t grainSectors = 0;
    std::uint64_t gtEntries = 0;
    std::vector<std::uint32_t> directory;
    // Stream-optimized extents: every grain deflated (zlib), behind a marker of its sector and size.
    bool compressed = false;
    bool markers = false;
  };
  struct Piece {
    enum class Kind { Flat, Sparse, Zero };
    Kind kind = Kind::Zero;
    std::uint64_t firstSector = 0;
    std::uint64_t sectors = 0;
    const ImageFile* file = nullptr;  // Flat
    std::uint64_t flatStart = 0;      // Flat: byte offset in the file
    std::size_t sparse = 0;           // Sparse: index into m_sparse
  };

  Place place(std::uint64_t absolute) const override;
  // Reads the sparse header and grain directory of `file`; the message names the file.
  bool readSparse(const ImageFile& file, const std::string& name, bool takeHeaderValues, SparseExtent& out);
  bool openDescriptorExtents(const std::string& folder);
  const ImageFile* openExtentFile(const std::string& folder, const std::string& name);
  // The grain table at `sector` of a sparse extent, read once and kept until another one is needed.
  const std::vector<std::uint32_t>& grainTable(const SparseExtent& extent, std::uint32_t sector) const;
  Place placeInSparse(const Piece& piece, std::uint64_t sector) const;
  std::optional<std::uint64_t> nextDataInSparse(const Piece& piece, std::uint64_t sector) const;

  std::string m_imagePath;
  std::vector<std::unique_ptr<ImageFile>> m_files;
  std::vector<std::string> m_fileNames;
  std::vector<SparseExtent> m_sparse;
  std::vector<Piece> m_pieces;
  std::uint64_t m_totalSectors = 0;

  mutable std::mutex m_tableMutex;
  mutable const SparseExtent* m_tableOwner = nullptr;
  mutable std::uint32_t m_tableSector = 0;
  mutable std::vector<std::uint32_t> m_table;
  // The compressed grain last inflated (its extent and sector in the file), under m_tableMutex.
  const std::byte* inflatedGrain(const SparseExtent& extent, std::uint32_t sector, std::uint64_t grainLba) const;
  mutable const SparseExtent* m_grainOwner = nullptr;
  mutable std::uint32_t m_grainSector = 0;
  mutable std::vector<std::byte> m_grain;
};

// A descriptor's extent file name as a path below `folder`, or none when it would leave that folder
// (an absolute name, a drive letter, a ".." component) or names nothing.
std::optional<std::string> extentPathBelow(const std::string& folder, const std::string& name);

}  // namespace tessary
