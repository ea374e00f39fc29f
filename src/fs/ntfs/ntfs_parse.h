// The NTFS record parser: the boot sector, where the MFT lies, the walk of its runs, and each record's
// names and times into the entry table. Private to the parser (and its tests).
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "controls/xhtml_tree.h"
#include "fs/ntfs/ntfs.h"
#include "fs/ntfs/ntfs_layout.h"
#include "fs/ntfs/ntfs_links.h"
#include "fs/ntfs/ntfs_records.h"
#include "volumes/volume_entry.h"

namespace tessary {

class readWriteInterface;
class VolumeView;

namespace ntfs_detail {

class VolumeIo;

class RecordParser : public EntryTable {
 public:
  RecordParser();
  ~RecordParser() override;

  // Links the results page hands over before the worker starts.
  void setVolume(const VolumeEntry& volume);
  void setTree(CXHtmlTree* tree, std::string topItemText, TreeIcon topItemIcon = TreeIcon::Folder);
  void setMode(int mode) { m_mode = mode; }
  int mode() const { return m_mode; }

  // The volume's bytes; the reader form makes a view from the volume record's start sector.
  void attachVolume(const VolumeView& view);
  void attachVolume(readWriteInterface* reader);
  void readBootSector();
  void locateMft();
  void collectMftRecords();
  void parseAllEntries();
  void parseEntry(std::int64_t recordOffset, std::int64_t entryIndex);
  // Empties the entry table (the advanced worker starts from an empty one).
  void emptyTable() { clearTable(); }
  // The update sequence fixup of a raw record, with the header copy giving its array.
  std::vector<std::byte> applyFixup(std::span<const std::byte> raw, std::span<const std::byte> header) const;
  NtfsFileTimes getFileTimeStructure(std::int64_t recordOffset);
  EntryTimeTexts formatEntryTimes(const MftEntry& entry);
  std::string formatEntrySize(std::int64_t entryIndex);

  // The runs of the record's unnamed non-resident attribute of `attributeType` (the data unit reads them).
  virtual std::vector<Run> getRun2(std::int64_t recordOffset, std::uint32_t attributeType) = 0;
  // The exact number of bytes a dump writes for the entry's content (the data unit answers).
  virtual std::uint64_t entryDataSize(std::int64_t index) = 0;

  std::int64_t clusterSize() const { return m_clusterSize; }
  void setClusterSize(std::int64_t bytes) {
    m_clusterSize = bytes;
    m_sizeMemo.reset();
  }
  std::int64_t volumeSize() const { return m_volumeSize; }
  // The volume's bytes per sector (the boot sector's, 512 without one) and its MFT records' size.
  std::int64_t bytesPerSector() const { return m_bytesPerSector; }
  std::size_t recordSize() const { return m_recordSize; }
  const std::vector<Run>& runList() const { return m_runList; }
  bool mftRunKnown() const { return m_mftRunKnown; }
  bool lookForMft() const { return m_lookForMft; }
  void setLookForMft(bool on) { m_lookForMft = on; }
  std::int64_t mftOffset() const { return m_mftOffset; }
  const std::array<std::byte, 512>& bootSector() const { return m_bootSector; }

 protected:
  // A name of a file beyond its first (hard links), waiting for the table to be complete.
  struct ExtraName {
    std::int64_t index = 0;
    const char16_t* name = nullptr;
    std::int64_t parent = 0;
    std::int64_t allocated = 0;
  };

  // Deep mode: links the records the deep scan found (the deep scan unit does it).
  virtual void linkDeepEntries() = 0;
  // Empties the entry table and what was learnt with it; the units that keep more empty theirs too.
  virtual void clearTable();

  bool clusterSizeUsable(std::int64_t bytes) const;
  std::int64_t bootClusterSize() const;
  // The cluster size a boot sector gives.
  static std::int64_t clusterSizeOf(std::span<const std::byte, 512> boot);
  void scanForMft();
  // One name of entry `entryIndex`: its first becomes the entry's, every further one an extra name.
  void takeName(std::int64_t entryIndex, std::u16string_view text, std::uint64_t parentReference,
                std::int64_t allocated, std::uint16_t headerFlags, bool linking, bool dosOnly);
  // Every extra name becomes an entry of its own, linked under the parent that name gives.
  void addExtraNames();
  std::int64_t volumeLimit() const;
  void fillTopLevel();
  MftRecordView readView(std::int64_t recordOffset);
  // The size of the record at `recordOffset`: the MFT's record size, or in the scans (where records of
  // any volume may be met) the size the record's own header gives.
  std::size_t recordSizeAt(std::int64_t recordOffset);
  // Reads the record at `recordOffset` into the front of `buffer`; its size, or 0 when it cannot be read.
  std::size_t readRawRecord(std::int64_t recordOffset, std::span<std::byte, kMaxMftRecordSize> buffer);

  // Links to the page.
  readWriteInterface* m_reader = nullptr;
  std::unique_ptr<VolumeIo> m_io;
  VolumeEntry m_volume;
  TreeIcon m_topItemIcon = TreeIcon::Folder;
  int m_mode = 1;

  // Volume geometry.
  std::int64_t m_volumeStartSector = 0;
  std::int64_t m_volumeSize = 0;
  bool m_volumeSizeFromBoot = false;
  std::int64_t m_clusterSize = 4096;
  std::int64_t m_bytesPerSector = 512;
  std::size_t m_recordSize = kMftRecordSize;
  std::array<std::byte, 512> m_bootSector{};
  bool m_bootRead = false;
  std::int64_t m_mftOffset = 0;
  std::vector<Run> m_runList;
  bool m_mftRunKnown = false;
  bool m_lookForMft = true;
  // The candidate search parses records only for their names: nothing is linked.
  bool m_searching = false;
  // What the last parseEntry read: the record's header and its first name's parent reference.
  std::array<std::byte, 48> m_lastHeader{};
  std::uint64_t m_lastParentReference = 0;
  // Where cluster 0 of the clusters being read lies in this volume (not 0 only for an older generation).
  std::int64_t m_clusterOrigin = 0;

  // Names beyond each file's first, and the entries named so far only by a DOS name.
  std::vector<ExtraName> m_extraNames;
  std::unordered_set<std::int64_t> m_dosNamed;
  // entryDataSize's answers by entry, once the table is complete (the listing asks for each size twice).
  std::unique_ptr<std::atomic<std::uint64_t>[]> m_sizeMemo;
  std::size_t m_sizeMemoCount = 0;
};

}  // namespace ntfs_detail
}  // namespace tessary
