// The NTFS parser as the results page, the save engine, the command line and the carver use it: open a
// volume, parse it in one of the three modes, fill the tree, answer for its entries and write a file's
// data. Its units (record parsing, links, deep scan, data writer) live behind ntfs_detail.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "controls/xhtml_tree.h"
#include "platform/file_time.h"
#include "platform/worker.h"

namespace tessary {

class readWriteInterface;
class DataSink;
class PageSink;
class VolumeView;
struct VolumeEntry;
struct Run;

namespace ntfs_detail {
class DataWriter;
}

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

class ntfs {
 public:
  // Tree item data of the top item: no entry.
  static constexpr std::int64_t kNoEntry = -1;

  ntfs();
  ~ntfs();
  ntfs(const ntfs&) = delete;
  ntfs& operator=(const ntfs&) = delete;

  // Links the results page hands over before the worker starts.
  void setVolume(const VolumeEntry& volume);
  void setTree(CXHtmlTree* tree, std::string topItemText, TreeIcon topItemIcon = TreeIcon::Folder);
  void setSink(PageSink* sink);
  void setWorkerControl(std::optional<WorkerControl> control);
  void setMode(int mode);
  int mode() const;
  StopFlag& stopFlag();
  TreeItem topItem() const;

  // The volume's bytes; the reader form makes a view from the volume record's start sector. Attaching
  // inserts the tree's top item.
  void attachVolume(const VolumeView& view);
  void attachVolume(readWriteInterface* reader);

  // Standard mode: the boot sector, the MFT it points to, the MFT's records and their links.
  void readBootSector();
  void locateMft();
  void collectMftRecords();
  void parseAllEntries();
  // Advanced mode: up to `maximum` places where an MFT begins; one of them is then taken as the MFT's
  // (false when it yields no run list), with the table emptied first.
  int searchMftCandidates(int maximum);
  const std::vector<MftEntry>& mftCandidates() const;
  bool selectMftCandidate(int number);
  static std::string noMftRunStatus(int number);
  void emptyTable();
  // Deep mode: every MFT record of the volume wherever it lies.
  void deepScan();

  // The entries once the worker has finished.
  const std::vector<MftEntry>& entries() const;
  std::int64_t entryCount() const;
  bool isEntry(std::int64_t index) const;  // a valid index whose signature is "FILE"
  std::string entryName(std::int64_t index) const;  // UTF-8, empty without a name
  std::u16string entryNameUtf16(std::int64_t index) const;
  bool isFolder(std::int64_t index) const;
  bool isDeleted(std::int64_t index) const;
  // The children of a folder in link order; a chain that runs into itself ends there.
  std::vector<std::int64_t> childEntries(std::int64_t index) const;
  std::int64_t rootIndex() const;
  std::int64_t orphanIndex() const;
  // Gives an entry a new name, as the recycle-bin names are restored.
  void renameEntry(std::int64_t index, const std::u16string& name);
  void renameEntry(std::int64_t index, const std::string& utf8Name);
  NtfsFileTimes getFileTimeStructure(std::int64_t recordOffset);
  EntryTimeTexts formatEntryTimes(const MftEntry& entry);
  std::string formatEntrySize(std::int64_t entryIndex);
  // The exact number of bytes a dump writes for the entry's content.
  std::uint64_t entryDataSize(std::int64_t index);

  // The volume as parsed.
  std::int64_t clusterSize() const;
  void setClusterSize(std::int64_t bytes);
  std::int64_t volumeSize() const;
  std::int64_t bytesPerSector() const;
  std::size_t recordSize() const;
  const std::vector<Run>& runList() const;
  bool mftRunKnown() const;
  // How many parts of the volume the last scan could not read and went past.
  std::uint64_t refusedParts() const;

  // File data. A dump writes the entry named by its index text into the output folder (the folder text
  // then holds the file's full path); writeEntryData writes the content and times into any sink and is
  // false when the sink refused bytes.
  void setOutputFolder(std::string folder);
  const std::string& outputFolder() const;
  void dumpEntry(const std::string& indexText);
  bool writeEntryData(std::int64_t index, DataSink& sink);
  // What the last dump did: the file it wrote (empty when none was created) and its byte count.
  const std::string& lastDumpPath() const;
  std::uint64_t lastDumpWritten() const;

  // The parser's units, for the carver's and the tests' finer questions (fs/ntfs/ntfs_data.h).
  ntfs_detail::DataWriter& detail() { return *m_parser; }
  const ntfs_detail::DataWriter& detail() const { return *m_parser; }

 private:
  std::unique_ptr<ntfs_detail::DataWriter> m_parser;
};

}  // namespace tessary
