// The advanced-input page's logic.
#include "app/advance_options.h"

#include <algorithm>

#include "app/wizard_state.h"
#include "fs/registry.h"

namespace tessary {

namespace {

std::vector<std::string> texts(const std::vector<CandidateItem>& items) {
  std::vector<std::string> out;
  for (const CandidateItem& item : items) out.push_back(item.text);
  return out;
}

}  // namespace

advanceOptions::advanceOptions(WizardState& state, PageView& view, PageSink& sink)
    : m_state(state), m_view(view), m_sink(sink) {}

advanceOptions::~advanceOptions() {
  if (m_scan) m_scan->parser().stopFlag() = 1;
  m_worker.gate().resume();
  m_worker.join();
}

void advanceOptions::onOpen() {
  m_sink.setStatus("Processing.....");
  for (const char* id : {kCandidates, kClusterSizes, kHeapOffsets}) m_view.setItems(id, {});
  m_view.setEnabled(kNext, true);
  const VolumeEntry volume = m_state.selectedVolume.value_or(VolumeEntry{});
  const FileSystemRow* row = fileSystemForLabel(volume.fileSystem);
  if (!row || !row->createCandidateScan) return;
  if (!m_state.diskReader) {
    m_sink.setStatus("Please Restart the program to re begin necessary initialization...");
    return;
  }
  m_scan = row->createCandidateScan();
  const std::string selected = m_scan->selectedStatus();
  if (!selected.empty()) m_sink.setStatus(selected);
  const std::string caption = m_scan->counterCaption();
  if (!caption.empty()) m_view.setText(kCounterCaption, caption);
  m_links.reader = m_state.diskReader.get();
  m_links.view = VolumeView::ofListedVolume(*m_state.diskReader, m_state.disk, volume.startSector);
  m_links.volume = volume;
  m_links.sink = &m_sink;
  m_links.topItemText = m_state.rootLabel;
  m_links.mode = 2;
  m_links.control = WorkerControl(&m_scan->parser().stopFlag(), &m_worker.gate());
  // Two workers never share the parser: Next stays disabled until this one has ended.
  m_view.setEnabled(kNext, false);
  m_worker.start([this] { entryWorker(); });
}

void advanceOptions::entryWorker() {
  CandidateLists lists = m_scan->search(m_links, m_state.maxFileSystems, m_state.driveFormatted);
  m_view.setItems(kCandidates, texts(lists.candidates));
  m_view.setItems(kClusterSizes, texts(lists.clusterSizes));
  m_view.setItems(kHeapOffsets, texts(lists.heapOffsets));
  m_view.setSelection(kCandidates, lists.candidates.empty() ? -1 : 0);
  m_view.setSelection(kClusterSizes, lists.clusterSizes.empty() ? -1 : 0);
  m_view.setSelection(kHeapOffsets, lists.heapOffsets.empty() ? -1 : 0);
  m_lists = lists;
  if (!lists.message.empty()) m_sink.showMessage(lists.message);
  if (!lists.status.empty()) m_sink.setStatus(lists.status);
  m_view.setEnabled(kNext, true);
}

void advanceOptions::onPause() {
  if (!m_worker.running()) return;
  m_worker.gate().pause();
  m_sink.setStatus("Pause button pressed");
}

void advanceOptions::onResume() {
  m_worker.gate().resume();
  m_sink.setStatus("Resume button pressed");
}

void advanceOptions::onStop() {
  if (m_scan) m_scan->parser().stopFlag() = 1;
  m_sink.setStatus("stop button pressed");
}

advanceOptions::NextPage advanceOptions::onNext() {
  // A paused worker would never end: Next lets it run to its end.
  m_worker.gate().resume();
  m_worker.join();
  if (!m_scan || m_view.items(kCandidates).empty()) {
    m_sink.showMessage("No File system Entry Found.Process cannot be continue...");
    return NextPage::None;
  }
  const int clusterSize = m_view.selection(kClusterSizes);
  if (clusterSize < 0) return NextPage::None;
  m_scan->choose(m_view.selection(kCandidates), clusterSize, m_view.selection(kHeapOffsets));
  return NextPage::Results;
}

AdvancedInput advanceOptions::handOver() const {
  AdvancedInput input;
  input.scan = m_scan.get();
  input.candidates = m_view.items(kCandidates);
  input.clusterSizes = m_view.items(kClusterSizes);
  input.heapOffsets = m_view.items(kHeapOffsets);
  input.candidate = m_view.selection(kCandidates);
  input.clusterSize = m_view.selection(kClusterSizes);
  input.heapOffset = m_view.selection(kHeapOffsets);
  return input;
}

void advanceOptions::onBack() {
  if (m_scan) m_scan->parser().stopFlag() = 1;
  m_worker.gate().resume();
  m_worker.join();
}

}  // namespace tessary
