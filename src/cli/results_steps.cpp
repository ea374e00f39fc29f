// The recovery-mode and results pages driven from the command line.
#include "results_steps.h"

#include <algorithm>
#include <ostream>
#include <unordered_set>
#include <vector>

#include "fs/registry.h"
#include "platform/files.h"
#include "platform/text.h"
#include "fs/parser_slot.h"
#include "results/save_engine.h"

namespace tessary::cli {

ResultsSteps::ResultsSteps(HeadlessWizard& wizard, const CommonOptions& options)
    : m_wizard(wizard), m_options(options) {}

bool ResultsSteps::recoveryModePage() {
  m_recovery = std::make_unique<ParceModeNtfsDlg>(m_wizard.state(), m_recoveryView, m_wizard.sink(), modeBuilt);
  m_recovery->onOpen();
  const char* wanted = ParceModeNtfsDlg::kStandard;
  if (m_options.mode == "advanced") {
    wanted = ParceModeNtfsDlg::kAdvanced;
    if (m_recoveryView.shown(wanted)) m_recovery->onAdvanced();
  } else if (m_options.mode == "deep") {
    wanted = ParceModeNtfsDlg::kDeep;
    if (m_recoveryView.shown(wanted)) m_recovery->onDeep();
  }
  if (!m_recoveryView.shown(wanted) || !m_recoveryView.checked(wanted)) {
    m_wizard.sink().showMessage(std::string("The recovery mode \"") + wanted + "\" is not offered for this volume.");
    return false;
  }
  if (m_options.maxCandidates) m_recoveryView.setText(ParceModeNtfsDlg::kMaxField, *m_options.maxCandidates);
  if (m_options.formatted && m_recoveryView.shown(ParceModeNtfsDlg::kFormatted)) m_recovery->onFormatted(true);
  const auto next = m_recovery->onNext();
  if (next == ParceModeNtfsDlg::NextPage::Results) return true;
  if (next == ParceModeNtfsDlg::NextPage::AdvancedInput) {
    m_advancedNext = true;
    return true;
  }
  m_wizard.sink().showMessage(std::string("The recovery mode \"") + wanted + "\" is not offered for this volume.");
  return false;
}

bool ResultsSteps::openAdvancedInput() {
  m_advanced = std::make_unique<advanceOptions>(m_wizard.state(), m_advancedView, m_wizard.sink());
  m_advanced->onOpen();
  m_advanced->waitForWorker();
  m_wizard.sink().finishBar();
  return true;
}

bool ResultsSteps::advancedInputPage() {
  if (!m_advancedNext) return true;
  openAdvancedInput();
  // The lists' choices by position; the page selected the first item of each.
  const int clusterItem = m_options.sectorsPerCluster ? clusterItemOf(*m_options.sectorsPerCluster)
                                                      : m_options.sectorsPerClusterItem.value_or(0);
  if (clusterItem < 0) return false;
  const std::pair<const char*, int> choices[] = {{advanceOptions::kCandidates, m_options.candidate},
                                                 {advanceOptions::kClusterSizes, clusterItem},
                                                 {advanceOptions::kHeapOffsets, m_options.heapCandidate}};
  for (const auto& [id, position] : choices) {
    const auto count = static_cast<int>(m_advancedView.items(id).size());
    if (position != 0 && (position < 0 || position >= count)) {
      m_wizard.sink().showMessage(std::string("\"") + id + "\" has no item " + std::to_string(position) + ".");
      m_wizard.addHint("`tessary candidates` lists the items; positions count from 0");
      return false;
    }
    if (count > 0) m_advancedView.setSelection(id, position);
  }
  return m_advanced->onNext() == advanceOptions::NextPage::Results;
}

int ResultsSteps::clusterItemOf(const std::string& value) {
  const std::vector<std::string> items = m_advancedView.items(advanceOptions::kClusterSizes);
  std::string listed;
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (trimmed(items[i]) == trimmed(value)) return static_cast<int>(i);
    listed += (listed.empty() ? "" : ", ") + trimmed(items[i]);
  }
  m_wizard.sink().showMessage("\"Sector Per Cluster :\" offers no " + value + "; it lists " +
                              (listed.empty() ? std::string("nothing") : listed) + ".");
  m_wizard.addHint("--sectors-per-cluster takes one of the listed values; --sectors-per-cluster-item picks by position");
  return -1;
}

bool ResultsSteps::resultsPage() {
  m_results = std::make_unique<VolumeScanDlg>(m_wizard.state(), m_resultsView, m_wizard.sink());
  // Nobody sees the detail list here: opening a folder need not fill it.
  m_results->setDetailListShown(false);
  const AdvancedInput handOver = m_advanced ? m_advanced->handOver() : AdvancedInput{};
  m_results->onOpen(m_wizard.state().recoveryMode, m_advanced ? m_advanced->parser() : nullptr,
                    m_advanced ? &handOver : nullptr);
  m_results->waitForWorker();
  m_wizard.sink().finishBar();
  // A parse that failed is the command's failure, whatever the tree shows.
  const auto& volume = m_wizard.state().selectedVolume;
  const FileSystemRow* row = volume ? fileSystemForLabel(volume->fileSystem) : nullptr;
  if (const std::optional<std::string> failure = m_results->parseFailure()) {
    m_wizard.noteFailure(*failure);
    if (failure->rfind("Selected Drive is not in", 0) == 0 && m_options.mode == "standard" && row &&
        row->offersAdvanced)
      m_wizard.addHint("the boot sector does not read as this file system; --mode advanced searches the volume "
                       "for its structures (for a damaged or formatted volume)");
    return false;
  }
  if (m_results->parser() == nullptr && m_wizard.sink().lastMessage() == "Not a valid drive." && volume) {
    std::string list;
    for (const std::string& entry : treatAsEntries()) list += (list.empty() ? "" : ", ") + entry;
    m_wizard.addHint(row ? "this build reads no " + std::string(row->family) + " volume in the " + m_options.mode + " mode"
                         : "no file system is called \"" + volume->fileSystem + "\"; name the volume's with --fs LABEL (" +
                               list + ")");
  }
  if (m_results->parser() == nullptr || m_results->parser()->topItem() == kNoItem) return false;
  // A file system forced on a volume that holds another one, where the parser found nothing: the
  // volume does not hold it, which is a failure, not an empty listing.
  const std::string& listed = m_wizard.listedFileSystem();
  if (m_options.fs && !listed.empty() && !m_results->tree().hasChildren(m_results->parser()->topItem())) {
    const FileSystemRow* forced = fileSystemForTreatAs(*m_options.fs);
    const FileSystemRow* found = fileSystemForLabel(listed);
    if (forced && forced != found) {
      m_wizard.noteFailure("The volume holds " + listed + ", not " + *m_options.fs + ": no " + *m_options.fs +
                           " entries were found on it.");
      return false;
    }
  }
  return true;
}

ResultsSteps::NameRules ResultsSteps::nameRules() const {
  NameRules rules;
  const auto& volume = m_wizard.state().selectedVolume;
  const FileSystemRow* row = volume ? fileSystemForLabel(volume->fileSystem) : nullptr;
  if (!row) return rules;
  const std::string family = row->family;
  // ext compares names byte for byte; the others ignore case. FAT pads 8.3 names with blanks.
  rules.ignoreCase = family != "ext";
  rules.padded = family.rfind("FAT", 0) == 0;
  return rules;
}

std::string ResultsSteps::shownName(const std::string& name) const {
  return nameRules().padded ? rightTrimmed(name) : name;
}

bool ResultsSteps::sameName(const std::string& listed, const std::string& typed) const {
  const NameRules rules = nameRules();
  const std::string a = rules.padded ? rightTrimmed(listed) : listed;
  const std::string b = rules.padded ? rightTrimmed(typed) : typed;
  return rules.ignoreCase ? equalsNoCase(a, b) : a == b;
}

void ResultsSteps::visitAll(const std::function<void(std::int64_t, const std::string&)>& visit) {
  CXHtmlTree& tree = m_results->tree();
  ParserSlot* parser = m_results->parser();
  if (!parser) return;
  // One level per folder on the path, the walk's own stack: a level walks either the tree's items or, for
  // a folder the tree never opened, the parser's children of that folder.
  struct Level {
    TreeItem nextItem = kNoItem;
    std::vector<std::int64_t> entries;
    std::size_t nextEntry = 0;
    bool fromTree = true;
    std::int64_t data = -1;
    std::size_t prefixLength = 0;
  };
  auto opened = [&](TreeItem item) {
    const TreeItem first = tree.childItem(item);
    return first != kNoItem && tree.itemText(first) != SaveEngine::kPlaceholder;
  };
  // The file system's name rules, looked up once for the whole walk.
  const bool padded = nameRules().padded;
  std::unordered_set<std::int64_t> onPath;
  std::vector<Level> stack(1);
  stack.back().nextItem = tree.childItem(parser->topItem());
  std::string prefix;
  while (!stack.empty()) {
    Level& level = stack.back();
    TreeItem item = kNoItem;
    std::int64_t data = -1;
    if (level.fromTree && level.nextItem != kNoItem) {
      item = level.nextItem;
      level.nextItem = tree.nextSiblingItem(item);
      data = tree.itemData(item);
      if (!parser->validItem(data)) continue;  // the placeholder
    } else if (!level.fromTree && level.nextEntry < level.entries.size()) {
      data = level.entries[level.nextEntry++];
    } else {
      onPath.erase(level.data);
      stack.pop_back();
      continue;
    }
    const std::size_t prefixLength = level.prefixLength;
    prefix.resize(prefixLength);
    if (!prefix.empty()) prefix += '/';
    const std::string& name = item != kNoItem ? tree.itemText(item) : parser->name(data);
    prefix += padded ? rightTrimmed(name) : name;
    visit(data, prefix);
    if (!parser->isFolder(data) || onPath.count(data)) continue;
    onPath.insert(data);
    Level below;
    below.data = data;
    below.prefixLength = prefix.size();
    if (item != kNoItem && opened(item)) {
      below.nextItem = tree.childItem(item);
    } else {
      below.fromTree = false;
      below.entries = parser->children(data);
    }
    stack.push_back(std::move(below));
  }
}

TreeItem ResultsSteps::findPath(const std::string& path) {
  CXHtmlTree& tree = m_results->tree();
  ParserSlot* parser = m_results->parser();
  if (!parser) return kNoItem;
  TreeItem at = parser->topItem();
  std::size_t start = 0;
  while (at != kNoItem && start <= path.size()) {
    const std::size_t end = path.find('/', start);
    const std::string piece = path.substr(start, end == std::string::npos ? std::string::npos : end - start);
    start = end == std::string::npos ? path.size() + 1 : end + 1;
    if (piece.empty()) continue;
    tree.expand(at, true);
    // The name as listed first, then as the file system compares names (case, 8.3 padding).
    TreeItem found = kNoItem;
    for (int pass = 0; pass < 2 && found == kNoItem; ++pass)
      for (TreeItem child = tree.childItem(at); child != kNoItem; child = tree.nextSiblingItem(child)) {
        const std::string text = tree.itemText(child);
        if ((pass == 0 ? text == piece : sameName(text, piece)) && parser->validItem(tree.itemData(child))) {
          found = child;
          break;
        }
      }
    at = found;
  }
  return at == parser->topItem() ? kNoItem : at;
}

bool makeOutputFolder(const std::string& path, std::ostream& err) {
  std::size_t start = 0;
  while (start <= path.size()) {
    const std::size_t end = path.find('/', start);
    const std::string built = path.substr(0, end == std::string::npos ? path.size() : end);
    if (!built.empty() && !isDirectory(built) && !createDirectory(built)) break;
    if (end == std::string::npos) break;
    start = end + 1;
  }
  if (isDirectory(path)) return true;
  err << "cannot create the output folder " << path << '\n';
  return false;
}

void printSaveSummary(const SaveEngine& engine, const std::string& outDir, std::ostream& err) {
  std::uint64_t files = 0, bytes = 0, deleted = 0;
  for (const auto& file : engine.written()) {
    if (!file.complete) continue;
    ++files;
    bytes += file.bytes;
    if (file.deleted) ++deleted;
  }
  err << format("saved %llu files (%llu bytes, %llu of them deleted) below %s; %lld failed\n",
                static_cast<unsigned long long>(files), static_cast<unsigned long long>(bytes),
                static_cast<unsigned long long>(deleted), printableText(outDir).c_str(),
                static_cast<long long>(engine.failureCount()));
}

int reportSave(HeadlessWizard& wizard, const SaveEngine& engine, std::ostream& err) {
  for (const std::string& path : engine.filesWithMissingBytes())
    err << "warning: " << path << " holds zeros where the image ended before its data\n";
  wizard.warnAboutMissingReads();
  for (const OutputFolder::Shortened& name : engine.shortenedNames()) {
    if (name.why == OutputFolder::Shortened::Why::NotAllowed)
      err << "renamed: " << printableText(name.path) << " (the output folder cannot hold the name: "
          << printableText(name.name) << ")\n";
    else
      err << "shortened: " << printableText(name.path) << " (the name was too long for the output folder: "
          << printableText(name.name) << ")\n";
  }
  if (engine.failureCount() == 0) return 0;
  // Every file that failed, with its reason, then the closing line that counts them.
  for (const SaveEngine::Failure& failure : engine.failures())
    err << (failure.error == 0 ? "incomplete: " : "not written: ") << printableText(failure.path) << " ("
        << failure.reason << ")\n";
  err << engine.failureStatus() << '\n';
  return 1;
}

}  // namespace tessary::cli
