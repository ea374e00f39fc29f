// The volume list page's logic.
#include "volumes/populate_drive_dlg.h"

#include <algorithm>
#include <cerrno>

#include "app/wizard_state.h"
#include "fs/registry.h"
#include "platform/bytes.h"
#include "platform/text.h"

namespace tessary {

namespace {

constexpr std::uint64_t kMib = 1 << 20;

std::int64_t saturatedAdd(std::int64_t a, std::int64_t b) {
  if (const auto sum = checkedAdd(a, b)) return *sum;
  return b > 0 ? INT64_MAX : INT64_MIN;
}

// The size text of a sector range typed by the user: (end - start + 1) sectors of the disk in whole MiB, in
// unsigned arithmetic because the difference of two signed fields may not fit a signed value.
std::string rangeSizeText(std::int64_t start, std::int64_t end, std::uint64_t sectorsPerMib) {
  if (start >= end) return "0";
  const std::uint64_t diff = static_cast<std::uint64_t>(end) - static_cast<std::uint64_t>(start);
  const std::uint64_t mib = diff / sectorsPerMib + (diff % sectorsPerMib + 1) / sectorsPerMib;
  return format("%llu", static_cast<unsigned long long>(mib));
}

// The exact length of the same range, first to last sector inclusive; 0 where rangeSizeText gives "0".
std::uint64_t rangeBytes(std::int64_t start, std::int64_t end, std::uint64_t sectorBytes) {
  if (start >= end) return 0;
  const std::uint64_t sectors = static_cast<std::uint64_t>(end) - static_cast<std::uint64_t>(start) + 1;
  return checkedMul(sectors, sectorBytes).value_or(0);
}

// What "Treat file system as:" makes of the record's label.
std::optional<std::string> labelFor(const std::string& item) {
  const FileSystemRow* row = fileSystemForTreatAs(item);
  if (!row || row->rawPage || !row->treatAsLabel) return std::nullopt;
  return std::string(row->treatAsLabel);
}

std::string withoutMb(const std::string& text) {
  std::string out = text;
  for (auto at = out.find("MB"); at != std::string::npos; at = out.find("MB")) out.erase(at, 2);
  return trimmed(out);
}

}  // namespace

PopulateDriveDlg::PopulateDriveDlg(WizardState& state, PageView& view, PageSink& sink, bool rawPageBuilt)
    : m_state(state), m_view(view), m_sink(sink), m_rawPageBuilt(rawPageBuilt) {}

PopulateDriveDlg::~PopulateDriveDlg() {
  onStop();
  m_worker.gate().resume();
  m_worker.join();
  if (m_state.disk.messages == &m_sink) m_state.disk.messages = nullptr;
}

bool PopulateDriveDlg::advancedMode() const { return m_state.scanMode == 2; }

// The sector fields, the START_SECTOR column and the scan's range count the disk's own logical sectors.
std::int64_t PopulateDriveDlg::sectorsPerMib() const {
  return static_cast<std::int64_t>(kMib / logicalSectorBytes(m_state.disk));
}

void PopulateDriveDlg::setCustomControlsEnabled(bool enabled) {
  for (const char* id : {kSelectedVolume, kStartSector, kEndSector, kStartArrows, kEndArrows, kTreatAs})
    m_view.setEnabled(id, enabled);
}

void PopulateDriveDlg::setPageButtonsEnabled(bool enabled) {
  for (const char* id : {kBack, kNext, kHelp, kFilterEntries, kAddCustomVolume, kCustomSettings})
    m_view.setEnabled(id, enabled);
}

void PopulateDriveDlg::recreateReader() {
  m_state.diskReader.reset();
  m_state.diskReader = m_state.makeReader(&m_sink);
}

PopulateDriveDlg::Row PopulateDriveDlg::makeRow(const VolumeEntry& record, std::size_t index, bool own) const {
  Row row;
  row.volume = record.volumeName;
  row.fileSystem = record.fileSystem;
  row.volumeSize = record.volumeSizeText;
  row.sizeBytes = record.sizeBytes;
  row.startSector = format("%lld", static_cast<long long>(record.startSector));
  row.record = index;
  if (own) row.owned = std::make_unique<VolumeEntry>(record);
  return row;
}

PopulateDriveDlg::Row PopulateDriveDlg::copyRow(const Row& row) const {
  Row out;
  out.volume = row.volume;
  out.fileSystem = row.fileSystem;
  out.volumeSize = row.volumeSize;
  out.startSector = row.startSector;
  out.sizeBytes = row.sizeBytes;
  out.checked = row.checked;
  out.record = row.record;
  if (row.owned) out.owned = std::make_unique<VolumeEntry>(*row.owned);
  out.custom = row.custom;
  out.typedStart = row.typedStart;
  out.typedEnd = row.typedEnd;
  return out;
}

VolumeEntry& PopulateDriveDlg::recordOf(Row& row) { return row.owned ? *row.owned : m_volumes.at(row.record); }

void PopulateDriveDlg::rowsChanged() {
  std::function<void()> observer;
  {
    std::lock_guard lock(m_mutex);
    observer = m_rowsObserver;
  }
  if (observer) observer();
}

bool PopulateDriveDlg::onOpen() {
  std::vector<std::string> treatAs = treatAsEntries();
  if (!m_rawPageBuilt)
    std::erase_if(treatAs, [](const std::string& entry) {
      const FileSystemRow* row = fileSystemForTreatAs(entry);
      return row && row->rawPage;
    });
  m_view.setItems(kTreatAs, std::move(treatAs));
  // Stop belongs to the advanced scan's worker; the standard scan has ended before the page shows.
  m_view.setShown(kStop, false);
  m_view.setSelection(kTreatAs, -1);
  m_view.setChecked(kCustomSettings, false);
  setCustomControlsEnabled(false);
  m_view.setEnabled(kNext, false);
  m_view.setEnabled(kFilterEntries, false);
  m_view.setEnabled(kShowAllEntries, false);
  if (m_state.chainFromImagePage && m_state.imageChosen) recreateReader();
  return advancedMode() ? openAdvanced() : openStandard();
}

bool PopulateDriveDlg::openStandard() {
  m_sink.progressRange(0, Partition::kProgressScale);
  m_view.setShown(kAddCustomVolume, false);
  {
    std::lock_guard lock(m_scannerMutex);
    m_partition = std::make_unique<Partition>(m_sink, [this](const VolumeEntry& record) {
      std::lock_guard records(m_mutex);
      m_volumes.push_back(record);
    });
    m_partition->useGpt = m_state.useGpt ? 1 : 0;
  }
  if (!m_state.diskReader) {
    m_sink.showMessage("Information lost ..go back and parse again");
    return false;
  }
  if (!m_state.diskReader->open(m_state.imagePath)) {
    m_sink.showMessage("File not opened..");
    return false;
  }
  {
    std::lock_guard lock(m_mutex);
    m_rows.clear();
    m_volumes.clear();
    m_selected = -1;
  }
  // Volume discovery reads absolute offsets on the virtual disk, in its own sectors.
  m_partition->sectorBytes = logicalSectorBytes(m_state.disk);
  const int result = m_partition->standardScan(*m_state.diskReader, m_state.disk.diskSectorCount);
  // The first sector and the start of the second, for the hint that the disk holds the other table.
  std::array<std::byte, 512> mbrSector{};
  std::array<std::byte, 512> gptSector{};
  const bool mbrRead = m_state.diskReader->readAt(0, mbrSector);
  const bool gptRead = m_state.diskReader->readAt(static_cast<std::int64_t>(logicalSectorBytes(m_state.disk)), gptSector);
  bool any = false;
  {
    std::lock_guard lock(m_mutex);
    m_scanResult = result;
    m_protectiveMbrOnly = mbrRead && mbrHoldsOnlyProtectiveEntry(mbrSector);
    m_gptHeaderFound = gptRead && isGptHeader(gptSector);
    for (std::size_t i = 0; i < m_volumes.size(); ++i) {
      m_volumes[i].volumeName = format("%d", static_cast<int>(i));
      m_rows.push_back(makeRow(m_volumes[i], i, false));
    }
    any = !m_volumes.empty();
  }
  rowsChanged();
  if (any) m_view.setEnabled(kNext, true);
  m_view.setEnabled(kFilterEntries, true);
  m_sink.setStatus("Finished Scanning.");
  m_sink.setStatus("Select volume and click next button...");
  m_sink.progressPosition(Partition::kProgressScale);
  return true;
}

bool PopulateDriveDlg::openAdvanced() {
  setPageButtonsEnabled(false);
  m_view.setShown(kStop, true);
  m_view.setEnabled(kStop, true);
  Partition* scanner = nullptr;
  {
    std::lock_guard lock(m_scannerMutex);
    m_partition = std::make_unique<Partition>(m_sink, [this](const VolumeEntry& record) {
      {
        std::lock_guard records(m_mutex);
        m_volumes.push_back(record);
        m_rows.push_back(makeRow(record, m_volumes.size() - 1, true));
      }
      rowsChanged();
    });
    m_partition->skipVolumes = m_state.doNotSkip ? 0 : 1;
    if (m_state.startSector) m_partition->startSector = *m_state.startSector;
    if (m_state.endSector) m_partition->endSector = *m_state.endSector;
    scanner = m_partition.get();
  }
  if (m_state.chainFromImagePage && m_state.imageChosen) recreateReader();
  // Without a reader there is nothing to scan; the standard scan's message says so.
  if (!m_state.diskReader) {
    setPageButtonsEnabled(true);
    m_sink.showMessage("Information lost ..go back and parse again");
    return false;
  }
  if (!m_state.diskReader->open(m_state.imagePath)) {
    setPageButtonsEnabled(true);
    m_sink.showMessage("file not opened..");
    return false;
  }
  {
    std::lock_guard lock(m_mutex);
    m_rows.clear();
    m_volumes.clear();
    m_selected = -1;
  }
  rowsChanged();
  readWriteInterface* reader = m_state.diskReader.get();
  scanner->sectorBytes = logicalSectorBytes(m_state.disk);
  const std::uint64_t diskSectors = m_state.disk.diskSectorCount;
  m_worker.start([this, scanner, reader, diskSectors] {
    int result = EIO;
    try {
      result = scanner->advancedScan(*reader, diskSectors);
    } catch (...) {
      // The page still reports what was found and lets the user go on.
    }
    finishAdvancedScan(result);
  });
  return true;
}

void PopulateDriveDlg::finishAdvancedScan(int result) {
  m_sink.setStatus("Scanned Partitions");
  m_sink.progressComplete();
  m_sink.showMessage("populated partitions....");
  m_sink.setStatus("Finished Scanning.");
  {
    std::lock_guard lock(m_scannerMutex);
    m_partition.reset();
  }
  bool any = false;
  {
    std::lock_guard lock(m_mutex);
    m_scanResult = result;
    any = !m_volumes.empty();
  }
  if (any) m_view.setEnabled(kNext, true);
  m_view.setEnabled(kFilterEntries, true);
  m_view.setEnabled(kAddCustomVolume, true);
  m_view.setEnabled(kCustomSettings, true);
  // The user must be able to leave the page once the scan is over.
  m_view.setEnabled(kBack, true);
  m_view.setEnabled(kHelp, true);
  m_view.setShown(kStop, false);
  m_sink.setStatus("Select volume and click next button...");
}

void PopulateDriveDlg::waitForScan() { m_worker.join(); }

bool PopulateDriveDlg::scanRunning() const { return m_worker.running(); }

void PopulateDriveDlg::onStop() {
  std::lock_guard lock(m_scannerMutex);
  if (m_partition) m_partition->stopRequested = 1;
}

std::optional<PopulateDriveDlg::SelectionTexts> PopulateDriveDlg::selectRowLocked(int row) {
  if (row < 0 || row >= static_cast<int>(m_rows.size())) {
    m_selected = -1;
    return std::nullopt;
  }
  m_selected = row;
  const Row& r = m_rows[static_cast<std::size_t>(row)];
  if (r.custom) return SelectionTexts{r.volume, r.typedStart, r.typedEnd, r.fileSystem};
  const std::int64_t start = decimalValue(r.startSector);
  std::int64_t size = decimalValue(r.volumeSize);
  if (size < 1) size = 0;
  std::int64_t span = checkedMul(size, sectorsPerMib()).value_or(INT64_MAX);
  // A partition that does not end on a MiB ends on its own last sector, where the scan gave its length.
  const auto sectorBytes = static_cast<std::uint64_t>(logicalSectorBytes(m_state.disk));
  if (r.sizeBytes != 0 && r.sizeBytes / sectorBytes <= static_cast<std::uint64_t>(INT64_MAX))
    span = static_cast<std::int64_t>(r.sizeBytes / sectorBytes);
  const std::int64_t end = saturatedAdd(saturatedAdd(start, span), -1);
  return SelectionTexts{r.volume, format("%lld", static_cast<long long>(start)),
                        format("%lld", static_cast<long long>(end)), r.fileSystem};
}

void PopulateDriveDlg::showSelection(const SelectionTexts& texts) {
  m_view.setText(kSelectedVolume, texts.volume);
  m_view.setText(kStartSector, texts.start);
  m_view.setText(kEndSector, texts.end);
}

void PopulateDriveDlg::keepTypedLocked(const std::string& start, const std::string& end) {
  if (m_selected < 0 || m_selected >= static_cast<int>(m_rows.size())) return;
  Row& r = m_rows[static_cast<std::size_t>(m_selected)];
  if (!r.custom) return;
  r.typedStart = start;
  r.typedEnd = end;
}

void PopulateDriveDlg::onRowSelected(int row) {
  const std::string start = m_view.text(kStartSector);
  const std::string end = m_view.text(kEndSector);
  std::optional<SelectionTexts> texts;
  {
    std::lock_guard lock(m_mutex);
    keepTypedLocked(start, end);
    texts = selectRowLocked(row);
  }
  if (texts) showSelection(*texts);
}

void PopulateDriveDlg::onRowClicked(int row) {
  const std::string start = m_view.text(kStartSector);
  const std::string end = m_view.text(kEndSector);
  std::optional<SelectionTexts> texts;
  {
    std::lock_guard lock(m_mutex);
    keepTypedLocked(start, end);
    texts = selectRowLocked(row);
  }
  if (!texts) return;
  showSelection(*texts);
  if (texts->fileSystem.empty()) return;
  const std::vector<std::string> items = m_view.items(kTreatAs);
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (startsWithNoCase(items[i], texts->fileSystem)) {
      m_view.setSelection(kTreatAs, static_cast<int>(i));
      return;
    }
  }
}

void PopulateDriveDlg::onRowChecked(int row, bool checked) {
  {
    std::lock_guard lock(m_mutex);
    if (row < 0 || row >= static_cast<int>(m_rows.size())) return;
    m_rows[static_cast<std::size_t>(row)].checked = checked;
  }
  rowsChanged();
}

void PopulateDriveDlg::onCustomSettingsToggled(bool checked) {
  m_view.setChecked(kCustomSettings, checked);
  setCustomControlsEnabled(checked);
}

void PopulateDriveDlg::step(const char* field, int delta) {
  const std::int64_t value = decimalValue(m_view.text(field));
  std::int64_t next = value;
  if (delta > 0) next = saturatedAdd(value, 1);
  else if (value > 0) next = value - 1;
  m_view.setText(field, format("%lld", static_cast<long long>(next)));
}

void PopulateDriveDlg::onStartUp() { step(kStartSector, 1); }
void PopulateDriveDlg::onStartDown() { step(kStartSector, -1); }
void PopulateDriveDlg::onEndUp() { step(kEndSector, 1); }
void PopulateDriveDlg::onEndDown() { step(kEndSector, -1); }

void PopulateDriveDlg::dropOwnedRecords() {
  std::erase_if(m_rows, [](const Row& row) { return row.owned != nullptr; });
  m_selected = -1;
}

void PopulateDriveDlg::onFilterEntries() {
  {
    std::lock_guard lock(m_mutex);
    if (!m_unfiltered) {
      std::vector<Row> copy;
      copy.reserve(m_rows.size());
      for (const Row& row : m_rows) copy.push_back(copyRow(row));
      m_unfiltered = std::move(copy);
    }
    if (advancedMode()) dropOwnedRecords();
    m_rows.clear();
    m_selected = -1;
    // A record that starts one sector after the one before it is listed (renamed to its index).
    for (std::size_t i = 1; i < m_volumes.size(); ++i) {
      const auto previousNext = checkedAdd(m_volumes[i - 1].startSector, std::int64_t{1});
      if (!previousNext || m_volumes[i].startSector != *previousNext) continue;
      m_volumes[i].volumeName = format("%d", static_cast<int>(i));
      m_rows.push_back(makeRow(m_volumes[i], i, false));
    }
  }
  m_view.setEnabled(kShowAllEntries, true);
  rowsChanged();
}

void PopulateDriveDlg::onShowAllEntries() {
  {
    std::lock_guard lock(m_mutex);
    if (!m_unfiltered) return;
    std::vector<Row> rows;
    rows.reserve(m_unfiltered->size());
    for (const Row& row : *m_unfiltered) rows.push_back(copyRow(row));
    // Custom volumes added after the filter are not lost.
    for (Row& row : m_rows)
      if (row.custom && std::none_of(rows.begin(), rows.end(), [&](const Row& r) { return r.custom && r.record == row.record; }))
        rows.push_back(std::move(row));
    m_rows = std::move(rows);
    m_selected = -1;
  }
  m_view.setEnabled(kShowAllEntries, false);
  rowsChanged();
}

void PopulateDriveDlg::onAddCustomVolume() {
  const std::string start = m_view.text(kStartSector);
  const std::string end = m_view.text(kEndSector);
  std::optional<SelectionTexts> texts;
  {
    std::lock_guard lock(m_mutex);
    keepTypedLocked(start, end);
    VolumeEntry record{"CUSTOM ", "", format("%d", static_cast<int>(m_volumes.size())), "0", 0};
    m_volumes.push_back(record);
    const std::size_t index = m_volumes.size() - 1;
    const std::size_t at = advancedMode() ? 0 : std::min(index, m_rows.size());
    Row row = makeRow(record, index, false);
    row.custom = true;
    row.typedStart = "0";
    row.typedEnd = "0";
    m_rows.insert(m_rows.begin() + static_cast<std::ptrdiff_t>(at), std::move(row));
    texts = selectRowLocked(static_cast<int>(at));
  }
  rowsChanged();
  if (texts) showSelection(*texts);
  onCustomSettingsToggled(true);
  m_view.setText(kStartSector, "0");
  m_view.setText(kEndSector, "0");
  // A disk without volumes has a row now: the user goes on with the range typed for it (to the raw page
  // for "RAW").
  m_view.setEnabled(kNext, true);
}

PopulateDriveDlg::NextPage PopulateDriveDlg::onNext() {
  // The page's fields are read first; the records are changed under the lock; messages come last.
  const bool custom = m_view.checked(kCustomSettings);
  const std::string startText = m_view.text(kStartSector);
  const std::string endText = m_view.text(kEndSector);
  const std::int64_t start = decimalValue(startText);
  const std::int64_t end = decimalValue(endText);
  const int choice = m_view.selection(kTreatAs);
  const std::vector<std::string> items = m_view.items(kTreatAs);
  std::optional<std::string> treatAs;
  if (choice >= 0 && choice < static_cast<int>(items.size())) treatAs = items[static_cast<std::size_t>(choice)];

  NextPage next = NextPage::None;
  const char* refusal = nullptr;
  bool selected = false;
  {
    std::lock_guard lock(m_mutex);
    keepTypedLocked(startText, endText);
    selected = m_selected >= 0 && m_selected < static_cast<int>(m_rows.size());
    if (!selected) {
      refusal = "please select a valid volume.";
    } else {
      Row& row = m_rows[static_cast<std::size_t>(m_selected)];
      VolumeEntry& record = recordOf(row);
      if (!custom && m_customApplied) {
        // An override given earlier is undone from what the row still shows.
        record.volumeName = row.volume;
        record.fileSystem = row.fileSystem;
        record.volumeSizeText = withoutMb(row.volumeSize);
        record.startSector = decimalValue(row.startSector);
        record.sizeBytes = row.sizeBytes;
      }
      bool raw = false;
      if (custom) {
        m_customApplied = true;
        record.startSector = start;
        record.volumeSizeText = rangeSizeText(start, end, static_cast<std::uint64_t>(sectorsPerMib()));
        record.sizeBytes = rangeBytes(start, end, static_cast<std::uint64_t>(logicalSectorBytes(m_state.disk)));
        if (treatAs) {
          const FileSystemRow* row = fileSystemForTreatAs(*treatAs);
          if (row && row->rawPage) raw = true;
          else if (const auto label = labelFor(*treatAs)) record.fileSystem = *label;
        }
      }
      if (custom && raw) {
        record.fileSystem = "RAW";
        next = NextPage::Raw;
      } else if (equalsNoCase(record.fileSystem, "unknown")) {
        refusal = "can not parse unknown volume";
      } else {
        next = NextPage::RecoveryMode;
      }
      if (next != NextPage::None) m_state.selectedVolume = record;
      else m_state.selectedVolume.reset();
    }
  }
  if (refusal) m_sink.showMessage(refusal);
  if (selected && !scanRunning()) {
    std::lock_guard lock(m_scannerMutex);
    m_partition.reset();
  }
  return next;
}

void PopulateDriveDlg::onBack() {
  onStop();
  m_worker.join();
  {
    std::lock_guard lock(m_mutex);
    if (advancedMode()) dropOwnedRecords();
  }
  rowsChanged();
}

bool PopulateDriveDlg::protectiveMbrOnly() const {
  std::lock_guard lock(m_mutex);
  return m_protectiveMbrOnly;
}

bool PopulateDriveDlg::gptHeaderFound() const {
  std::lock_guard lock(m_mutex);
  return m_gptHeaderFound;
}

std::vector<PopulateDriveDlg::ListRow> PopulateDriveDlg::rows() const {
  std::lock_guard lock(m_mutex);
  std::vector<ListRow> out;
  out.reserve(m_rows.size());
  for (const Row& r : m_rows)
    out.push_back({r.volume, r.fileSystem, r.volumeSize, r.startSector, r.checked, r.owned != nullptr, r.custom, r.record});
  return out;
}

std::vector<VolumeEntry> PopulateDriveDlg::volumes() const {
  std::lock_guard lock(m_mutex);
  return m_volumes;
}

std::optional<VolumeEntry> PopulateDriveDlg::rowRecord(int row) const {
  std::lock_guard lock(m_mutex);
  if (row < 0 || row >= static_cast<int>(m_rows.size())) return std::nullopt;
  const Row& r = m_rows[static_cast<std::size_t>(row)];
  if (r.owned) return *r.owned;
  if (r.record < m_volumes.size()) return m_volumes[r.record];
  return std::nullopt;
}

int PopulateDriveDlg::selectedRow() const {
  std::lock_guard lock(m_mutex);
  return m_selected;
}

std::optional<int> PopulateDriveDlg::scanResult() const {
  std::lock_guard lock(m_mutex);
  return m_scanResult;
}

bool PopulateDriveDlg::holdsScanner() const {
  std::lock_guard lock(m_scannerMutex);
  return m_partition != nullptr;
}

void PopulateDriveDlg::setRowsObserver(std::function<void()> observer) {
  std::lock_guard lock(m_mutex);
  m_rowsObserver = std::move(observer);
}

}  // namespace tessary
