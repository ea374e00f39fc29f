// The NTFS parser: MFT records into the entry table and the results tree, and file data out to host files.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "controls/xhtml_tree.h"
#include "fs/parser_context.h"
#include "platform/file_time.h"
#include "platform/files.h"
#include "platform/worker.h"
#include "volumes/volume_entry.h"

namespace tessary {

class readWriteInterface;
class PageSink;
class VolumeView;

namespace ntfs_detail {
class VolumeIo;
}

// The MFT record size of most volumes, and the largest the parser reads (volumes with 4096-byte sectors).
constexpr std::size_t kMftRecordSize = 1024;
constexpr std::size_t kMaxMftRecordSize = 4096;

// One MFT record of the volume as the entry table keeps it; also what a results-tree item stands for.
#pragma pack(push, 1)
struct MftEntry {
  char signature[4];              // first four bytes of the record as read ("FILE" when valid)
  std::int64_t recordOffset;      // byte offset of the record from the volume start
  const char16_t* name;           // NUL-terminated, owned by the parser's name list; null without a name
  std::int64_t parent;            // index of the parent entry (low 48 bits of the parent reference)
  std::int64_t nameAllocatedSize; // $FILE_NAME allocated size
  std::uint16_t recordFlags;      // record header flags; bit 0 clear = deleted
  char kind;                      // 'D' for a directory, else 0
  std::int64_t index;             // the entry's own index
  std::uint8_t orphan;            // 1 when the parent reference cannot be used
  std::int64_t firstChild;        // 0: no children
  std::int64_t nextSibling;       // 0 or negative ends the chain
};
#pragma pack(pop)
static_assert(sizeof(MftEntry) == 64, "MftEntry is a packed 64-byte record");

// The parser's record views, runs, data descriptors and LZNT1 state live in ntfs_records.h.
struct AttributeHeaderCopy;
struct MftRecordView;
struct Run;
struct DatStruct;
struct Lznt1State;

// $STANDARD_INFORMATION times and the attribute text of a record.
struct NtfsFileTimes {
  bool hasTimes = false;  // false when the record has no $STANDARD_INFORMATION
  FileTime creation = 0;
  FileTime modification = 0;
  FileTime access = 0;
  FileTime change = 0;
  std::string attributes;
};

// The detail list's texts for one entry.
struct EntryTimeTexts {
  std::string creation;
  std::string access;
  std::string modification;
  std::string attributes;
};

class ntfs : public ParserContext {
 public:
  // Tree item data of the top item: no entry.
  static constexpr std::int64_t kNoEntry = -1;
  static constexpr std::int64_t kDefaultRootIndex = 5;

  ntfs();
  virtual ~ntfs();
  ntfs(const ntfs&) = delete;
  ntfs& operator=(const ntfs&) = delete;

  // Links the results page hands over before the worker starts.
  void setVolume(const VolumeEntry& volume);
  void setTree(CXHtmlTree* tree, std::string topItemText, TreeIcon topItemIcon = TreeIcon::Folder);
  void setMode(int mode) { m_mode = mode; }
  int mode() const { return m_mode; }

  // Volume and MFT.
  // The volume's bytes; the reader form makes a view from the volume record's start sector.
  void attachVolume(const VolumeView& view);
  void attachVolume(readWriteInterface* reader);
  void readBootSector();
  void locateMft();
  void collectMftRecords();
  void parseAllEntries();
  void parseEntry(std::int64_t recordOffset, std::int64_t entryIndex);
  // Advanced mode: the places where an MFT begins, each the $MFT record seven records before a $Boot
  // record, at most `maximum` (3 when below 1); returns how many were found. The records met on the way
  // stay in the table until the advanced worker empties it.
  int searchMftCandidates(int maximum);
  const std::vector<MftEntry>& mftCandidates() const { return m_candidates; }
  // Takes candidate `number`'s $MFT run list as the MFT's; false when it yields no run.
  // The status line of a candidate that gives no run list of the MFT.
  static std::string noMftRunStatus(int number);
  bool selectMftCandidate(int number);
  // Deep mode: every MFT record of the volume wherever it lies, without the MFT's own run list.
  void deepScan();
  // Empties the entry table (the advanced worker starts from an empty one).
  void emptyTable() { clearTable(); }
  void appendChild(std::int64_t child);
  MftRecordView getMftEntry(std::int64_t entryIndex);
  // The update sequence fixup of a raw record, with the header copy giving its array.
  std::vector<std::byte> applyFixup(std::span<const std::byte> raw, std::span<const std::byte> header) const;
  NtfsFileTimes getFileTimeStructure(std::int64_t recordOffset);
  EntryTimeTexts formatEntryTimes(const MftEntry& entry);
  std::string formatEntrySize(std::int64_t entryIndex);

  // File data.
  std::vector<Run> getRun2(std::int64_t recordOffset, std::uint32_t attributeType);
  std::vector<std::uint32_t> getRun(std::int64_t recordOffset);
  DatStruct getDatStruct(const MftRecordView& view);
  void setAttributListVector(const MftRecordView& view);
  void AttributeListDataToFile(const DatStruct& desc2);
  void dumpEntry(const std::string& indexText);
  // The entry's content and times into any sink (dumpEntry's writer); false when the sink refused bytes.
  bool writeEntryData(std::int64_t index, DataSink& sink);

  // LZNT1, one compression unit at a time (capacity = unit clusters x cluster size).
  bool ntfs_uncompress_setup(Lznt1State& state, std::uint16_t unitClusters, std::span<const std::byte> input,
                             std::span<std::byte> output) const;
  static void ntfs_uncompress_reset(Lznt1State& state);
  static void ntfs_uncompress_compunit(Lznt1State& state);

  // The dump's output folder text: set before each dump; a dump leaves the full output path in it.
  std::string outputFolder;

  // What the page, the save engine and the command line read once the worker has finished.
  const std::vector<MftEntry>& entries() const { return m_entries; }
  std::int64_t entryCount() const { return static_cast<std::int64_t>(m_entries.size()); }
  bool isEntry(std::int64_t index) const;  // a valid index whose signature is "FILE"
  std::string entryName(std::int64_t index) const;  // UTF-8, empty without a name
  std::u16string entryNameUtf16(std::int64_t index) const;
  bool isFolder(std::int64_t index) const;
  bool isDeleted(std::int64_t index) const;
  // The children of a folder in link order; a chain that runs into itself ends there.
  std::vector<std::int64_t> childEntries(std::int64_t index) const;
  // The exact number of bytes dumpEntry writes for the entry's content.
  std::uint64_t entryDataSize(std::int64_t index);
  // Gives an entry a new name (a buffer in the name list), as the recycle-bin names are restored.
  void renameEntry(std::int64_t index, const std::u16string& name);
  void renameEntry(std::int64_t index, const std::string& utf8Name);
  std::int64_t clusterSize() const { return m_clusterSize; }
  void setClusterSize(std::int64_t bytes) {
    m_clusterSize = bytes;
    m_sizeMemo.reset();
  }
  std::int64_t volumeSize() const { return m_volumeSize; }
  // The volume's bytes per sector (the boot sector's, 512 without one) and its MFT records' size.
  std::int64_t bytesPerSector() const { return m_bytesPerSector; }
  std::size_t recordSize() const { return m_recordSize; }
  std::int64_t rootIndex() const { return m_rootIndex; }
  std::int64_t orphanIndex() const { return m_orphanIndex; }
  const std::vector<Run>& runList() const { return m_runList; }
  bool mftRunKnown() const { return m_mftRunKnown; }
  bool lookForMft() const { return m_lookForMft; }
  void setLookForMft(bool on) { m_lookForMft = on; }
  std::int64_t mftOffset() const { return m_mftOffset; }
  std::uint64_t refusedParts() const { return m_refusedParts; }
  const std::array<std::byte, 512>& bootSector() const { return m_bootSector; }
  const std::vector<std::uint64_t>& extensionList() const { return m_extensionList; }
  std::uint32_t totalClusterCount() const { return m_totalClusterCount; }
  bool hasOwnData() const { return m_hasOwnData; }
  bool dataInAttributeList() const { return m_dataInAttributeList; }
  // What the last dump did: the file it wrote (empty when none was created) and its byte count.
  const std::string& lastDumpPath() const { return m_lastDumpPath; }
  std::uint64_t lastDumpWritten() const { return m_lastDumpWritten; }

 private:
  struct LinkCache;
  struct DataPiece;
  class Writer;

  bool clusterSizeUsable(std::int64_t bytes) const;
  std::int64_t bootClusterSize() const;
  // The cluster size a boot sector gives.
  static std::int64_t clusterSizeOf(std::span<const std::byte, 512> boot);
  void scanForMft();
  // A record found by the deep scan: what links it to its parent and what finds its extension records.
  struct FoundRecord {
    std::int64_t offset = 0;
    std::uint64_t baseReference = 0;
    std::uint64_t parentReference = 0;
    std::uint32_t number = 0;
    std::uint32_t size = kMftRecordSize;  // the record's own size
    std::uint16_t sequence = 0;
    std::uint16_t flags = 0;  // the record header's flags
    bool numbered = false;  // false when the record format keeps no record number in its header
    bool inUse = false;
    int generation = -1;  // the volume generation whose MFT holds the record; -1: none known
  };
  // Deep mode: a volume whose $MFT record and boot sector were found inside this one (the volume itself,
  // or an older one the disk held before it was partitioned and formatted again): where its cluster 0
  // lies in this volume, its cluster size, and the byte ranges its MFT covers.
  struct Generation {
    std::int64_t origin = 0;
    std::int64_t clusterSize = 0;
    std::vector<std::pair<std::int64_t, std::int64_t>> mft;
  };
  void findGenerations();
  // Whether the $MFTMirr record after found record `mftRecord` (record 0) puts a copy of record 0 where
  // `clusterSize` says; true when there is no such record to ask.
  bool mirrorAgrees(std::size_t mftRecord, std::int64_t clusterSize);
  // While it lives, file data is read in the cluster frame of the entry's generation (deep mode).
  class GenerationFrame {
   public:
    GenerationFrame(ntfs& parser, std::int64_t index);
    ~GenerationFrame();
    GenerationFrame(const GenerationFrame&) = delete;
    GenerationFrame& operator=(const GenerationFrame&) = delete;

   private:
    ntfs& m_parser;
    std::int64_t m_clusterSize;
    std::int64_t m_origin;
  };
  // Walks the volume's first `end` bytes in pieces; `onRecord` gets the volume offset of each 512-byte
  // step that can start an MFT record and returns false to end the walk. `beforePiece` returns false to
  // end it before the next piece.
  template <typename BeforePiece, typename OnRecord>
  void scanRecordCandidates(std::int64_t end, BeforePiece beforePiece, OnRecord onRecord);
  // A name the deep scan found in an extension record, for its base record.
  struct ExtensionName {
    std::size_t found = 0;  // the extension record in the found records
    const char16_t* name = nullptr;
    char kind = 0;
    std::int64_t nameAllocatedSize = 0;
  };
  void nameFromExtensions(const std::vector<ExtensionName>& names);
  void linkDeepEntries();
  // One name of entry `entryIndex`: its first becomes the entry's, every further one an extra name.
  void takeName(std::int64_t entryIndex, std::u16string_view text, std::uint64_t parentReference,
                std::int64_t allocated, std::uint16_t headerFlags, bool linking, bool dosOnly);
  // Every extra name becomes an entry of its own, linked under the parent that name gives.
  void addExtraNames();
  // A name of a file beyond its first (hard links), waiting for the table to be complete.
  struct ExtraName {
    std::int64_t index = 0;
    const char16_t* name = nullptr;
    std::int64_t parent = 0;
    std::int64_t allocated = 0;
  };
  // Where record `record` of the file whose base record is `baseRecord` (at `baseOffset`) lies.
  std::optional<std::int64_t> extensionRecordOffset(std::uint64_t record, std::uint64_t baseRecord,
                                                    std::int64_t baseOffset) const;
  std::int64_t volumeLimit() const;
  const char16_t* storeName(std::u16string_view name);
  void clearTable();
  bool walkChain(std::int64_t from, std::vector<std::int64_t>* out) const;
  // Makes `child` the first child of `parent`, keeping the cached chain ends in step.
  void makeFirstChild(std::int64_t parent, std::int64_t child);
  void orphanChildrenOfFiles();
  void linkOrphans();
  void repairLinks();
  void fillTopLevel();
  MftRecordView readView(std::int64_t recordOffset);
  // The size of the record at `recordOffset`: the MFT's record size, or in the scans (where records of
  // any volume may be met) the size the record's own header gives.
  std::size_t recordSizeAt(std::int64_t recordOffset);
  // Reads the record at `recordOffset` into the front of `buffer`; its size, or 0 when it cannot be read.
  std::size_t readRawRecord(std::int64_t recordOffset, std::span<std::byte, kMaxMftRecordSize> buffer);
  std::vector<Run> runsOf(const MftRecordView& view, std::uint32_t attributeType,
                          std::optional<std::int64_t> startVcn = std::nullopt);
  DataPiece dataPiece(const MftRecordView& view);
  std::uint64_t sizeOf(const MftRecordView& view);
  void writePlain(Writer& writer, const std::vector<Run>& runs);
  void writeCompressed(Writer& writer, const std::vector<Run>& runs, std::uint16_t unitClusters);
  bool readClusters(std::int64_t lcn, std::uint64_t count, std::span<std::byte> out);

  // Links to the page.
  readWriteInterface* m_reader = nullptr;
  std::unique_ptr<ntfs_detail::VolumeIo> m_io;
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
  std::vector<MftEntry> m_candidates;
  // The candidate search parses records only for their names: nothing is linked.
  bool m_searching = false;
  // What the last parseEntry read: the record's header and its first name's parent reference.
  std::array<std::byte, 48> m_lastHeader{};
  std::uint64_t m_lastParentReference = 0;
  // Deep mode: every record found in disk order, and by entry index the found record it stands for.
  std::vector<FoundRecord> m_found;
  std::vector<std::size_t> m_entryFound;
  std::vector<Generation> m_generations;
  // How many parts of the volume the last scan could not read and went past.
  std::uint64_t m_refusedParts = 0;
  // Where cluster 0 of the clusters being read lies in this volume (not 0 only for an older generation).
  std::int64_t m_clusterOrigin = 0;

  // Names beyond each file's first, and the entries named so far only by a DOS name.
  std::vector<ExtraName> m_extraNames;
  std::unordered_set<std::int64_t> m_dosNamed;
  // The entry table and its names.
  std::vector<MftEntry> m_entries;
  std::vector<std::unique_ptr<char16_t[]>> m_nameBlocks;
  std::size_t m_nameBlockUsed = 0;
  std::size_t m_nameBlockSize = 0;
  std::int64_t m_rootIndex = kDefaultRootIndex;
  std::int64_t m_orphanIndex = -1;
  std::unique_ptr<LinkCache> m_linkCache;
  // entryDataSize's answers by entry, once the table is complete (the listing asks for each size twice).
  std::unique_ptr<std::atomic<std::uint64_t>[]> m_sizeMemo;
  std::size_t m_sizeMemoCount = 0;

  // File data state of the dump being made.
  bool m_hasOwnData = false;
  bool m_dataInAttributeList = false;
  std::uint32_t m_totalClusterCount = 0;
  std::vector<std::uint64_t> m_extensionList;
  std::vector<std::int64_t> m_extensionVcns;
  std::vector<Run> m_combinedRuns;
  std::string m_lastDumpPath;
  std::uint64_t m_lastDumpWritten = 0;
  DataSink* m_output = nullptr;
  bool m_writeFailed = false;
  std::vector<std::byte> m_scratch;
};

}  // namespace tessary
