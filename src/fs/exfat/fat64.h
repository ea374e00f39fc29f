// The exFAT parser: File directory entry sets into a flat entry table linked into a tree, the results
// tree's top level, file data out to any sink, and the advanced mode's FAT, heap-offset and entry-set
// candidate searches.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "controls/xhtml_tree.h"
#include "disk/volume_view.h"
#include "fs/parser_context.h"
#include "platform/bytes.h"
#include "platform/data_sink.h"
#include "platform/page_sink.h"
#include "platform/worker.h"

namespace tessary {

// One File directory entry set.
struct ExFatRecord {
  std::uint8_t entryType = 0;  // 0x85 in use, 0x05 deleted
  std::uint16_t fileAttributes = 0;
  std::uint32_t createTimestamp = 0;  // DOS time in the low half, DOS date in the high half
  std::uint32_t modifyTimestamp = 0;
  std::uint32_t accessTimestamp = 0;
  std::uint8_t create10ms = 0;
  std::uint8_t modify10ms = 0;
  std::uint8_t createUtcOffset = 0;
  std::uint8_t modifyUtcOffset = 0;
  std::uint8_t accessUtcOffset = 0;
  std::uint8_t streamType = 0;   // 0xC0, 0x40 when deleted, 0 without a Stream Extension
  std::uint8_t streamFlags = 0;  // GeneralSecondaryFlags
  std::uint8_t nameLength = 0;
  std::uint64_t validDataLength = 0;  // the size used everywhere
  std::uint32_t firstCluster = 0;
  std::uint64_t dataLength = 0;
  std::u16string name;
  std::int32_t parentIndex = 0;
  std::int32_t selfIndex = 0;
  std::int32_t firstChild = -1;  // -1: none
  std::int32_t nextSibling = -1;
  std::uint64_t entryOffset = 0;  // volume offset of the File entry

  bool deleted() const { return entryType == 0x05; }
  // The Directory attribute bit.
  bool folder() const { return (fileAttributes & 0x10) != 0; }
};

struct Fat64Texts {
  std::string creation;
  std::string access;
  std::string modification;
  std::string attributes;
};

class Fat64Class : public ParserContext {
 public:
  static constexpr std::int64_t kNoEntry = -1;
  static constexpr const char* kDummyName = "DUMMY ENTRY";
  static constexpr const char* kOrphanName = "ORPHAN ENTRY";

  Fat64Class() = default;
  Fat64Class(const Fat64Class&) = delete;
  Fat64Class& operator=(const Fat64Class&) = delete;

  // With a formatted drive no FAT chain is followed: folders are read one cluster deep, file data from
  // consecutive clusters.
  void setDriveFormatted(bool formatted) { m_driveFormatted = formatted; }

  // The volume's bytes and its size (0: taken from the boot sector); never past the disk's end.
  void attach(const VolumeView& view, std::uint64_t volumeBytes);
  std::uint64_t volumeSize() const { return m_volumeSize; }
  // Reads and checks the boot sector ("cant read file" when it cannot be read) and takes its geometry.
  bool checkBootSector();
  bool bootSectorPassed() const { return m_bootPassed; }
  unsigned bootClusterShift() const { return m_bootClusterShift; }
  std::uint64_t fatOffset() const { return m_fatOffset; }
  std::uint64_t heapOffset() const { return m_heapOffset; }
  std::uint64_t clusterSize() const { return m_clusterSize; }
  // The root's first cluster must lie in the cluster heap.
  bool readRoot();
  // Walks the root, every cluster of its chain, and every folder below it.
  void parseRootDirectory();
  void linkEntries();
  // The tree's top item, labelled with the root label; then the root-level records below it.
  void insertTopItem();
  void fillTopLevel();

  // One step along the FAT; kEndOfChain when there is none.
  std::uint32_t nextCluster(std::uint32_t cluster);
  // The record's data and times into the sink; false when a read failed, the data ran out before the
  // size, or the sink refused bytes.
  bool writeFileData(std::int64_t index, DataSink& sink);

  // What a file holds: its DataLength, of which the bytes past ValidDataLength read as zeros. A length
  // below the valid one or past the volume cannot be right; the valid length serves then.
  std::uint64_t fileSize(const ExFatRecord& record) const;
  // Whether the allocation bitmap marks the cluster as in use; false when no bitmap was found.
  bool clusterInUse(std::uint32_t cluster);
  bool bitmapFound() const { return m_bitmapCluster >= 2; }

  Fat64Texts formatTimes(const ExFatRecord& record) const;
  std::string formatSize(const ExFatRecord& record) const;

  const std::vector<ExFatRecord>& entries() const { return m_entries; }
  bool isEntry(std::int64_t index) const { return index >= 0 && index < static_cast<std::int64_t>(m_entries.size()); }
  std::vector<std::int64_t> childEntries(std::int64_t index) const;
  void renameEntry(std::int64_t index, std::u16string name);

  // Advanced mode.
  // FAT candidates (F8 FF FF FF FF FF FF FF, at most `maximum`) and heap-offset candidates (eight bytes of
  // 0xFF, at most `maximum` + 1) in one pass over the volume in 10 MiB blocks.
  void findCandidates(int maximum);
  const std::vector<std::uint64_t>& fatCandidates() const { return m_fatCandidates; }
  std::vector<std::uint64_t>& heapCandidates() { return m_heapCandidates; }
  // 512-byte sectors and clusters of 2^exponent sectors; false for a cluster above 32 MiB.
  bool setAdvancedGeometry(unsigned exponent);
  void clearEntries();
  // Every cluster of the volume searched for complete entry sets and the root's volume label.
  void scanEntryCandidates();
  const std::vector<std::uint64_t>& entryCandidates() const { return m_entryCandidates; }
  std::uint64_t rootMarker() const { return m_rootMarker; }
  void buildFromCandidates(std::uint64_t heapOffset, std::uint64_t fatOffset);

 private:
  struct Slots;
  std::optional<std::uint64_t> clusterOffset(std::uint32_t cluster) const;
  std::uint64_t clusterLimit() const;
  bool readVolume(std::uint64_t offset, std::span<std::byte> out) const;
  std::vector<std::uint32_t> chainClusters(std::uint32_t first, std::uint64_t maxClusters);
  std::vector<std::uint32_t> folderClusters(const ExFatRecord& folder);
  // Decodes the set whose File entry is slot `at`; returns the slot after it.
  std::size_t decodeSet(Slots& slots, std::size_t at, ExFatRecord& record) const;
  // The set at slot `at` of bytes read from volume offset `base`.
  ExFatRecord decodeSetIn(std::vector<std::byte> bytes, std::uint64_t base, std::size_t at) const;
  ExFatRecord candidateSet(std::uint64_t candidate) const;
  void walkDirectory(std::int32_t parent, const std::vector<std::uint32_t>& clusters, bool root);
  void walkPendingFolders();
  bool fatChainCovers(std::uint32_t first, std::uint64_t size);
  // `bytes` from volume offset `at` into the sink, a piece at a time; false when the sink refused bytes,
  // `complete` turned false when a read failed.
  bool copyOut(std::uint64_t at, std::uint64_t bytes, DataSink& sink, bool& complete) const;
  bool writeContiguous(std::uint32_t first, std::uint64_t size, DataSink& sink);
  bool writeChained(std::uint32_t first, std::uint64_t size, DataSink& sink);
  // A deleted file's clusters from its first on, passing over those the bitmap marks as in use.
  bool writeFreeClusters(std::uint32_t first, std::uint64_t size, DataSink& sink);
  void noteRootEntry(Bytes slot);
  void loadBitmap();

  VolumeView m_view;
  bool m_driveFormatted = false;

  std::vector<std::byte> m_boot;
  bool m_bootPassed = false;
  unsigned m_bootClusterShift = 0;
  std::uint64_t m_volumeSize = 0;
  std::uint64_t m_bytesPerSector = 512;
  std::uint64_t m_clusterSize = 0;
  std::uint64_t m_fatOffset = 0;
  std::uint64_t m_heapOffset = 0;
  std::uint32_t m_rootCluster = 0;
  std::uint64_t m_chainSteps = 0;
  bool m_advanced = false;

  // The FAT window last read, so that a chain step seldom reads the disk.
  std::vector<std::byte> m_fatWindow;
  std::uint64_t m_fatWindowStart = UINT64_MAX;

  std::vector<ExFatRecord> m_entries;
  std::unordered_set<std::uint32_t> m_visitedClusters;
  std::vector<std::int32_t> m_pendingFolders;

  // The allocation bitmap named by the root's 0x81 entry: bit n is cluster n + 2.
  std::uint32_t m_bitmapCluster = 0;
  std::uint64_t m_bitmapLength = 0;
  bool m_bitmapLoaded = false;
  std::vector<std::uint8_t> m_bitmap;

  std::vector<std::uint64_t> m_fatCandidates;
  std::vector<std::uint64_t> m_heapCandidates;
  std::vector<std::uint64_t> m_entryCandidates;
  std::uint64_t m_rootMarker = 0;
  std::unordered_set<std::uint64_t> m_consumed;
  // Advanced: the root's clusters, from the root marker's cluster along the FAT.
  std::unordered_set<std::uint32_t> m_rootClusters;
};

}  // namespace tessary
