// The FAT family's parsers: FAT12/FAT16 (`Fat16Class`) and FAT32 (`Fat32Class`) turn a volume into one table
// of `FatDirRecord`s linked into a tree, write file data, and search damaged volumes for FAT copies and
// directory-entry-shaped slots (the Advanced mode).
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
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

// One directory entry as the entry table keeps it. The first eleven fields are the entry's bytes 11 to 31
// in their on-disk order (byte 12 left out).
#pragma pack(push, 1)
struct FatDirRecord {
  std::uint8_t attributes;
  std::uint8_t creationTimeTenth;
  std::uint16_t creationTime;
  std::uint16_t creationDate;
  std::uint16_t accessDate;
  std::uint16_t firstClusterHigh;
  std::uint16_t writeTime;
  std::uint16_t writeDate;
  std::uint16_t firstClusterLow;
  std::uint32_t fileSize;
  std::uint8_t deleted;      // the entry (or the first slot of its long name) begins with 0xE5
  std::uint32_t name;        // index into the parser's name list
  std::int32_t parentIndex;  // index of the parent record
  std::int32_t selfIndex;
  std::int32_t firstChild;   // -1: none
  std::int32_t nextSibling;  // -1: none

  std::uint32_t firstCluster() const { return static_cast<std::uint32_t>(firstClusterHigh) << 16 | firstClusterLow; }
};
#pragma pack(pop)
static_assert(sizeof(FatDirRecord) == 41, "FatDirRecord is packed");

// The detail list's texts of one record.
struct FatRecordTexts {
  std::string creation;
  std::string access;
  std::string modification;
  std::string attributes;
};

// Shared by both parsers; the two classes below fix the family's differences.
class FatParser : public ParserContext {
 public:
  static constexpr std::int32_t kNone = -1;
  // The tree's top item carries no record.
  static constexpr std::int64_t kTopItemData = -1;

  virtual ~FatParser() = default;

  // Remembers the volume's bytes; every offset below is volume-relative.
  void attach(const VolumeView& view) { m_view = view; }
  // The volume record's size in MB shifted left by 20.
  void setVolumeSize(std::uint64_t bytes) { m_volumeSize = bytes; }
  std::uint64_t volumeSize() const { return m_volumeSize; }

  // Reads sector 0 and checks it; false: not a volume of this family.
  bool checkBootSector();
  bool bootSectorValid() const { return m_bootValid; }
  std::uint8_t bootSectorsPerCluster() const { return m_bootSectorsPerCluster; }
  // Loads the first FAT copy (whole).
  void readFat();
  // Parses the root folder and everything below it into the table.
  void parseRootDirectory();
  // Sets firstChild and nextSibling for the whole table; nothing may be appended afterwards.
  void linkEntries();
  // Inserts the top item and the root-level records into the tree.
  void fillTopLevel();
  // One step along a chain: the next cluster, or the end value (0xFFFFFFFF) at a chain's end.
  std::uint32_t nextCluster(std::uint32_t cluster) const;
  static constexpr std::uint32_t kEndOfChain = 0xFFFFFFFF;
  // Whether the FAT marks the cluster free (entry 0); none when no FAT was read or its table does not
  // reach the cluster.
  std::optional<bool> clusterFree(std::uint32_t cluster) const;

  // The record's data and times into the sink; false when a read failed, the data ran out before the
  // size was covered, or the sink refused bytes.
  bool writeFileData(std::int64_t index, DataSink& sink);

  FatRecordTexts formatTimes(const FatDirRecord& record) const;

  // The Advanced mode.
  // Byte offsets of FAT starts, at most `maximum` (below 1: 3).
  std::vector<std::uint64_t> findFatCandidates(int maximum);
  // The user's choice of cluster size: bytes per sector 512, `sectorsPerCluster` per cluster.
  void setAdvancedGeometry(std::uint32_t sectorsPerCluster);
  // Chains are read from the FAT at this offset.
  void loadFatAt(std::uint64_t offset);
  // Scans the whole volume for directory-entry-shaped slots.
  void scanEntryCandidates();
  // Builds the table from the entry candidates.
  void buildFromCandidates();
  const std::vector<std::uint64_t>& entryCandidates() const { return m_entryCandidates; }
  // Empties the table, the visited clusters and the candidates of an earlier run.
  void resetTable();

  // "Is Drive Formated..?": no chain is followed; folders are read one cluster deep and file data from
  // consecutive clusters.
  bool driveFormatted = false;

  bool isEntry(std::int64_t index) const { return index >= 0 && static_cast<std::uint64_t>(index) < m_entries.size(); }
  const std::vector<FatDirRecord>& entries() const { return m_entries; }
  const FatDirRecord& entry(std::int64_t index) const { return m_entries[static_cast<std::size_t>(index)]; }
  std::u16string entryName(std::int64_t index) const;
  std::vector<std::int64_t> childEntries(std::int64_t index) const;
  void renameEntry(std::int64_t index, std::u16string name);
  bool isFolderRecord(std::int64_t index) const;
  // The volume label's record: no file, no folder.
  bool isLabelRecord(std::int64_t index) const;
  // What an attribute byte makes of a slot.
  static bool isLongNameAttribute(std::uint8_t attributes) { return (attributes & 0x3F) == 0x0F; }
  static bool isLabelAttribute(std::uint8_t attributes) {
    return !isLongNameAttribute(attributes) && (attributes & 0x18) == 0x08;
  }
  static bool isFolderAttribute(std::uint8_t attributes) {
    return !isLongNameAttribute(attributes) && (attributes & 0x18) == 0x10;
  }
  // The checksum a long name's slots carry for the 11 bytes of their short name.
  static std::uint8_t shortNameChecksum(Bytes name11);
  bool fat32() const { return m_fat32; }
  // 12, 16 or 32 once the boot sector (or the Advanced choice) has been read.
  int entryBits() const { return m_entryBits; }
  std::uint32_t clusterSize() const { return m_clusterSize; }
  // The volume-relative byte offset where a data cluster begins; none for a cluster outside the volume.
  std::optional<std::uint64_t> clusterStart(std::uint32_t cluster) const {
    if (!clusterInVolume(cluster)) return std::nullopt;
    return clusterOffset(cluster);
  }

 protected:
  explicit FatParser(bool fat32) : m_fat32(fat32) {}

 private:
  struct LongName {
    std::u16string text;
    bool deleted = false;
    bool pending = false;
    std::uint8_t checksum = 0;  // of the short name the slots belong to
  };
  struct FolderWork {
    std::int32_t index;
    std::uint32_t cluster;
    int furtherClusters;  // clusters of its chain after the first to read (-1: to the chain's end)
  };

  std::vector<std::byte> readBytes(std::uint64_t offset, std::size_t size, bool* complete = nullptr) const;
  std::uint64_t clusterOffset(std::uint32_t cluster) const;
  std::uint32_t rawEntry(std::uint32_t cluster) const;
  bool clusterInVolume(std::uint32_t cluster) const;
  void computeCounts();
  bool geometrySound(Bytes boot) const;
  // The Advanced FAT12/16 layout once the FAT is chosen: from the boot sector when the FAT is one of its
  // copies, else from the other copy and the "." slots the scan finds.
  bool takeBootLayout(std::uint64_t fatOffset);
  void settleDataStart();
  void noteDotSlot(Bytes block, std::size_t at, std::uint64_t offset);
  std::u16string shortName(Bytes slot, bool file) const;
  std::size_t gatherLongName(Bytes buffer, std::size_t at);
  // The name of the short-name slot: the pending long name when its checksum fits the slot, else the
  // short name. Clears the pending long name.
  std::u16string takeName(Bytes slot, bool folder);
  std::int32_t appendRecord(Bytes slot, std::int32_t parent, std::u16string name, bool deleted);
  // Walks a folder's slots; sub-folders go to `work`. `root` relaxes the first-slot test.
  // `chunkOffsets` are the volume offsets of the buffer's pieces of `chunk` bytes (the clusters read).
  void walkSlots(Bytes buffer, std::int32_t parent, bool root, std::vector<FolderWork>& work,
                 const std::vector<std::uint64_t>& chunkOffsets, std::size_t chunk, bool advanced);
  bool parseFolder(const FolderWork& folder, std::vector<FolderWork>& work, bool advanced);
  void drainFolders(std::vector<FolderWork>& work, bool advanced);
  bool topLevelAttribute(std::uint8_t attributes) const;
  bool entryCandidate(Bytes slot, std::uint64_t clusterCount);

  const bool m_fat32;
  VolumeView m_view;
  std::uint64_t m_volumeSize = 0;

  // Geometry.
  std::vector<std::byte> m_boot;
  bool m_bootValid = false;
  std::uint8_t m_bootSectorsPerCluster = 0;
  std::uint32_t m_bytesPerSector = 0;
  std::uint32_t m_sectorsPerCluster = 0;
  std::uint32_t m_clusterSize = 0;
  std::uint64_t m_fatOffset = 0;
  std::uint64_t m_fatBytes = 0;
  std::uint64_t m_rootOffset = 0;     // FAT12/16: the fixed root area
  std::uint64_t m_rootBytes = 0;
  std::uint32_t m_rootCluster = 0;    // FAT32
  std::uint64_t m_dataOffset = 0;     // byte offset of cluster 2
  std::uint64_t m_totalBytes = 0;     // what the clusters may span
  std::uint64_t m_clusterCount = 0;   // clusters 2 .. clusterCount + 1 exist
  int m_entryBits = 16;
  std::vector<std::byte> m_fat;
  bool m_advanced = false;

  // The table and its names.
  std::vector<FatDirRecord> m_entries;
  std::vector<std::u16string> m_names;
  std::unordered_set<std::uint32_t> m_visitedClusters;
  LongName m_longName;

  // Advanced state.
  std::vector<std::uint64_t> m_fatCandidates;
  std::vector<std::uint64_t> m_entryCandidates;
  std::unordered_set<std::uint64_t> m_consumed;
  bool m_rootMarkerSeen = false;
  // FAT12/16: the layout came from a sound boot sector whose FAT the user chose.
  bool m_layoutFromBoot = false;
  // FAT12/16: where cluster 2 starts, by the "." slots found (each names its own cluster), and how often.
  std::map<std::uint64_t, int> m_dataStartVotes;
};

class Fat16Class : public FatParser {
 public:
  Fat16Class() : FatParser(false) {}
};

class Fat32Class : public FatParser {
 public:
  Fat32Class() : FatParser(true) {}
};

}  // namespace tessary
