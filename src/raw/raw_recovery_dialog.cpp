// The raw page's logic: Parse (loading the signature files, then the scan start), the scan and save
// workers, Pause, Resume and Stop, and the list beside the tree.
#include "raw/raw_recovery_dialog.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/files.h"
#include "platform/output_folder.h"
#include "platform/text.h"

namespace tessary {

namespace {

constexpr std::int64_t kMib = 1048576;
constexpr std::uint64_t kLastRecordLimit = 1048576;
constexpr const char* kScanDone = "Scanning processing done.Select save button to save the data.";
constexpr const char* kBusy = "Please wait for the running process.";
constexpr const char* kCannotOpen = "Selected File could not be opened..";

std::string defaultFilePath(const std::string& given) {
  if (!given.empty()) return given;
  return executableDirectory() + "/" + RawRecoveryDialog::kDefaultFileName;
}

}  // namespace

RawRecoveryDialog::RawRecoveryDialog(WizardState& state, PageView& view, PageSink& sink, std::string defaultSignatureFile)
    : m_state(state), m_view(view), m_sink(sink), m_defaultPath(defaultFilePath(defaultSignatureFile)) {
  m_tree.setSmartCheck(true);
  m_tree.setCheckBoxes(true);
  m_tree.onLabelClicked = [this](std::uint32_t, TreeItem item) { onTreeSelect(item); };
  m_list.onRowCheckClicked = [this](std::size_t row, bool checked) { onListRowCheck(row, checked); };
}

RawRecoveryDialog::~RawRecoveryDialog() { onBack(); }

void RawRecoveryDialog::showWorkerControls(bool shown) {
  for (const char* id : {kProgress, kPause, kResume, kStop}) m_view.setShown(id, shown);
}

void RawRecoveryDialog::onOpen() {
  m_list.setColumns({kListColumn});
  m_view.setText(kPath, m_defaultPath);
  m_view.setChecked(kLoadDefault, true);
  showWorkerControls(false);
  m_sink.setStatus("Please select parse button to scan the default file.");
}

void RawRecoveryDialog::onChooseSignatureFile(const std::optional<std::string>& chosen) {
  if (m_busy) {
    m_sink.showMessage(kBusy);
    return;
  }
  if (chosen && isRegularFile(*chosen)) m_view.setText(kPath, *chosen);
}

bool RawRecoveryDialog::onSetting() {
  if (m_busy) {
    m_sink.showMessage(kBusy);
    return false;
  }
  return true;
}

void RawRecoveryDialog::onSettingClosed(const std::optional<std::string>& savedFile) {
  if (m_busy || !savedFile || !isRegularFile(*savedFile)) return;
  m_view.setText(kPath, *savedFile);
  m_sink.setStatus("Parse loads the signatures saved in Setting from " + *savedFile);
}

bool RawRecoveryDialog::loadSignatureFile(const std::string& path, FileKind kind) {
  if (path.empty()) return false;
  ImageFile file;
  if (!file.open(path)) {
    if (kind == FileKind::Chosen) m_sink.showMessage("Cannot open the selected file");
    return false;
  }
  m_sink.setStatus("Processing.....");
  if (kind == FileKind::Default || !m_engine) m_engine = std::make_unique<myJpg>();
  const std::uint64_t length = file.size();
  if (length < kSignatureRecordSize) {
    m_sink.showMessage("Please select a valid file..");
    return false;
  }
  const std::uint64_t last = length - kSignatureRecordSize;
  if (last > kLastRecordLimit) {
    m_sink.showMessage("Please select a valid file..");
    return false;
  }
  SignatureRecordBytes bytes{};
  if (!file.readExact(last, bytes)) {
    m_sink.showMessage("Please select a valid file..");
    return false;
  }
  const SignatureRecord lastRecord = *decodeSignatureRecord(bytes);
  if (kind == FileKind::Chosen && lastRecord.bytesInSize >= 9) {
    m_sink.showMessage("Please select a valid file..");
    return false;
  }
  // The count comes from the last record's 8-bit index; only records that lie wholly in the file are read.
  const std::uint64_t count = std::min<std::uint64_t>(lastRecord.recordIndex + 1u, length / kSignatureRecordSize);
  if (kind == FileKind::Default || m_engine->signatureCount() == 0) m_refusedRecords.clear();
  for (std::uint64_t k = 0; k < count; ++k) {
    if (!file.readExact(k * kSignatureRecordSize, bytes)) break;
    const SignatureRecord record = *decodeSignatureRecord(bytes);
    // Kept in its place (the records' positions number the finds), but never passed over in silence.
    if (const std::optional<std::string> refusal = signatureRecordRefusal(record))
      m_refusedRecords.push_back(format("%s: record %llu (%s): %s", path.c_str(), static_cast<unsigned long long>(k),
                                        utf8FromUtf16(recordExtension(record)).c_str(), refusal->c_str()));
    m_engine->appendRecord(record);
  }
  if (!m_refusedRecords.empty())
    m_sink.setStatus(format("%zu signature records can never match; the first: %s", m_refusedRecords.size(),
                            m_refusedRecords.front().c_str()));
  return true;
}

void RawRecoveryDialog::endWithoutScan() {
  m_view.setEnabled(kBack, true);
  m_view.setEnabled(kSave, true);
  showWorkerControls(false);
  m_busy = false;
  m_sink.setStatus(kScanDone);
}

void RawRecoveryDialog::onParse() {
  if (m_busy) {
    m_sink.showMessage(kBusy);
    return;
  }
  showWorkerControls(true);
  m_view.setEnabled(kParse, false);
  m_view.setEnabled(kSetting, false);
  m_busy = true;
  if (m_view.checked(kLoadDefault)) loadSignatureFile(m_defaultPath, FileKind::Default);
  const std::string chosen = m_view.text(kPath);
  if (!chosen.empty() && !loadSignatureFile(chosen, FileKind::Chosen)) {
    endWithoutScan();
    return;
  }
  // Neither box gave a signature: there is nothing to match.
  if (!m_engine || m_engine->signatureCount() == 0) {
    m_sink.showMessage("Enter the info file first..");
    endWithoutScan();
    return;
  }
  startScan();
}

void RawRecoveryDialog::startScan() {
  for (const char* id : {kSave, kBack, kChoose, kPath, kSetting}) m_view.setEnabled(id, false);
  const VolumeEntry volume = m_state.selectedVolume.value_or(VolumeEntry{});
  // The exact length where the table or the typed range gave it, so that a partition's last partial MiB
  // is carved too; else the whole MiB the size text holds.
  const std::int64_t mib = std::clamp<std::int64_t>(decimalValue(volume.volumeSizeText), 0, INT64_MAX / kMib);
  const std::int64_t length =
      volume.sizeBytes != 0 ? static_cast<std::int64_t>(std::min<std::uint64_t>(volume.sizeBytes, INT64_MAX)) : mib * kMib;
  auto reenable = [this] {
    for (const char* id : {kBack, kSave, kChoose, kPath}) m_view.setEnabled(id, true);
    showWorkerControls(false);
    m_busy = false;
    m_sink.setStatus(kScanDone);
  };
  if (length == 0) {
    m_sink.showMessage("zero size volume..");
    reenable();
    return;
  }
  if (m_state.chainFromImagePage && m_state.imageChosen) {
    m_state.diskReader.reset();
    m_state.diskReader = m_state.makeReader(&m_sink);
    if (!m_state.diskReader->open(m_state.imagePath)) {
      m_state.diskReader.reset();
      m_sink.showMessage("File not opened..");
      reenable();
      return;
    }
  }
  if (!m_state.diskReader) {
    m_sink.showMessage("Information lost ..go back and parse again");
    reenable();
    return;
  }
  m_engine->view = VolumeView::ofListedVolume(*m_state.diskReader, m_state.disk, volume.startSector);
  m_engine->sink = &m_sink;
  m_engine->tree = &m_tree;
  m_engine->volumeLength = length;
  m_engine->gate = &m_worker.gate();
  m_engine->stop = 0;
  m_started = true;
  m_worker.start([this] { scanWorker(); });
}

void RawRecoveryDialog::scanWorker() {
  m_view.setEnabled(kBack, false);
  m_view.setEnabled(kSave, false);
  m_sink.setStatus("Processing.....");
  const bool scanned = m_engine->scan();
  m_scanResult = scanned ? 1 : 0;
  for (const char* id : {kBack, kSetting, kSave}) m_view.setEnabled(id, true);
  m_sink.setStatus("Scanning processing done.Select save button to save the data");
  showWorkerControls(false);
  m_busy = false;
}

std::optional<bool> RawRecoveryDialog::scanResult() const {
  const int result = m_scanResult.load();
  if (result < 0) return std::nullopt;
  return result == 1;
}

void RawRecoveryDialog::onSave(const std::function<std::optional<std::string>()>& browse) {
  if (!m_tree.anyChecked()) {
    m_sink.showMessage("Please select folder to continue the saving process.");
    return;
  }
  if (m_busy) {
    m_sink.showMessage(kBusy);
    return;
  }
  const std::optional<std::string> folder = browse ? browse() : std::nullopt;
  if (!folder || folder->empty()) return;
  m_busy = true;
  m_started = true;
  m_worker.start([this, chosen = *folder] { saveWorker(chosen); });
}

std::int64_t RawRecoveryDialog::tickedItems(TreeItem item) const {
  std::int64_t count = 0;
  for (TreeItem child = m_tree.childItem(item); child != kNoItem; child = m_tree.nextSiblingItem(child)) {
    if (m_tree.GetCheck(child)) ++count;
    count += tickedItems(child);
  }
  return count;
}

bool RawRecoveryDialog::stopRequested() {
  m_worker.gate().pass();
  return m_saveStop.load() != 0;
}

void RawRecoveryDialog::saveWorker(const std::string& folder) {
  showWorkerControls(true);
  m_saveStop = 0;
  m_written.clear();
  m_failures = 0;
  m_firstFailure.clear();
  m_missing = 0;
  const TreeItem top = m_tree.rootItem();
  m_sink.progressRange(0, tickedItems(top), ProgressAmount::items(tickedItems(top)));
  m_sink.progressPosition(0);
  m_tree.setTreeEnabled(false);
  m_list.setEnabled(false);
  for (const char* id : {kSetting, kSave, kBack, kLoadDefault}) m_view.setEnabled(id, false);
  OutputFolder out(folder);
  std::int64_t progress = 0;
  if (top != kNoItem) walkSave(top, out, progress);
  m_tree.setTreeEnabled(true);
  m_list.setEnabled(true);
  for (const char* id : {kSave, kBack}) m_view.setEnabled(id, true);
  m_sink.progressPosition(tickedItems(top));
  m_sink.setStatus("Saving process completed.Close the application or Click back to continue another process.");
  m_sink.showMessage("Saving process completed.Close the application or Click back to continue another process..");
  // A result that could not be written is never passed over in silence.
  if (m_failures > 0) m_sink.setStatus(failureStatus());
  showWorkerControls(false);
  m_busy = false;
  if (onSaveFinished) onSaveFinished();
}

std::string RawRecoveryDialog::failureStatus() const {
  if (m_failures == 0) return {};
  const std::string what = m_failures == 1 ? std::string("1 file could not be written")
                                           : format("%lld files could not be written", static_cast<long long>(m_failures));
  return m_firstFailure.empty() ? what : what + "; the first: " + m_firstFailure;
}

void RawRecoveryDialog::walkSave(TreeItem item, OutputFolder& out, std::int64_t& progress) {
  for (TreeItem child = m_tree.childItem(item); child != kNoItem && !stopRequested(); child = m_tree.nextSiblingItem(child)) {
    if (m_tree.itemIcon(child) == TreeIcon::Folder) {
      if (m_tree.GetCheck(child)) m_sink.progressPosition(++progress);
      if (m_tree.hasChildren(child)) walkSave(child, out, progress);
      continue;
    }
    if (!m_tree.GetCheck(child)) continue;
    m_sink.progressPosition(++progress);
    saveLeaf(child, out);
  }
}

void RawRecoveryDialog::saveLeaf(TreeItem leaf, OutputFolder& out) {
  const std::string name = m_tree.itemText(leaf);
  m_sink.setStatus("Saving File: " + name);
  const std::int64_t index = m_tree.itemData(leaf);
  if (!m_engine || index < 0 || index >= static_cast<std::int64_t>(m_engine->foundItems().size())) return;
  const FoundItem item = m_engine->foundItems()[static_cast<std::size_t>(index)];
  // The folders from the top-level item down, each label without its trailing blanks.
  std::vector<std::string> folders;
  for (TreeItem at = m_tree.parentItem(leaf); at != kNoItem && at != kTreeRoot; at = m_tree.parentItem(at))
    folders.push_back(safeComponent(rightTrimmed(m_tree.itemText(at))));
  std::string path = out.root();
  for (auto it = folders.rbegin(); it != folders.rend(); ++it) {
    const std::optional<std::string> made = out.folder(path, *it);
    if (!made) {
      if (m_failures++ == 0) m_firstFailure = format("%s (%s)", (path + "/" + *it).c_str(), std::strerror(errno));
      m_sink.showMessage(kCannotOpen);
      return;
    }
    path = *made;
  }
  OutputFile file;
  const std::optional<std::string> filePath =
      item.size >= 1 ? out.file(file, path, safeComponent(name), index) : std::nullopt;
  if (!filePath) {
    if (item.size >= 1 && m_failures++ == 0)
      m_firstFailure = format("%s (%s)", (path + "/" + safeComponent(name)).c_str(), std::strerror(errno));
    m_sink.showMessage(kCannotOpen);
    return;
  }
  std::vector<std::byte> buffer;
  try {
    buffer.resize(static_cast<std::size_t>(kMib));
  } catch (const std::bad_alloc&) {
    buffer.clear();
  }
  const VolumeView& view = m_engine->view;
  const std::uint64_t missingBefore = view.reader() ? view.reader()->missingReads.load() : 0;
  std::int64_t done = 0;
  bool good = true;
  bool missing = false;
  const std::int64_t whole = item.size / kMib;
  for (std::int64_t k = 0; k < whole && !buffer.empty() && good && !stopRequested(); ++k) {
    std::fill(buffer.begin(), buffer.end(), std::byte{0});
    if (!view.read(static_cast<std::uint64_t>(item.offset + done), buffer)) missing = true;
    good = file.write(buffer);
    done += kMib;
  }
  // The rest below 1 MiB, also after a stop: read in whole 512-byte blocks, and written whole too unless
  // the file's structure gave its exact length.
  const std::int64_t rest = item.size % kMib;
  const std::int64_t restBlocks = (rest + 511) / 512 * 512;
  const std::int64_t restWritten = item.exact ? rest : restBlocks;
  if (good && rest > 0) {
    std::vector<std::byte> tail(static_cast<std::size_t>(restBlocks));
    if (!view.read(static_cast<std::uint64_t>(item.offset + done), tail)) missing = true;
    good = file.write(std::span<const std::byte>(tail).first(static_cast<std::size_t>(restWritten)));
  }
  if (item.remembered && (item.remembered->modificationNs || item.remembered->accessNs)) {
    const std::int64_t modified = item.remembered->modificationNs.value_or(*item.remembered->accessNs);
    file.setTimes(item.remembered->accessNs.value_or(modified), modified);
  }
  file.close();
  // The carved file is whole when it holds every byte the result spans (the last block rounded up where
  // the length is not exact); a refused buffer, a host error or a stop part-way leaves it short, and that
  // is a counted failure.
  const auto expected = static_cast<std::uint64_t>(whole * kMib + restWritten);
  const bool complete = good && file.error() == 0 && file.written() >= expected;
  if (!complete && m_failures++ == 0) {
    const std::string why = file.error() != 0 ? std::string(std::strerror(file.error()))
                                              : format("%llu of %llu bytes written",
                                                       static_cast<unsigned long long>(file.written()),
                                                       static_cast<unsigned long long>(expected));
    m_firstFailure = format("%s (%s)", filePath->c_str(), why.c_str());
  }
  if (missing || (view.reader() && view.reader()->missingReads.load() != missingBefore)) ++m_missing;
  m_written.push_back({*filePath, file.written(), complete});
}

void RawRecoveryDialog::onPause() {
  if (!m_started) return;
  m_worker.gate().pause();
  m_sink.setStatus("Pause button pressed");
}

void RawRecoveryDialog::onResume() {
  if (!m_started) return;
  m_worker.gate().resume();
  m_sink.setStatus("Resume button pressed");
}

void RawRecoveryDialog::onStop() {
  if (m_engine) m_engine->stop = 1;
  m_saveStop = 1;
  m_sink.setStatus("Stop button pressed.Please wait for the process to stop");
}

void RawRecoveryDialog::onBack() {
  if (m_engine) m_engine->stop = 1;
  m_saveStop = 1;
  m_worker.gate().resume();
  m_worker.join();
}

void RawRecoveryDialog::onTreeSelect(TreeItem item) {
  if (!m_tree.isValid(item)) return;
  m_tree.selectItem(item);
  m_list.deleteAllRows();
  for (TreeItem child = m_tree.childItem(item); child != kNoItem; child = m_tree.nextSiblingItem(child)) {
    if (m_tree.itemIcon(child) == TreeIcon::Folder) continue;
    const std::size_t row = m_list.appendRow({m_tree.itemText(child)}, child);
    m_list.setRowChecked(row, m_tree.GetCheck(child));
  }
}

void RawRecoveryDialog::onListRowCheck(std::size_t row, bool checked) {
  const TreeItem item = m_list.row(row).data;
  if (m_tree.isValid(item)) m_tree.SetCheck(item, checked);
}

std::vector<RawRecoveryDialog::Result> RawRecoveryDialog::results() const {
  std::vector<Result> out;
  if (!m_engine) return out;
  const TreeItem top = m_tree.rootItem();
  if (top == kNoItem) return out;
  for (TreeItem node = m_tree.childItem(top); node != kNoItem; node = m_tree.nextSiblingItem(node)) {
    std::string category;
    for (const SizeRule& rule : m_engine->rules()) {
      if (rule.categoryNode != node) continue;
      std::u16string name;
      for (char16_t unit : rule.category) {
        if (unit == 0) break;
        name.push_back(unit);
      }
      category = utf8FromUtf16(name);
      break;
    }
    collectResults(node, category, "", out);
  }
  return out;
}

void RawRecoveryDialog::collectResults(TreeItem node, const std::string& category, const std::string& folder,
                                       std::vector<Result>& out) const {
  const std::vector<FoundItem>& found = m_engine->foundItems();
  for (TreeItem leaf = m_tree.childItem(node); leaf != kNoItem; leaf = m_tree.nextSiblingItem(leaf)) {
    if (m_tree.itemIcon(leaf) == TreeIcon::Folder) {
      collectResults(leaf, category, folder.empty() ? m_tree.itemText(leaf) : folder + "/" + m_tree.itemText(leaf), out);
      continue;
    }
    const std::int64_t index = m_tree.itemData(leaf);
    if (index < 0 || index >= static_cast<std::int64_t>(found.size())) continue;
    const FoundItem& item = found[static_cast<std::size_t>(index)];
    Result r{category, m_tree.itemText(leaf), item.offset, item.size, leaf, folder, item.exact, item.partial,
             item.remembered.has_value(), item.offsetName};
    out.push_back(std::move(r));
  }
}

}  // namespace tessary
