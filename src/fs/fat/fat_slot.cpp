// The FAT12/16 and FAT32 parsers on the results page (their standard and advanced workers and what the
// page, the save engine and the search ask) and on the advanced-input page (the FAT-candidate search).
#include <memory>

#include "fs/fat/fat.h"
#include "platform/files.h"
#include "platform/text.h"
#include "fs/candidate_scan.h"
#include "fs/parser_slot.h"

namespace tessary {

namespace {

std::uint64_t volumeBytes(const VolumeEntry& volume) {
  const std::int64_t mib = decimalValue(volume.volumeSizeText);
  return mib > 0 && mib < (std::int64_t{1} << 40) ? static_cast<std::uint64_t>(mib) << 20 : 0;
}


class FatSlot : public ParserSlot {
 public:
  explicit FatSlot(bool fat32) : m_fat32(fat32) {
    if (fat32)
      m_parser = std::make_unique<Fat32Class>();
    else
      m_parser = std::make_unique<Fat16Class>();
  }

  FatParser& fat() { return *m_parser; }
  const char* family() const { return m_fat32 ? "Fat32" : "Fat16"; }

  // The advanced-input page's choices: the FAT at `fatOffset`, `sectorsPerCluster` (0 keeps the geometry).
  void chooseAdvanced(std::uint64_t fatOffset, std::uint32_t sectorsPerCluster) {
    m_fatOffset = fatOffset;
    m_sectorsPerCluster = sectorsPerCluster;
  }

  void link(const ParserLinks& links) {
    m_parser->setSink(links.sink);
    m_parser->setTree(links.tree, links.topItemText);
    m_parser->setWorkerControl(links.control);
    m_parser->attach(links.view);
    m_parser->setVolumeSize(volumeBytes(links.volume));
  }

  StopFlag& stopFlag() override { return m_parser->stopFlag(); }
  bool supportsMode(int mode) const override { return mode == 1 || mode == 2; }

  WorkerOutcome runWorker(const ParserLinks& links) override {
    link(links);
    return links.mode == 2 ? advancedWorker(links) : standardWorker(links);
  }

  WorkerOutcome standardWorker(const ParserLinks& links) {
    FatParser& p = *m_parser;
    if (!p.checkBootSector()) return {format("Selected Drive is not in %s Format", family()), {}, true};
    p.readFat();
    status(links, format("Finding %s File And Directory entries recursively....", family()));
    p.parseRootDirectory();
    status(links, "maintaining tree Structure in vector...");
    p.linkEntries();
    status(links, "Creating Tree Structure....");
    p.fillTopLevel();
    status(links, "Tree Structure Created.");
    if (!m_fat32 && links.sink) {
      links.sink->progressRange(0, 100);
      links.sink->progressPosition(100);
    }
    return {m_fat32 ? "Scanning process completed." : "Scanning process completed...", "Processing done..."};
  }

  WorkerOutcome advancedWorker(const ParserLinks& links) {
    FatParser& p = *m_parser;
    p.stopFlag() = 0;
    p.resetTable();
    if (m_sectorsPerCluster != 0) p.setAdvancedGeometry(m_sectorsPerCluster);
    p.loadFatAt(m_fatOffset);
    p.scanEntryCandidates();
    status(links, "Maintaining directory Structure in AdvanceScanning");
    p.buildFromCandidates();
    status(links, m_fat32 ? "Maintaining TreeStructure for Tree Control" : "Maintaining Tree Structure for Tree Control");
    p.linkEntries();
    p.fillTopLevel();
    if (m_fat32) return {"Scanning process completed...", "Processing done..."};
    return {"Scanning process completed.", {}};
  }

  TreeItem topItem() const override { return m_parser->topItem(); }

  bool validItem(std::int64_t data) const override { return m_parser->isEntry(data); }
  bool isFolder(std::int64_t data) const override { return m_parser->isFolderRecord(data); }
  bool isListedFile(std::int64_t data) const override {
    // Folders and the volume label are no files.
    return m_parser->isEntry(data) && !m_parser->isFolderRecord(data) && !m_parser->isLabelRecord(data);
  }
  std::vector<std::int64_t> children(std::int64_t data) const override { return m_parser->childEntries(data); }
  std::string name(std::int64_t data) const override { return utf8FromUtf16(m_parser->entryName(data)); }
  bool isDeleted(std::int64_t data) const override { return m_parser->isEntry(data) && m_parser->entry(data).deleted; }

  EntryTexts texts(std::int64_t data) override {
    if (!m_parser->isEntry(data)) return {};
    const FatDirRecord& r = m_parser->entry(data);
    const FatRecordTexts t = m_parser->formatTimes(r);
    return {t.creation, t.access, t.modification, sizeText(r.fileSize), t.attributes};
  }
  EntryStamps stamps(std::int64_t data) override {
    EntryStamps s;
    s.number = static_cast<std::uint64_t>(data);
    if (!m_parser->isEntry(data)) return s;
    const FatDirRecord& r = m_parser->entry(data);
    s.creation = fileTimeFromDos(r.creationDate, r.creationTime, r.creationTimeTenth);
    s.access = fileTimeFromDos(r.accessDate, 0);
    s.modification = fileTimeFromDos(r.writeDate, r.writeTime);
    return s;
  }
  std::string saveSizeText(std::int64_t data) override {
    return format("%ld kb", static_cast<long>(sizeBytes(data) / 1024));
  }
  std::uint64_t sizeBytes(std::int64_t data) override {
    return m_parser->isEntry(data) ? m_parser->entry(data).fileSize : 0;
  }

  std::int64_t fileCount(std::int64_t folder) const override { return countFilesBelow(*this, folder); }
  std::string writeFile(std::int64_t data, const std::string& folder) override {
    return m_parser->isEntry(data) ? writeWholeFile(data, folder, name(data)) : std::string();
  }
  bool writeContent(std::int64_t data, DataSink& sink) override { return m_parser->writeFileData(data, sink); }
  std::string folderSavedMessage() const override { return m_fat32 ? "Saving process done." : "Saving process done"; }
  void renameEntry(std::int64_t data, const std::string& name) override {
    m_parser->renameEntry(data, utf16FromAnsi(name));
  }

 private:
  static void status(const ParserLinks& links, const std::string& text) {
    if (links.sink) links.sink->setStatus(text);
  }

  bool m_fat32;
  std::unique_ptr<FatParser> m_parser;
  std::uint64_t m_fatOffset = 0;
  std::uint32_t m_sectorsPerCluster = 0;
};

class FatCandidateScan : public CandidateScan {
 public:
  explicit FatCandidateScan(bool fat32) : m_fat32(fat32), m_slot(fat32) {}

  ParserSlot& parser() override { return m_slot; }
  std::string counterCaption() const override { return m_fat32 ? std::string() : "Total fat16 Entries Found:"; }

  CandidateLists search(const ParserLinks& links, int maxCandidates, bool formatted) override {
    FatParser& p = m_slot.fat();
    m_slot.link(links);
    p.driveFormatted = formatted;
    p.checkBootSector();
    const std::vector<std::uint64_t> found = p.findFatCandidates(maxCandidates);
    CandidateLists lists;
    for (std::size_t i = 0; i < found.size(); ++i)
      lists.candidates.push_back({format(m_fat32 ? "FAT32_ENTRY:%d" : "FAT_ENTRY:%d", static_cast<int>(i)), found[i]});
    // The boot sector's own value comes first; one sector per cluster is offered too, since no other
    // entry of the list stands for it.
    const std::uint8_t own = p.bootSectorsPerCluster();
    if (p.bootSectorValid() && own != 0 && (own % 2 == 0 || own == 1))
      lists.clusterSizes.push_back({std::to_string(own), 0});
    const std::vector<const char*> sizes = m_fat32 ? std::vector<const char*>{"2", "4", "16", "32", "64", "8"}
                                                   : std::vector<const char*>{"4", "8", "16", "2", "32", "64", "128"};
    for (const char* s : sizes) lists.clusterSizes.push_back({s, 0});
    if (m_fat32 && found.empty()) {
      lists.message = "NO FAT  FAT32-ENTRY found ..";
    } else {
      lists.message = format("Number of %s-ENTRY found = %d . Please select the choice from combo box and click Parse "
                             "button to proceed.",
                             m_fat32 ? "FAT32" : "FAT", static_cast<int>(found.size()));
    }
    lists.status = "Parsing done.Click Next to continue.";
    m_lists = lists;
    return lists;
  }

  void choose(int candidate, int clusterSize, int heapOffset) override {
    (void)heapOffset;
    const auto& c = m_lists.candidates;
    const auto& s = m_lists.clusterSizes;
    // An index out of range takes the FAT at offset 0.
    const std::uint64_t offset =
        candidate >= 0 && static_cast<std::size_t>(candidate) < c.size() ? c[static_cast<std::size_t>(candidate)].offset : 0;
    std::int64_t perCluster = 0;
    if (clusterSize >= 0 && static_cast<std::size_t>(clusterSize) < s.size())
      perCluster = decimalValue(s[static_cast<std::size_t>(clusterSize)].text);
    m_slot.chooseAdvanced(offset, perCluster > 0 && perCluster <= 255 * 512 ? static_cast<std::uint32_t>(perCluster) : 0);
  }

 private:
  bool m_fat32;
  FatSlot m_slot;
  CandidateLists m_lists;
};

}  // namespace

std::unique_ptr<ParserSlot> createFat16Parser() { return std::make_unique<FatSlot>(false); }
std::unique_ptr<ParserSlot> createFat32Parser() { return std::make_unique<FatSlot>(true); }
std::unique_ptr<CandidateScan> createFat16CandidateScan() { return std::make_unique<FatCandidateScan>(false); }
std::unique_ptr<CandidateScan> createFat32CandidateScan() { return std::make_unique<FatCandidateScan>(true); }

}  // namespace tessary
