// The NTFS parser on the results page: its worker and what the page, the save engine and the search ask.
#include <algorithm>
#include <memory>

#include "disk/volume_view.h"
#include "fs/ntfs/ntfs.h"
#include "platform/files.h"
#include "platform/text.h"
#include "fs/candidate_scan.h"
#include "fs/parser_slot.h"

namespace tessary {

namespace {

class NtfsSlot : public ParserSlot {
 public:
  StopFlag& stopFlag() override { return m_ntfs.stopFlag(); }
  std::string selectedStatus() const override { return "ntfs partition selected...."; }
  bool supportsMode(int mode) const override { return mode >= 1 && mode <= 3; }

  ntfs& parser() { return m_ntfs; }
  // The advanced-input page's choices: the MFT candidate and the sectors per cluster (0: the boot
  // sector's cluster size).
  void chooseAdvanced(int candidate, std::int64_t sectorsPerCluster) {
    m_candidate = candidate;
    m_sectorsPerCluster = sectorsPerCluster;
  }
  void link(const ParserLinks& links) {
    m_ntfs.setVolume(links.volume);
    m_ntfs.setSink(links.sink);
    m_ntfs.setWorkerControl(links.control);
    m_ntfs.setMode(links.mode);
    m_ntfs.attachVolume(links.view);
  }

  WorkerOutcome runWorker(const ParserLinks& links) override {
    // The tree first: attaching the volume inserts the top item into it.
    m_ntfs.setTree(links.tree, links.topItemText, TreeIcon::Folder);
    link(links);
    m_ntfs.readBootSector();
    bool runless = false;
    if (links.mode == 1) {
      if (links.sink) links.sink->setStatus(" ParsingBasedOnMFT is going on....");
      m_ntfs.locateMft();
    } else if (links.mode == 2) {
      // The search's records go; the chosen candidate's $MFT runs are walked with the chosen cluster size.
      m_ntfs.stopFlag() = 0;
      m_ntfs.emptyTable();
      runless = !m_ntfs.selectMftCandidate(m_candidate);
      if (m_sectorsPerCluster > 0) m_ntfs.setClusterSize(m_sectorsPerCluster * 512);
    } else if (links.mode == 3) {
      if (links.sink) links.sink->setStatus(" scanning for mft entries in deep mode ....");
      m_ntfs.deepScan();
    }
    m_ntfs.collectMftRecords();
    m_ntfs.parseAllEntries();
    // The tree shows only the orphan folder: the last status line says why.
    if (runless) return {"Scanning process completed.", ntfs::noMftRunStatus(m_candidate)};
    return {"Scanning process completed.", "Processing done..."};
  }

  TreeItem topItem() const override { return m_ntfs.topItem(); }

  bool validItem(std::int64_t data) const override { return m_ntfs.isEntry(data); }
  bool isFolder(std::int64_t data) const override { return data > 0 && m_ntfs.isFolder(data); }
  bool isListedFile(std::int64_t data) const override { return m_ntfs.isEntry(data) && !m_ntfs.isFolder(data); }
  std::vector<std::int64_t> children(std::int64_t data) const override {
    return m_ntfs.isEntry(data) ? m_ntfs.childEntries(data) : std::vector<std::int64_t>{};
  }
  std::string name(std::int64_t data) const override { return m_ntfs.entryName(data); }
  bool isDeleted(std::int64_t data) const override { return m_ntfs.isDeleted(data); }

  EntryTexts texts(std::int64_t data) override {
    if (!m_ntfs.isEntry(data)) return {};
    const EntryTimeTexts times = m_ntfs.formatEntryTimes(m_ntfs.entries()[static_cast<std::size_t>(data)]);
    return {times.creation, times.access, times.modification, m_ntfs.formatEntrySize(data), times.attributes};
  }
  EntryStamps stamps(std::int64_t data) override {
    EntryStamps s;
    if (!m_ntfs.isEntry(data)) return s;
    const MftEntry& entry = m_ntfs.entries()[static_cast<std::size_t>(data)];
    const std::int64_t index = entry.index;  // a packed field: read by value
    s.number = index > 0 ? static_cast<std::uint64_t>(index) : 0;
    // The orphan folder is made by the parser and has no record of its own.
    if (index == m_ntfs.orphanIndex() && entry.recordOffset == 0) return s;
    const NtfsFileTimes times = m_ntfs.getFileTimeStructure(entry.recordOffset);
    if (!times.hasTimes) return s;
    s.creation = times.creation;
    s.access = times.access;
    s.modification = times.modification;
    s.change = times.change;
    return s;
  }
  std::string saveSizeText(std::int64_t data) override { return m_ntfs.formatEntrySize(data); }
  std::uint64_t sizeBytes(std::int64_t data) override { return m_ntfs.isEntry(data) ? m_ntfs.entryDataSize(data) : 0; }

  std::int64_t fileCount(std::int64_t folder) const override { return countFilesBelow(*this, folder); }
  FolderRules folderRules() const override {
    FolderRules rules;
    rules.notDescended = {"."};
    // An empty output path falls back to a folder below the temporary directory.
    rules.emptyPathFallback = temporaryDirectory() + "/tessary-temp";
    return rules;
  }
  std::string writeFile(std::int64_t data, const std::string& folder) override {
    return m_ntfs.isEntry(data) ? writeWholeFile(data, folder, name(data)) : std::string();
  }
  bool writeContent(std::int64_t data, DataSink& sink) override {
    return m_ntfs.isEntry(data) && m_ntfs.writeEntryData(data, sink);
  }
  bool neverWritten(std::int64_t data) const override { return m_ntfs.entryName(data) == "$BadClus"; }
  std::string folderSavedMessage() const override { return "Saving process done."; }
  void renameEntry(std::int64_t data, const std::string& name) override {
    m_ntfs.renameEntry(data, utf16FromAnsi(name));
  }

 private:
  mutable ntfs m_ntfs;
  int m_candidate = 0;
  std::int64_t m_sectorsPerCluster = 0;
};

// The advanced-input page's NTFS row: the search for MFT starts and the cluster-size list.
class NtfsCandidateScan : public CandidateScan {
 public:
  ParserSlot& parser() override { return m_slot; }
  std::string selectedStatus() const override { return "ntfs partition selected...."; }

  CandidateLists search(const ParserLinks& links, int maxCandidates, bool formatted) override {
    (void)formatted;
    m_slot.link(links);
    ntfs& p = m_slot.parser();
    p.readBootSector();
    const int found = p.searchMftCandidates(maxCandidates);
    CandidateLists lists;
    for (int i = 0; i < found; ++i) {
      const std::int64_t offset = p.mftCandidates()[static_cast<std::size_t>(i)].recordOffset;
      lists.candidates.push_back({format("MFT_ENTRY:%d", i), static_cast<std::uint64_t>(offset)});
    }
    for (const char* size : {"8", "4", "2", "16", "32", "64"}) lists.clusterSizes.push_back({size, 0});
    lists.message = format(
        "Number of MFT-ENTRY found = %d . Please select the choice from combo box and click Parse button to proceed.",
        found);
    lists.status = "Parsing done.Click next to continue.";
    m_lists = lists;
    return lists;
  }

  void choose(int candidate, int clusterSize, int heapOffset) override {
    (void)heapOffset;
    std::int64_t perCluster = 0;
    if (clusterSize >= 0 && static_cast<std::size_t>(clusterSize) < m_lists.clusterSizes.size())
      perCluster = decimalValue(m_lists.clusterSizes[static_cast<std::size_t>(clusterSize)].text);
    m_slot.chooseAdvanced(candidate, perCluster);
  }
  bool reparses() const override { return true; }
  std::string reparseStatus() const override { return "Parsing the ntfs volume..."; }

 private:
  NtfsSlot m_slot;
  CandidateLists m_lists;
};

}  // namespace

std::unique_ptr<CandidateScan> createNtfsCandidateScan() { return std::make_unique<NtfsCandidateScan>(); }

std::unique_ptr<ParserSlot> createNtfsParser() { return std::make_unique<NtfsSlot>(); }

}  // namespace tessary
