// The in-memory test parser.
#include "support/memory_parser.h"

#include <unordered_set>

#include "platform/files.h"
#include "platform/text.h"

namespace tessary::test {

MemoryParser::MemoryParser() {
  m_entries.emplace_back();
  Entry root;
  root.name = ".";
  root.folder = true;
  m_entries.push_back(root);
}

std::int64_t MemoryParser::add(std::int64_t parent, const std::string& name, bool folder, const std::string& content,
                               bool deleted) {
  const auto index = static_cast<std::int64_t>(m_entries.size());
  Entry added;
  added.name = name;
  added.folder = folder;
  added.deleted = deleted;
  added.content = content;
  m_entries.push_back(added);
  Entry& p = entry(parent);
  if (p.firstChild == 0) {
    p.firstChild = index;
  } else {
    std::int64_t at = p.firstChild;
    while (entry(at).nextSibling > 0) at = entry(at).nextSibling;
    entry(at).nextSibling = index;
  }
  return index;
}

ParserSlot::WorkerOutcome MemoryParser::runWorker(const ParserLinks& links) {
  ++workerRuns;
  m_top = links.tree->insertItem(links.topItemText, kTreeRoot, kInsertLast, TreeIcon::Folder, -1, false);
  links.tree->SetCheck(m_top, true);
  for (std::int64_t child : children(1)) {
    const TreeItem item = links.tree->insertItem(name(child), m_top, kInsertLast,
                                                 isFolder(child) ? TreeIcon::Folder : TreeIcon::File, child, false);
    if (isDeleted(child)) links.tree->markDeleted(item);
  }
  links.tree->SetCheck(m_top, true);
  links.tree->expand(m_top, true);
  if (progressSteps > 0 && links.sink) {
    links.sink->progressRange(0, progressSteps);
    for (std::int64_t step = 0; step < progressSteps; ++step) links.sink->progressPosition(step);
  }
  if (outcome) return *outcome;
  return {"Scanning process completed.", "Processing done..."};
}

bool MemoryParser::validItem(std::int64_t data) const {
  return data > 0 && data < static_cast<std::int64_t>(m_entries.size());
}

bool MemoryParser::isFolder(std::int64_t data) const { return validItem(data) && m_entries[data].folder; }

bool MemoryParser::isListedFile(std::int64_t data) const { return validItem(data) && !m_entries[data].folder; }

std::vector<std::int64_t> MemoryParser::children(std::int64_t data) const {
  std::vector<std::int64_t> out;
  if (!validItem(data)) return out;
  std::unordered_set<std::int64_t> seen;
  for (std::int64_t at = m_entries[data].firstChild; validItem(at) && seen.insert(at).second;
       at = m_entries[at].nextSibling)
    out.push_back(at);
  return out;
}

std::string MemoryParser::name(std::int64_t data) const { return validItem(data) ? m_entries[data].name : ""; }

bool MemoryParser::isDeleted(std::int64_t data) const { return validItem(data) && m_entries[data].deleted; }

EntryTexts MemoryParser::texts(std::int64_t data) {
  return {"c", "a", "m", format("%zu Bytes", validItem(data) ? m_entries[data].content.size() : 0), "-A"};
}

std::string MemoryParser::saveSizeText(std::int64_t data) { return texts(data).size; }

std::uint64_t MemoryParser::sizeBytes(std::int64_t data) {
  if (!validItem(data)) return 0;
  const Entry& e = m_entries[data];
  return e.claimedSize.value_or(e.leadingHole + e.content.size());
}

std::int64_t MemoryParser::fileCount(std::int64_t folder) const { return countFilesBelow(*this, folder); }

FolderRules MemoryParser::folderRules() const {
  FolderRules rules;
  rules.notDescended = {"."};
  rules.emptyPathFallback = temporaryDirectory() + "/tessary-memory";
  return rules;
}

std::string MemoryParser::writeFile(std::int64_t data, const std::string& folder) {
  if (!validItem(data)) return {};
  OutputFile out;
  const std::optional<std::string> path = createOutputFile(out, folder, name(data));
  if (!path) return {};
  writeContent(data, out);
  return *path;
}

bool MemoryParser::writeContent(std::int64_t data, DataSink& sink) {
  if (!validItem(data)) return false;
  const Entry& e = m_entries[data];
  if (e.leadingHole > 0 && !sink.hole(e.leadingHole)) return false;
  const bool written = sink.write(std::as_bytes(std::span(e.content.data(), e.content.size())));
  return written && !e.writerFails;
}

}  // namespace tessary::test
