// The results page's logic: parser dispatch, the parse and save workers, lazy folder filling, the list.
#include "results/volume_scan_dlg.h"

#include "fs/registry.h"
#include "platform/files.h"
#include "platform/text.h"

namespace tessary {

VolumeScanDlg::VolumeScanDlg(WizardState& state, PageView& view, PageSink& sink)
    : m_state(state), m_view(view), m_sink(sink), m_engine(m_tree, m_list, sink, m_stop) {
  m_engine.setPauseGate(&m_worker.gate());
  m_tree.setSmartCheck(true);
  m_tree.setCheckBoxes(true);
  m_tree.onItemExpanding = [this](TreeItem item) { onItemExpanding(item); };
  m_tree.onLabelClicked = [this](std::uint32_t flags, TreeItem item) { onLabelClicked(flags, item); };
  m_tree.onDoubleClicked = [this](TreeItem item) { onTreeDoubleClick(item); };
  m_list.onRowCheckClicked = [this](std::size_t row, bool checked) { onListRowCheck(row, checked); };
}

VolumeScanDlg::~VolumeScanDlg() {
  // A page that goes away never leaves its worker running on its parser.
  m_stop = 1;
  if (m_parser) m_parser->stopFlag() = 1;
  m_worker.gate().resume();
  m_worker.join();
}

void VolumeScanDlg::showWorkerControls(bool shown) {
  for (const char* id : {kPause, kResume, kStop, kProgress}) m_view.setShown(id, shown);
}

void VolumeScanDlg::onOpen(int mode, ParserSlot* borrowed, const AdvancedInput* advanced) {
  m_mode = mode;
  m_list.setColumns({std::begin(kListColumns), std::end(kListColumns)});
  m_view.setShown(kAdvancedInput, false);
  if (mode == 2 && advanced) {
    const std::pair<const char*, const std::vector<std::string>*> lists[] = {
        {kCandidates, &advanced->candidates}, {kClusterSizes, &advanced->clusterSizes}, {kHeapOffsets, &advanced->heapOffsets}};
    const int selections[] = {advanced->candidate, advanced->clusterSize, advanced->heapOffset};
    for (std::size_t i = 0; i < 3; ++i) {
      m_view.setItems(lists[i].first, *lists[i].second);
      m_view.setSelection(lists[i].first, selections[i]);
    }
    m_advanced = advanced->scan;
    // Trying another candidate without going back is offered where the family's worker can run again.
    if (m_advanced && m_advanced->reparses()) m_view.setShown(kAdvancedInput, true);
  }
  m_view.setEnabled(kBack, false);
  const VolumeEntry volume = m_state.selectedVolume.value_or(VolumeEntry{});
  m_view.setText(kVolumeData, format("Volume: %s  File system: %s  Size: %s  Start sector: %lld",
                                     volume.volumeName.c_str(), volume.fileSystem.c_str(),
                                     volume.volumeSizeText.c_str(), static_cast<long long>(volume.startSector)));

  if (borrowed) {
    m_parser = borrowed;
  } else {
    m_ownedParser = createParserForLabel(volume.fileSystem);
    m_parser = m_ownedParser.get();
  }
  if (!m_parser || !m_parser->supportsMode(mode)) {
    m_parser = nullptr;
    m_sink.showMessage("Not a valid drive.");
    m_sink.setStatus("Not a valid Drive .Go back");
    m_view.setEnabled(kBack, true);
    showWorkerControls(false);
    return;
  }
  const std::string selected = m_parser->selectedStatus();
  if (!selected.empty()) m_sink.setStatus(selected);
  m_engine.setParser(m_parser);
  if (m_parser->refusesUnknownVolume(mode) && equalsNoCase(volume.fileSystem, "unknown")) {
    m_sink.showMessage("unKnown Partition Cant be parsed...");
    m_view.setEnabled(kBack, true);
    showWorkerControls(false);
    return;
  }
  if (!m_state.diskReader) {
    m_sink.showMessage("Please Restart the program to re begin necessary initialization...");
    m_view.setEnabled(kBack, true);
    showWorkerControls(false);
    return;
  }
  m_links.reader = m_state.diskReader.get();
  m_engine.setReader(m_links.reader);
  m_links.view = VolumeView::ofListedVolume(*m_state.diskReader, m_state.disk, volume.startSector);
  m_links.volume = volume;
  m_links.sink = &m_sink;
  m_links.tree = &m_tree;
  m_links.topItemText = m_state.rootLabel;
  m_links.mode = mode;
  m_links.control = WorkerControl(&m_parser->stopFlag(), &m_worker.gate());
  startParseWorker();
}

void VolumeScanDlg::startParseWorker() {
  m_running = true;
  showWorkerControls(true);
  m_parseFailure.reset();
  m_worker.start([this] {
    const ParserSlot::WorkerOutcome outcome = m_parser->runWorker(m_links);
    if (outcome.failed) m_parseFailure = outcome.status.empty() ? outcome.message : outcome.status;
    const FileSystemRow* row = fileSystemForLabel(m_links.volume.fileSystem);
    if (row && row->restoresRecycleBinNames) m_engine.restoreRecycleBinNames();
    fillTopLevel();
    m_view.setEnabled(kBack, true);
    if (!outcome.failed) m_sink.progressComplete();
    // A parse that failed never closes with the completion message: its own text takes that place.
    const bool completion = outcome.message.rfind("Scanning process completed", 0) == 0;
    if (outcome.failed && completion && !outcome.status.empty()) {
      m_sink.showMessage(outcome.status);
    } else if (!outcome.message.empty()) {
      m_sink.showMessage(outcome.message);
    }
    if (!outcome.status.empty()) m_sink.setStatus(outcome.status);
    showWorkerControls(false);
    m_running = false;
  });
}

void VolumeScanDlg::fillTopLevel() {
  const TreeItem top = m_parser ? m_parser->topItem() : kNoItem;
  if (top == kNoItem) return;
  for (TreeItem item = m_tree.childItem(top); item != kNoItem; item = m_tree.nextSiblingItem(item)) {
    const std::int64_t data = m_tree.itemData(item);
    // A folder shows an expand button only when it has something below it.
    if (m_tree.itemIcon(item) == TreeIcon::Folder && !m_tree.hasChildren(item) && m_parser->validItem(data) &&
        !m_parser->children(data).empty())
      m_tree.insertItem(SaveEngine::kPlaceholder, item, kInsertLast, TreeIcon::File, -1, m_tree.GetCheck(item));
  }
}

void VolumeScanDlg::waitForWorker() { m_worker.join(); }

std::optional<std::string> VolumeScanDlg::parseFailure() const {
  if (m_running) return std::nullopt;
  return m_parseFailure;
}

void VolumeScanDlg::onExit() {
  if (m_parser) {
    m_parser->stopFlag() = 1;
    m_sink.setStatus("All thread Stopped");
  }
  if (m_mode != 2) m_mode = -1;
  m_quit = true;
}

bool VolumeScanDlg::onCancel() {
  if (!m_sink.askYesNo("Do you want to Close Application ?")) return false;
  onExit();
  return true;
}

void VolumeScanDlg::onBack() {
  m_stop = 1;
  if (m_parser) m_parser->stopFlag() = 1;
  m_worker.gate().resume();
  m_worker.join();
}

void VolumeScanDlg::onPause() {
  if (!m_worker.running()) return;
  m_worker.gate().pause();
  m_sink.setStatus("Pause button pressed");
}

void VolumeScanDlg::onResume() {
  m_worker.gate().resume();
  m_sink.setStatus("Resume button pressed");
}

void VolumeScanDlg::onStop() {
  if (!m_parser) return;
  m_parser->stopFlag() = 1;
  m_stop = 1;
  m_sink.setStatus("stop button pressed.Please wait for the process to be stopped.");
}

void VolumeScanDlg::onParse() {
  if (m_view.items(kCandidates).empty()) {
    m_sink.showMessage("Inappropriate selection.....");
    return;
  }
  // Only a page that opened its parser in mode 2 runs the advanced worker again.
  if (!m_parser || !m_advanced || m_mode != 2 || !m_links.sink) return;
  if (m_running) {
    m_sink.showMessage("Please wait for the running process.");
    return;
  }
  m_worker.join();
  m_sink.progressPosition(0);
  m_sink.setStatus(m_advanced->reparseStatus());
  m_advanced->choose(m_view.selection(kCandidates), m_view.selection(kClusterSizes), m_view.selection(kHeapOffsets));
  // The items of the last parse point into the table the worker is about to rebuild.
  m_list.deleteAllRows();
  m_engine.searchHits.clear();
  m_engine.searchMode = false;
  m_tree.deleteAllItems();
  m_stop = 0;
  m_view.setEnabled(kBack, false);
  startParseWorker();
}

void VolumeScanDlg::onBrowse(const std::optional<std::string>& chosenFolder) {
  m_view.setText(kOutputFolder, chosenFolder.value_or(std::string()));
}

void VolumeScanDlg::onSave(const std::optional<std::string>& chosenFolder) {
  onSave([&chosenFolder] { return chosenFolder; });
}

void VolumeScanDlg::onSave(const std::function<std::optional<std::string>()>& browse) {
  if (m_running) {
    m_sink.showMessage("Please wait for the running process.");
    return;
  }
  if (!m_engine.anythingTicked()) {
    m_sink.showMessage("Please select File or Folder to save");
    return;
  }
  onBrowse(browse ? browse() : std::nullopt);
  const std::string folder = m_view.text(kOutputFolder);
  if (folder.empty()) return;
  m_running = true;
  m_worker.start([this] { saveWorker(); });
}

void VolumeScanDlg::saveWorker() {
  showWorkerControls(true);
  if (!m_engine.anythingTicked()) {
    m_sink.showMessage("Please select items to save");
    showWorkerControls(false);
    m_running = false;
    return;
  }
  m_tree.setTreeEnabled(false);
  m_list.setEnabled(false);
  for (const char* id : {kBack, kSave, kSearch, kBrowse, kSaveSelectedFolder}) m_view.setEnabled(id, false);
  m_sink.progressRange(0, 0);
  m_sink.progressPosition(0);
  m_stop = 0;
  m_engine.setOutputFolder(m_view.text(kOutputFolder));
  // While the list holds search hits, what the user ticked among them is the save; the tree behind them
  // keeps its own ticks for a later save from the tree.
  if (m_engine.searchMode) m_engine.saveListRows();
  else m_engine.saveTree();
  m_sink.progressComplete();
  m_sink.showMessage("Saving process completed done.....");
  m_tree.setTreeEnabled(true);
  m_list.setEnabled(true);
  for (const char* id : {kBack, kSave, kSearch, kBrowse, kSaveSelectedFolder}) m_view.setEnabled(id, true);
  m_stop = 0;
  m_sink.setStatus("Saving Completed..");
  if (const std::string shortened = m_engine.shortenedStatus(); !shortened.empty()) m_sink.setStatus(shortened);
  // A file that could not be written is never passed over in silence.
  const std::string failures = m_engine.failureStatus();
  if (!failures.empty()) m_sink.setStatus(failures);
  showWorkerControls(false);
  m_running = false;
}

void VolumeScanDlg::onSaveSelectedFolder() {
  const std::string folder = m_view.text(kOutputFolder);
  if (folder.empty()) {
    m_sink.showMessage("Select output folder");
    return;
  }
  if (!m_parser || m_running) return;
  const std::int64_t data = m_tree.itemData(m_tree.selectedItem());
  if (m_tree.selectedItem() == kNoItem || !m_parser->validItem(data) || !m_parser->isFolder(data)) return;
  const std::int64_t count = m_parser->fileCount(data);
  m_sink.progressRange(0, count, ProgressAmount::items(count));
  if (!m_sink.askYesNo(format("number of files found inside this folder = %lld .do u want to continue dumping these files..?",
                              static_cast<long long>(count))))
    return;
  m_engine.setOutputFolder(folder);
  m_engine.writeFolderEntries(data, folder, 0, m_parser->folderRules());
  m_sink.progressPosition(count);
  m_sink.showMessage(m_parser->folderSavedMessage());
  const std::string failures = m_engine.failureStatus();
  if (!failures.empty()) m_sink.setStatus(failures);
}

void VolumeScanDlg::insertChildren(TreeItem item, std::int64_t data) {
  const bool state = m_tree.GetCheck(item);
  for (std::int64_t child : m_parser->children(data)) {
    const bool folder = m_parser->isFolder(child);
    const TreeItem added = m_tree.insertItem(m_parser->name(child), item, kInsertLast,
                                             folder ? TreeIcon::Folder : TreeIcon::File, child, state);
    if (m_parser->isDeleted(child)) m_tree.markDeleted(added);
    if (folder && !m_parser->children(child).empty())
      m_tree.insertItem(SaveEngine::kPlaceholder, added, kInsertLast, TreeIcon::File, -1, state);
  }
}

void VolumeScanDlg::fillFolder(TreeItem item) {
  if (!m_parser || m_running) return;
  const std::int64_t data = m_tree.itemData(item);
  if (!m_parser->validItem(data)) return;
  const TreeItem first = m_tree.childItem(item);
  // Only a folder still holding its placeholder is filled, so a second expansion adds nothing.
  if (first == kNoItem || m_tree.itemText(first) != SaveEngine::kPlaceholder) return;
  m_tree.deleteItem(first);
  insertChildren(item, data);
  if (m_detailListShown) fillDetailList(item);
}

void VolumeScanDlg::onItemExpanding(TreeItem item) { fillFolder(item); }

void VolumeScanDlg::onTreeDoubleClick(TreeItem item) {
  if (!m_parser || m_running) return;
  const std::int64_t data = m_tree.itemData(item);
  if (!m_parser->validItem(data)) return;
  if (m_parser->isFolder(data)) {
    fillFolder(item);
    return;
  }
  dumpFile(data);
}

void VolumeScanDlg::onListDoubleClick(std::size_t row) {
  if (!m_parser || m_running || row >= m_list.rowCount()) return;
  const std::int64_t data = m_list.row(row).data;
  // A search hit's row holds its entry; the folder's rows hold their tree items.
  if (!m_engine.searchMode) {
    if (m_tree.isValid(data)) onTreeDoubleClick(data);
    return;
  }
  if (m_parser->validItem(data) && !m_parser->isFolder(data)) dumpFile(data);
}

void VolumeScanDlg::dumpFile(std::int64_t data) {
  std::string folder = m_view.text(kOutputFolder);
  // Without an output folder the file goes to the temporary folder.
  if (folder.empty()) folder = temporaryDirectory();
  const std::string path = m_parser->writeFile(data, folder);
  const std::string shown = path.empty() ? childPath(folder, m_parser->name(data)) : path;
  m_sink.showMessage(format("file is dumped in path  :  %s   ", shown.c_str()));
  // A file that could not be written whole is never reported as dumped without a word.
  if (path.empty()) m_sink.setStatus("1 file could not be written whole: " + shown);
}

void VolumeScanDlg::onLabelClicked(std::uint32_t hitFlags, TreeItem item) {
  (void)hitFlags;
  fillDetailList(item);
}

void VolumeScanDlg::fillDetailList(TreeItem item) {
  if (!m_parser || m_running) return;
  const std::int64_t data = m_tree.itemData(item);
  if (!m_parser->validItem(data)) return;
  const TreeItem first = m_tree.childItem(item);
  if (first != kNoItem && m_tree.itemText(first) == SaveEngine::kPlaceholder && m_tree.childCount(item) == 1) {
    fillFolder(item);
    return;  // filling refreshed the list
  }
  m_list.deleteAllRows();
  // From now on the list holds tree items, not search hits.
  m_engine.searchMode = false;
  m_engine.searchHits.clear();
  auto addRow = [&](TreeItem child) {
    const std::int64_t childData = m_tree.itemData(child);
    if (!m_parser->validItem(childData) || !m_parser->isListedFile(childData)) return;
    const EntryTexts t = m_parser->texts(childData);
    const std::size_t row =
        m_list.appendRow({m_tree.itemText(child), t.creation, t.access, t.modification, t.size, t.attributes}, child);
    // A row shows its tree item's tick.
    m_list.setRowChecked(row, m_tree.GetCheck(child));
  };
  if (m_parser->isListedFile(data)) {
    addRow(item);
    return;
  }
  for (TreeItem child = m_tree.childItem(item); child != kNoItem; child = m_tree.nextSiblingItem(child)) addRow(child);
}

void VolumeScanDlg::onListRowCheck(std::size_t row, bool checked) {
  // A search hit's row holds its entry, not a tree item: ticking it ticks only the row.
  if (m_engine.searchMode) return;
  const TreeItem item = m_list.row(row).data;
  if (m_tree.isValid(item)) m_tree.SetCheck(item, checked);
}

bool VolumeScanDlg::listRowDeleted(std::int64_t rowData) const {
  if (m_engine.searchMode) return m_parser && m_parser->validItem(rowData) && m_parser->isDeleted(rowData);
  return m_tree.isDeletedItem(rowData);
}

void VolumeScanDlg::onSearch() {
  if (!m_parser) return;
  // One worker at a time: the search reads the table and the tree that a running parse is filling.
  if (m_running) {
    m_sink.showMessage("Please wait for the running process.");
    return;
  }
  const std::string pattern = m_view.text(kSearchBox);
  m_running = true;
  m_worker.start([this, pattern] { searchWorker(pattern); });
}

void VolumeScanDlg::searchWorker(const std::string& pattern) {
  showWorkerControls(true);
  m_list.deleteAllRows();
  m_engine.searchHits.clear();
  m_engine.searchMode = true;
  m_searchRefused = false;
  m_searchTimedOut = false;
  m_searchEndMessage.clear();
  // A stop of an earlier worker is over: it must not end this search before it starts.
  m_stop = 0;
  m_parser->stopFlag() = 0;
  if (!pattern.empty()) {
    const std::optional<NamePattern> compiled = NamePattern::compile(pattern);
    if (!compiled) {
      m_searchRefused = true;
      m_sink.showMessage(patternRefusal(pattern));
    } else {
      NameSearchLinks links;
      links.parser = m_parser;
      links.tree = &m_tree;
      links.top = m_parser->topItem();
      links.sink = &m_sink;
      links.stopRequested = [this] {
        m_worker.gate().pass();
        return m_parser->stopFlag().load() != 0 || m_stop.load() != 0;
      };
      const std::string topText = m_tree.itemText(links.top);
      const NameSearchResult result = runNameSearch(links, *compiled, [&](const SearchHit& hit) {
        const EntryTexts t = m_parser->texts(hit.data);
        m_list.appendRow({hitRowText(topText, hit), t.creation, t.access, t.modification, t.size, t.attributes},
                         hit.data);
        m_engine.searchHits.push_back(hit);
      });
      // A pattern too costly to finish says so; the hits found until then stay listed.
      if (result.timedOut) {
        m_searchTimedOut = true;
        m_searchEndMessage = searchTimedOutMessage(result);
        m_sink.setStatus(m_searchEndMessage);
        m_sink.showMessage(m_searchEndMessage);
      }
    }
  }
  m_sink.progressComplete();
  m_sink.showMessage("Searching Finished");
  m_sink.setStatus("Searching Finished");
  showWorkerControls(false);
  m_running = false;
}

}  // namespace tessary
