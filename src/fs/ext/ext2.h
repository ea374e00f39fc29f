// The ext2/3/4 parser: superblock, group descriptors and inode tables into the entry map and the results
// tree, and file data (block maps, extent trees, holes) out to any data sink.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <tuple>
#include <unordered_set>
#include <vector>

#include "controls/xhtml_tree.h"
#include "disk/volume_view.h"
#include "fs/parser_context.h"
#include "platform/bytes.h"
#include "platform/data_sink.h"
#include "platform/large_buffer.h"
#include "platform/worker.h"

namespace tessary {

class PageSink;

// One named inode as the entry map keeps it; tree items carry its key.
#pragma pack(push, 1)
struct ExtEntry {
  const char* name;              // zero-terminated, in the volume's bytes; null while the inode has no name
  std::int32_t key;              // inode number - 1
  std::int32_t parent;           // key of the parent entry; -1 for none
  std::uint16_t mode;            // i_mode, or 0x4000 / 0x8000 when a directory entry gives the type
  std::uint64_t size;
  std::uint64_t inodeTableBlock; // the inode table that holds this inode (64-bit on 64-bit volumes)
  std::uint32_t slot;            // the inode's position in that table
  std::int32_t firstChild;       // -1 for none
  std::int32_t nextSibling;      // -1 for none
};
#pragma pack(pop)
static_assert(sizeof(ExtEntry) == 46, "ExtEntry is a packed 46-byte record");

// The detail list's texts of one entry.
struct ExtEntryTexts {
  std::string creation;
  std::string access;
  std::string modification;
  std::string permissions;
};

// An inode's times (Unix seconds), mode and owner.
struct ExtInodeStamps {
  std::uint32_t atime = 0;
  std::uint32_t ctime = 0;
  std::uint32_t mtime = 0;
  std::uint16_t mode = 0;
  std::uint32_t uid = 0;
  std::uint32_t gid = 0;
};

// The entry map and the tables it is built from: one entry per inode in use, on huge pages.
using ExtEntryTable = std::vector<ExtEntry, LargeTableAllocator<ExtEntry>>;

class ext2Class : public ParserContext {
 public:
  // The synthetic top folder takes the key of inode 3.
  static constexpr std::int32_t kRootKey = 2;

  ext2Class() = default;
  ext2Class(const ext2Class&) = delete;
  ext2Class& operator=(const ext2Class&) = delete;

  // Links the results page hands over before the worker starts.
  void attachVolume(const VolumeView& view, std::int64_t volumeSizeMib);

  // The parse, in this order; the page stops after the first two when either fails.
  bool findSuperblock();
  bool readGroupDescriptors();
  void readInodeTables();
  void readDirectories();
  void buildEntryMap();
  void linkParentsAndChildren();
  // Whether each entry's parent chain ends rather than loops (m_chainEnds), and the answer for one.
  void markChainsThatEnd();
  bool reachesTop(std::int64_t index) const;
  void fillRootEntries();

  // What the page, the save engine and the command line ask once the parse has finished.
  const ExtEntry* entry(std::int64_t key) const;
  std::vector<std::int64_t> childEntries(std::int64_t key) const;
  static bool isDirectoryMode(std::uint16_t mode) { return (mode & 0xF000) == 0x4000; }
  // Regular files and symbolic links (saved as the text of their target).
  static bool isFileMode(std::uint16_t mode) { return (mode & 0xF000) == 0x8000 || (mode & 0xF000) == 0xA000; }
  bool isDeleted(std::int64_t key) const { return m_deletedKeys.count(static_cast<std::int32_t>(key)) != 0; }
  std::string entryName(std::int64_t key) const;  // UTF-8
  // The detail texts; without `allTimes`, the creation and access times are left empty.
  ExtEntryTexts describeTimesAndPermissions(const ExtEntry& entry, bool allTimes = true) const;
  // The entry's inode fields for machine output; nothing for the top folder or an inode that cannot be read.
  std::optional<ExtInodeStamps> inodeStamps(const ExtEntry& entry) const;
  // The inode number an entry names: its own, or for a further name (a hard link's, a slack name's) the
  // inode that name points at.
  std::uint64_t inodeNumber(const ExtEntry& entry) const;
  static std::string describeSize(const ExtEntry& entry);
  // The entry's bytes (holes as the sink's holes, unreadable blocks as zeros, cut at its size) and its
  // times into the sink; false when a block could not be read, the sink refused bytes, or the size is
  // beyond what the file system can hold (then nothing is written).
  bool saveFileData(const ExtEntry& entry, DataSink& sink) const;
  // The largest size a file of this file system can have, by block size and features, for a file
  // mapped by extents or by a block map.
  std::uint64_t maxFileSize(bool extents) const;

  // The entry map in key order (ROOT among it), once the parse has built it.
  const ExtEntryTable& entries() const { return m_map; }
  // The block that holds the entry's first logical block; none for inline data, a hole there, or a map
  // that names no block (ext3 and ext4 clear a deleted file's map, ext2 keeps it).
  std::optional<std::uint64_t> firstBlock(const ExtEntry& entry) const;
  // Whether the block bitmap of the block's group marks it in use; none when the bitmap cannot be read
  // or was never written.
  std::optional<bool> blockInUse(std::uint64_t block) const;

  // Geometry, for tests and the command line.
  std::uint32_t blockSize() const { return m_blockSize; }
  std::uint32_t groupCount() const { return m_groupCount; }
  std::uint32_t inodesPerGroup() const { return m_inodesPerGroup; }
  std::int64_t superblockOffset() const { return m_superblockOffset; }
  std::size_t mapSize() const { return m_map.size(); }
  // Groups whose inode table could not be read.
  std::uint32_t unreadableGroups() const { return m_unreadableGroups; }
  // Groups whose inode table was read only up to where its descriptor says no inode was ever given out
  // (and the table showed none there either).
  std::uint32_t shortenedTables() const { return m_shortenedTables; }
  // The slots at the start of the group's inode table that its descriptor says may have been in use:
  // none when the descriptor's flags cannot be trusted (no checksum feature, or its checksum fails).
  std::optional<std::uint32_t> declaredSlotsInUse(std::uint32_t group) const;
  // True when the superblock counts more blocks than the volume holds.
  bool largerThanVolume() const { return m_largerThanVolume; }

  // A run of a file's logical blocks: `count` blocks from `logical` at `physical`, or zeros (a hole in
  // the block map, an unwritten extent) when `zeros` is set.
  struct BlockRun {
    std::uint64_t logical = 0;
    std::uint64_t physical = 0;
    std::uint64_t count = 0;
    bool zeros = false;
  };
  // Hands the block runs of an inode (its first 124 bytes: flags and i_block) to `visit` in the order
  // the extent tree or block map keeps them, until `neededBlocks` logical blocks are covered or `visit`
  // returns false. Holes are the logical blocks no run covers. `readFailed` is set when a tree or
  // indirect block could not be read or an extent header is bad.
  using RunVisitor = std::function<bool(const BlockRun&)>;
  void forEachRun(const std::byte* inode, std::uint64_t neededBlocks, bool& readFailed, const RunVisitor& visit) const;

 private:
  struct DirectoryInode {
    std::int32_t key;
    std::uint32_t flags;
    std::uint64_t size;
    std::array<std::byte, 60> block;
  };

  // A name that is not its inode's first: a hard link's further names, and names of deleted entries
  // found in a record's slack. Each takes a key past the inode numbers.
  struct NameAlias {
    ExtEntry entry;
    std::int32_t target;  // key of the inode it names
    std::uint8_t type;    // the directory entry's file type (0 when the volume keeps none)
    bool deleted;
  };

  bool acceptSuperblock(std::uint64_t foundAt);
  bool groupHasSuperblock(std::uint64_t group) const;
  bool readDescriptorBlocks(std::uint64_t block, std::uint64_t count, std::size_t at);
  std::optional<std::uint64_t> inodeTableOf(std::uint32_t group) const;
  ExtEntry* slotEntry(std::int32_t key);
  // `e` with the size its inode, read on its own, holds (unchanged when the inode cannot be read).
  ExtEntry withSizeOnDisk(ExtEntry e) const;
  // A copy of the name's bytes, zero-terminated, that lives as long as the parser.
  const char* keepName(const char* name, std::size_t length);
  void storeName(std::int32_t inode, const std::byte* name, std::size_t length, std::int32_t parent);
  void storeDeletedName(std::int32_t inode, const std::byte* name, std::size_t length, std::int32_t parent,
                        std::uint8_t type);
  // Walks one run of directory records (a block, or an inline directory's part) by record length;
  // `slack` lets names in the room after a record's own length be listed as deleted.
  void scanDirectoryBlock(Bytes block, std::int32_t& current, bool& firstMark, bool slack);
  void scanSlack(Bytes block, std::size_t from, std::size_t to, std::int32_t parent);
  void scanInlineDirectory(const ExtEntry& dir, std::int32_t& current, bool& firstMark);
  bool readInode(const ExtEntry& entry, std::array<std::byte, 256>& out) const;
  // The whole inode (i_extra_isize and the in-inode attributes included).
  bool readWholeInode(const ExtEntry& entry, std::vector<std::byte>& out) const;
  // The value of the system.data attribute (an inline file's or folder's bytes past i_block), from the
  // inode's own attribute area or its attribute block; none when neither holds it.
  std::optional<std::vector<std::byte>> inlineDataTail(const std::vector<std::byte>& inode) const;
  // The inode's first 124 bytes: the copy kept from the inode-table pass, else read again.
  bool inodeOf(const ExtEntry& entry, std::array<std::byte, 256>& out) const;
  bool readBlocks(std::uint64_t physical, std::uint64_t count, std::byte* out) const;
  bool walkExtents(const std::byte* node, std::size_t nodeSize, int expectedDepth, std::uint64_t neededBlocks,
                   std::unordered_set<std::uint64_t>& visited, bool& readFailed, const RunVisitor& visit) const;
  bool walkIndirect(std::uint64_t block, int level, std::uint64_t logical, std::uint64_t neededBlocks,
                    bool& readFailed, const RunVisitor& visit) const;

  // Links to the page.
  VolumeView m_view;

  // Geometry from the superblock.
  std::int64_t m_volumeSize = 0;
  std::uint32_t m_groupCount = 0;
  std::uint32_t m_inodeCount = 0;
  std::uint64_t m_bytesPerGroup = 0;
  std::uint32_t m_blockSize = 0;
  std::uint32_t m_blocksPerGroup = 0;
  std::uint32_t m_inodeSize = 0;
  std::uint32_t m_inodesPerGroup = 0;
  std::uint64_t m_blocksCount = 0;
  std::uint32_t m_descSize = 32;
  std::uint32_t m_firstDataBlock = 0;
  std::uint32_t m_incompat = 0;
  std::uint32_t m_roCompat = 0;
  std::uint32_t m_firstMetaBg = 0;
  bool m_is64Bit = false;
  bool m_largerThanVolume = false;
  std::array<std::byte, 1024> m_superblock{};
  std::int64_t m_superblockOffset = 0;
  bool m_directoryEntryTypes = false;
  std::vector<std::byte> m_groupDescriptors;
  std::uint32_t m_unreadableGroups = 0;
  std::uint32_t m_shortenedTables = 0;
  // The seed of the metadata checksums: the volume's UUID's CRC-32C, or the superblock's own seed.
  std::uint32_t m_checksumSeed = 0;

  // Slots in use, in key order, while the parse runs; named entries no slot holds (a directory entry
  // naming an unused inode) are kept apart and merged by buildEntryMap.
  std::uint32_t m_slotCount = 0;
  ExtEntryTable m_slots;
  std::size_t m_slotHint = 0;  // where slotEntry found its last key
  // The fields of each slot in use as its inode table held them (times, mode, flags, i_block, the owners'
  // high halves), so the detail texts and the data writer read no inode twice.
  using InodeCopy = std::array<std::byte, 124>;
  using InodeTable = std::vector<InodeCopy, LargeTableAllocator<InodeCopy>>;
  InodeTable m_slotInodes;
  std::vector<ExtEntry> m_extraSlots;
  std::vector<NameAlias> m_aliases;
  std::set<std::tuple<std::int32_t, std::int32_t, std::string>> m_deletedNames;
  std::vector<DirectoryInode> m_directories;
  // Every name, zero-terminated, in blocks that never move (entries point into them).
  std::vector<std::unique_ptr<char[]>> m_nameBlocks;
  std::size_t m_nameBlockUsed = 0;
  std::size_t m_nameBlockRoom = 0;
  // The entry map: named entries and ROOT, sorted by key.
  ExtEntryTable m_map;
  std::vector<bool> m_chainEnds;
  InodeTable m_mapInodes;   // beside m_map, position for position
  std::vector<bool> m_mapHasInode;
  // The map position of each key up to the highest (-1 where none); empty when the keys lie too far
  // apart, and the map is searched instead.
  std::vector<std::int32_t> m_keyIndex;
  std::unordered_set<std::int32_t> m_deletedKeys;
};

}  // namespace tessary
