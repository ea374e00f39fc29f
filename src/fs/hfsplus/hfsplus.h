// The HFS+ parser: the catalog B-tree (read in order, or found by scanning the volume) into an entry table
// ordered by CNID, linked parent to child for the results tree, and data forks out to any sink.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string_view>
#include <span>
#include <string>
#include <vector>

#include "controls/xhtml_tree.h"
#include "disk/volume_view.h"
#include "fs/parser_context.h"
#include "platform/bytes.h"
#include "platform/data_sink.h"
#include "platform/large_buffer.h"
#include "platform/worker.h"
#include "volumes/volume_entry.h"

namespace tessary {

class PageSink;

#pragma pack(push, 1)
// A catalog record's dates (seconds since 1904), BSD mode and owner; packed, as the entry holds one.
struct HfsStamps {
  std::uint32_t create = 0;
  std::uint32_t contentMod = 0;
  std::uint32_t attributeMod = 0;
  std::uint32_t access = 0;
  std::uint16_t mode = 0;
  std::uint32_t owner = 0;
  std::uint32_t group = 0;
};

struct HfsEntry {
  std::uint16_t type;         // 1 folder, 2 file
  std::uint32_t parent;       // parent CNID from the catalog key
  std::uint32_t cnid;         // folderID or fileID
  std::int64_t firstChild;    // CNID, -1 for none (CNIDs run to 2^32 - 1)
  std::int64_t nextSibling;   // CNID, -1 for none
  std::uint32_t totalBlocks;  // data fork, files only
  std::uint64_t nameAt;       // the name's UTF-8 bytes in the parser's name store (HFSP::entryName)
  std::uint16_t nameBytes;
  std::uint64_t nodeOffset;   // byte offset of the catalog node holding the record
  std::uint32_t recordOffset; // offset of the record inside that node
  std::uint64_t size;         // data fork's logical size, files only
  std::uint64_t extentsAt;    // the record's extents in the parser's extent store (HFSP::recordExtents)
  std::uint8_t extentCount;   // {start block, count} with a start, files only
  bool recorded;              // the stamps below come from the entry's catalog record
  HfsStamps stamps;           // kept when the record is read, so listing and saving read no node again
};
#pragma pack(pop)

struct HfsNode {
  std::uint64_t number;      // node number (deep mode: position of the find in nodes)
  std::uint64_t offset;      // byte offset of the node from the volume start
  std::int8_t kind;          // -1 leaf, 0 index, 1 header, 2 map
  std::uint8_t height;
  std::uint16_t recordCount;
  std::vector<std::uint16_t> recordOffsets;
};

struct HfsDescription {
  std::string creation, access, modification, permissions;
};

class HFSP : public ParserContext {
 public:
  static constexpr const char* kOrphanFolderName = "ORPHAN_ENTRY";
  // Item data of the top item: no CNID.
  static constexpr std::int64_t kTopItemData = -1;

  void setVolume(const VolumeEntry& volume) { m_volume = volume; }
  void attachVolume(const VolumeView& view) { m_view = view; }

  // The worker's steps, in order.
  bool readVolumeHeader();
  bool collectCatalogNodes();
  bool scanVolumeForCatalogNodes();
  bool readExtentsOverflow();
  void readCatalogLeaves();
  void linkParentsAndChildren();
  void fillRootEntries();
  // All of them for a mode (1 standard, anything else deep); false when the parse was aborted.
  bool parse(int mode);

  // The data fork and the file's times into the sink; false when a read failed, the fork's blocks end
  // before its size, or the sink refused bytes.
  bool saveFileData(std::uint32_t cnid, DataSink& sink);
  // The detail list's texts; without allTimes only the modification time among the times (what the
  // plain listing prints).
  HfsDescription describeTimesAndPermissions(std::uint32_t cnid, bool allTimes = true);
  // The file or folder record's fields for machine output; nothing when the record cannot be read.
  std::optional<HfsStamps> recordStamps(std::uint32_t cnid);
  std::string describeSize(std::uint32_t cnid) const;

  using ExtentPair = std::array<std::uint32_t, 2>;
  // Every entry once, in CNID order.
  std::span<const HfsEntry> entries() const { return m_entries; }
  const HfsEntry* entry(std::int64_t cnid) const;
  std::string entryName(std::int64_t cnid) const;
  std::string_view nameOf(const HfsEntry& e) const;
  // The data fork's extents that the catalog record holds (those with a start block).
  std::span<const ExtentPair> recordExtents(const HfsEntry& e) const;
  std::vector<std::int64_t> childEntries(std::int64_t cnid) const;
  const std::vector<HfsNode>& catalogNodes() const { return m_catalogNodes; }
  std::size_t overflowRecordCount() const { return m_overflow.size(); }
  std::uint32_t blockSize() const { return m_blockSize; }
  std::uint16_t catalogNodeSize() const { return m_catalogNodeSize; }
  bool usedAlternateHeader() const { return m_usedAlternate; }
  bool deep() const { return m_deep; }
  std::uint32_t orphanFolder() const { return m_orphanCnid; }
  // Whether the allocation file marks the block as in use; none when the allocation file does not map it
  // or cannot be read.
  std::optional<bool> blockInUse(std::uint32_t block) const;

 private:
  using Extents = std::vector<std::array<std::uint32_t, 2>>;
  // Where a B-tree file's bytes lie: its extents in fork order.
  struct ForkMap {
    Extents extents;
    std::uint32_t blockSize = 0;
    std::uint64_t bytes() const;
    // Reads `out.size()` bytes from the fork offset, across extents; false when any is not mapped or read.
    bool read(const VolumeView& view, std::uint64_t forkOffset, std::span<std::byte> out) const;
  };

  std::uint64_t volumeBytes() const;
  bool findAlternateHeader(std::array<std::byte, 512>& out) const;
  ForkMap forkOf(std::size_t forkAt, std::uint32_t fileId) const;
  std::optional<std::uint16_t> headerNodeSize(const ForkMap& fork) const;
  std::vector<HfsNode> collectNodes(const ForkMap& fork, std::uint16_t nodeSize);
  void addRecords(const HfsNode& node, Bytes bytes);
  void storeName(HfsEntry& entry, std::u16string_view name);
  // Orders the entries by CNID, keeps the first record read of each CNID and indexes them.
  void orderEntries();
  void indexEntries();
  void makeFirstChild(std::uint32_t parent, std::uint32_t child);
  Extents fileExtents(const HfsEntry& entry) const;

  VolumeEntry m_volume;
  VolumeView m_view;

  std::array<std::byte, 512> m_header{};
  bool m_usedAlternate = false;
  std::uint16_t m_catalogNodeSize = 0;
  std::uint16_t m_extentsNodeSize = 0;
  std::uint32_t m_blockSize = 0;
  bool m_deep = false;
  std::vector<HfsNode> m_catalogNodes;
  std::vector<HfsNode> m_extentsNodes;
  std::vector<HfsEntry, LargeTableAllocator<HfsEntry>> m_entries;
  // Position in m_entries by CNID, kNoSlot for none, while the CNIDs are dense enough for a table;
  // otherwise empty, and entries are found by a binary search.
  static constexpr std::uint32_t kNoSlot = UINT32_MAX;
  std::vector<std::uint32_t, LargeTableAllocator<std::uint32_t>> m_slotOf;
  // Data-fork extents-overflow records: (start block << 32 | file ID) -> the record's extents.
  std::map<std::uint64_t, std::array<std::array<std::uint32_t, 2>, 8>> m_overflow;
  std::vector<char, LargeTableAllocator<char>> m_names;
  std::vector<ExtentPair, LargeTableAllocator<ExtentPair>> m_extentStore;
  std::uint64_t m_highestCnid = 0;
  std::uint32_t m_orphanCnid = 0;
};

}  // namespace tessary
