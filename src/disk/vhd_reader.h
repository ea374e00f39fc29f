// The VHD reader: fixed disks (the footer at the end of the file, the data before it) and dynamic or
// differencing disks (footer, dynamic disk header, block allocation table, sector bitmaps).
#pragma once

#include <array>
#include <cstdint>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "disk/mapped_reader.h"
#include "disk/parent_chain.h"

namespace tessary {

class FileReadSeekVHD : public MappedDiskReader, public ChainLayer {
 public:
  explicit FileReadSeekVHD(DiskContext& context) : MappedDiskReader(context) {}

  bool open(const std::string& path) override;
  std::optional<std::uint64_t> nextDataOffset(std::uint64_t offset) const override;

  // A differencing disk names its parent by its locators and the parent's name, and records the parent's
  // unique id; a sector is its own where its block is present and the block's bitmap bit is set.
  std::optional<ParentLink> parentLink() const override;
  std::string chainIdentity() const override;
  bool holds(std::uint64_t offset, std::uint64_t& run) const override;

  // Disk types of the footer.
  static constexpr std::uint32_t kFixed = 2;
  static constexpr std::uint32_t kDynamic = 3;
  static constexpr std::uint32_t kDifferencing = 4;

  // The footer's values, byte-swapped.
  std::uint32_t features = 0;
  std::uint32_t formatVersion = 0;
  std::uint64_t dataOffset = 0;
  std::uint64_t originalSize = 0;
  std::uint64_t currentSize = 0;
  std::uint16_t cylinders = 0;
  std::uint8_t heads = 0;
  std::uint8_t sectorsPerTrack = 0;
  std::uint32_t diskType = 0;
  // The dynamic disk header's values (dynamic and differencing disks).
  std::uint64_t tableOffset = 0;
  std::uint32_t maxTableEntries = 0;
  std::uint32_t blockSize = 0;
  std::array<std::uint8_t, 16> uniqueId{};
  // A differencing disk's parent: its unique id, its name and the paths of its locators.
  std::array<std::uint8_t, 16> parentUniqueId{};
  std::string parentName;
  std::vector<std::string> parentLocators;

 private:
  Place place(std::uint64_t absolute) const override;
  bool openDynamic();
  void readParentReferences(std::span<const std::byte> header);

  const std::vector<std::byte>& bitmap(std::uint64_t block) const;

  ImageFile m_file;
  std::uint64_t m_bitmapBytes = 0;
  mutable std::mutex m_bitmapMutex;
  mutable std::uint64_t m_bitmapBlock = UINT64_MAX;
  mutable std::vector<std::byte> m_bitmap;
};

}  // namespace tessary
