// The exFAT parser on the results page (standard and advanced workers, what the page, the save engine and
// the search ask) and on the advanced-input page (the FAT and heap-offset candidate search).
#include <memory>

#include "fs/exfat/fat64.h"
#include "platform/bytes.h"
#include "platform/files.h"
#include "platform/text.h"
#include "fs/candidate_scan.h"
#include "fs/parser_slot.h"

namespace tessary {

namespace {

// The volume list's size text holds MiB.
std::uint64_t volumeBytes(const VolumeEntry& volume) {
  const std::int64_t mib = decimalValue(volume.volumeSizeText);
  if (mib <= 0) return 0;
  return checkedMul(static_cast<std::uint64_t>(mib), std::uint64_t{1} << 20).value_or(UINT64_MAX);
}

// The Advanced mode cannot take the size from a boot sector: without a size from the volume list it
// searches to the disk's end, when that is known.
std::uint64_t searchedBytes(const ParserLinks& links) {
  const std::uint64_t bytes = volumeBytes(links.volume);
  if (bytes > 0) return bytes;
  const std::uint64_t toEnd = links.view.bytesToDiskEnd();
  return toEnd == UINT64_MAX ? 0 : toEnd;
}

class Fat64Slot : public ParserSlot {
 public:
  Fat64Class& fs() { return m_fs; }

  StopFlag& stopFlag() override { return m_fs.stopFlag(); }
  bool supportsMode(int mode) const override { return mode == 1 || mode == 2; }

  // What the advanced-input page found and what the user chose there.
  void setCandidates(std::vector<std::uint64_t> fats, std::vector<std::uint64_t> heaps,
                     std::vector<std::string> clusterExponents) {
    m_fats = std::move(fats);
    m_heaps = std::move(heaps);
    m_clusterExponents = std::move(clusterExponents);
  }
  void setChoices(int candidate, int clusterSize, int heapOffset) {
    m_candidate = candidate;
    m_clusterChoice = clusterSize;
    m_heapChoice = heapOffset;
  }

  WorkerOutcome runWorker(const ParserLinks& links) override {
    m_fs.setSink(links.sink);
    m_fs.setTree(links.tree, links.topItemText);
    m_fs.setWorkerControl(links.control);
    return links.mode == 2 ? advancedWorker(links) : standardWorker(links);
  }

  TreeItem topItem() const override { return m_fs.topItem(); }

  bool validItem(std::int64_t data) const override { return m_fs.isEntry(data); }
  bool isFolder(std::int64_t data) const override { return m_fs.isEntry(data) && record(data).folder(); }
  bool isListedFile(std::int64_t data) const override { return m_fs.isEntry(data) && !record(data).folder(); }
  std::vector<std::int64_t> children(std::int64_t data) const override { return m_fs.childEntries(data); }
  std::string name(std::int64_t data) const override {
    return m_fs.isEntry(data) ? utf8FromUtf16(record(data).name) : std::string();
  }
  bool isDeleted(std::int64_t data) const override { return m_fs.isEntry(data) && record(data).deleted(); }

  EntryTexts texts(std::int64_t data) override {
    if (!m_fs.isEntry(data)) return {};
    const Fat64Texts t = m_fs.formatTimes(record(data));
    return {t.creation, t.access, t.modification, m_fs.formatSize(record(data)), t.attributes};
  }
  EntryStamps stamps(std::int64_t data) override {
    EntryStamps s;
    s.number = static_cast<std::uint64_t>(data);
    if (!m_fs.isEntry(data)) return s;
    const auto& r = record(data);
    // The list shows a stamp to the minute; the stamp itself keeps two-second steps.
    auto stamp = [](std::uint32_t value) {
      return fileTimeFromDos(static_cast<std::uint16_t>(value >> 16), static_cast<std::uint16_t>(value & 0xFFFF));
    };
    s.creation = stamp(r.createTimestamp);
    s.access = stamp(r.accessTimestamp);
    s.modification = stamp(r.modifyTimestamp);
    return s;
  }
  std::string saveSizeText(std::int64_t data) override {
    const std::uint64_t size = sizeBytes(data);
    return format("%ld", static_cast<long>(size / 1024)) + " kb";
  }
  std::uint64_t sizeBytes(std::int64_t data) override {
    return m_fs.isEntry(data) ? m_fs.fileSize(record(data)) : 0;
  }

  std::int64_t fileCount(std::int64_t folder) const override { return countFilesBelow(*this, folder); }
  FolderRules folderRules() const override {
    FolderRules rules;
    // An empty output path falls back to a fixed folder below the temporary directory.
    rules.emptyPathFallback = temporaryDirectory() + "/tessary-temp";
    return rules;
  }
  std::string writeFile(std::int64_t data, const std::string& folder) override {
    return m_fs.isEntry(data) ? writeWholeFile(data, folder, name(data)) : std::string();
  }
  bool writeContent(std::int64_t data, DataSink& sink) override { return m_fs.writeFileData(data, sink); }
  void renameEntry(std::int64_t data, const std::string& newName) override {
    m_fs.renameEntry(data, utf16FromAnsi(newName));
  }

 private:
  const ExFatRecord& record(std::int64_t data) const { return m_fs.entries()[static_cast<std::size_t>(data)]; }

  WorkerOutcome standardWorker(const ParserLinks& links) {
    m_fs.attach(links.view, volumeBytes(links.volume));
    if (!m_fs.checkBootSector()) return {"Selected Drive is not in exFat Format", "", true};
    m_fs.insertTopItem();
    if (!m_fs.readRoot()) return {"error...", "", true};
    m_fs.clearEntries();
    status(links, "processing file and directory entries...");
    status(links, "Finding Fat64 File And Directory entries recursively....");
    m_fs.parseRootDirectory();
    m_fs.linkEntries();
    status(links, "creating tree Structure...");
    m_fs.fillTopLevel();
    return {"Scanning process completed...", ""};
  }

  WorkerOutcome advancedWorker(const ParserLinks& links) {
    m_fs.stopFlag() = 0;
    if (m_candidate < 0 || m_clusterChoice < 0) return {"", "", true};
    const std::string exponentText = static_cast<std::size_t>(m_clusterChoice) < m_clusterExponents.size()
                                         ? m_clusterExponents[static_cast<std::size_t>(m_clusterChoice)]
                                         : std::string();
    const std::int64_t exponent = decimalValue(exponentText);
    m_fs.attach(links.view, searchedBytes(links));
    // A boot sector that still passes gives the volume's whole length, its last partial MiB too.
    m_fs.setSink(nullptr);
    m_fs.checkBootSector();
    m_fs.setSink(links.sink);
    if (exponent < 0 || !m_fs.setAdvancedGeometry(static_cast<unsigned>(exponent))) return {"", "", true};
    m_fs.insertTopItem();
    m_fs.clearEntries();
    m_fs.scanEntryCandidates();
    const std::uint64_t fat =
        static_cast<std::size_t>(m_candidate) < m_fats.size() ? m_fats[static_cast<std::size_t>(m_candidate)] : 0;
    const std::uint64_t heap = m_heapChoice >= 0 && static_cast<std::size_t>(m_heapChoice) < m_heaps.size()
                                   ? m_heaps[static_cast<std::size_t>(m_heapChoice)]
                                   : 0;
    status(links, "Maintaining TreeStructure for Tree Control");
    if (fat > 0 && heap > 0) {
      m_fs.buildFromCandidates(heap, fat);
      m_fs.linkEntries();
      m_fs.fillTopLevel();
    }
    return {"Scanning process completed...", "Processing done..."};
  }

  static void status(const ParserLinks& links, const std::string& text) {
    if (links.sink) links.sink->setStatus(text);
  }

  mutable Fat64Class m_fs;
  std::vector<std::uint64_t> m_fats;
  std::vector<std::uint64_t> m_heaps;
  std::vector<std::string> m_clusterExponents;
  int m_candidate = -1;
  int m_clusterChoice = -1;
  int m_heapChoice = -1;
};

class Fat64CandidateScan : public CandidateScan {
 public:
  ParserSlot& parser() override { return m_slot; }
  std::string counterCaption() const override { return "Total fat64 Entries Found:"; }

  CandidateLists search(const ParserLinks& links, int maxCandidates, bool formatted) override {
    Fat64Class& fs = m_slot.fs();
    fs.setSink(links.sink);
    fs.setWorkerControl(links.control);
    fs.setDriveFormatted(formatted);
    fs.stopFlag() = 0;
    fs.attach(links.view, searchedBytes(links));
    const bool passed = fs.checkBootSector();
    if (links.sink) links.sink->setStatus("Finding Fat64 entries....");
    fs.findCandidates(maxCandidates);
    std::vector<std::uint64_t> heaps = fs.heapCandidates();
    // The boot sector's heap offset, when it passed, is the first choice (also when the scan found none).
    if (passed) {
      if (heaps.empty())
        heaps.push_back(fs.heapOffset());
      else
        heaps.front() = fs.heapOffset();
    }
    CandidateLists lists;
    const std::vector<std::uint64_t>& fats = fs.fatCandidates();
    for (std::size_t i = 0; i < fats.size(); ++i)
      lists.candidates.push_back({format("FAT64_ENTRY:%d", static_cast<int>(i)), fats[i]});
    for (std::size_t i = 0; i < heaps.size(); ++i)
      lists.heapOffsets.push_back({format("HEAP_OFFSET_ENTRY:%d", static_cast<int>(i)), heaps[i]});
    // Clusters of 2^n sectors: the boot sector's, the large ones, then every smaller one.
    std::vector<std::string> exponents;
    if (passed) exponents.push_back(std::to_string(fs.bootClusterShift()));
    for (const char* n : {"8", "9", "10", "11"}) exponents.emplace_back(n);
    for (int n = 0; n < 8; ++n)
      if (!passed || static_cast<int>(fs.bootClusterShift()) != n) exponents.push_back(std::to_string(n));
    for (const std::string& e : exponents) lists.clusterSizes.push_back({e, 0});
    lists.message = format(
        "Number of FAT64-ENTRY found = %d and Number of HeapOffset-ENTRY found =  %d  . Please select the choice "
        "from ( Entry and Heap ) Combobox and click Parse button to proceed.",
        static_cast<int>(fats.size()), static_cast<int>(heaps.size()));
    lists.status = "Parsing done.Click Next to continue.";
    m_slot.setCandidates(fats, heaps, exponents);
    m_slot.setChoices(lists.candidates.empty() ? -1 : 0, 0, lists.heapOffsets.empty() ? -1 : 0);
    return lists;
  }

  void choose(int candidate, int clusterSize, int heapOffset) override {
    m_slot.setChoices(candidate, clusterSize, heapOffset);
  }

 private:
  Fat64Slot m_slot;
};

}  // namespace

std::unique_ptr<ParserSlot> createFat64Parser() { return std::make_unique<Fat64Slot>(); }
std::unique_ptr<CandidateScan> createFat64CandidateScan() { return std::make_unique<Fat64CandidateScan>(); }

}  // namespace tessary
