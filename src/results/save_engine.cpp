// Saving ticked items: the tree walk, folder recreation, the search-hit rows and recycle-bin names.
#include "results/save_engine.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <functional>
#include <map>
#include <unordered_set>

#include "platform/bytes.h"
#include "platform/files.h"
#include "platform/text.h"

#ifndef EDQUOT
// Windows has no quota error of its own: a full quota reports as a full disk.
#define EDQUOT ENOSPC
#endif

namespace tessary {

namespace {

constexpr std::size_t kRecycleInfoLimit = 2048;
// Both record versions start with the version (8 bytes), the deleted file's size (8) and the time of
// deletion (8). Version 1 then holds the path in a fixed field of 260 UTF-16 units; version 2 holds the
// path's length in UTF-16 units (its closing NUL included, 4 bytes) and the path right after it.
constexpr std::size_t kRecycleInfoHeader = 24;
constexpr std::size_t kRecycleInfoV1PathBytes = 520;
constexpr std::size_t kRecycleInfoV2PathOffset = 28;

// UTF-16 units from `at`, at most `units` of them, up to the first NUL.
std::u16string utf16Until(Bytes bytes, std::size_t at, std::size_t units) {
  std::u16string text;
  for (std::size_t i = 0; i < units; ++i) {
    const std::optional<std::uint16_t> unit = le16(bytes, at + 2 * i);
    if (!unit || *unit == 0) break;
    text.push_back(static_cast<char16_t>(*unit));
  }
  return text;
}

}  // namespace

std::optional<std::u16string> recycleBinFormerPath(std::span<const std::byte> record) {
  const std::optional<std::uint64_t> version = le64(record, 0);
  if (!version || record.size() <= kRecycleInfoHeader) return std::nullopt;
  std::u16string path;
  if (*version == 1) {
    const std::size_t room = std::min(record.size() - kRecycleInfoHeader, kRecycleInfoV1PathBytes);
    path = utf16Until(record, kRecycleInfoHeader, room / 2);
  } else if (*version == 2) {
    const std::optional<std::uint32_t> units = le32(record, kRecycleInfoHeader);
    // The length is checked against the record before a unit is read.
    if (!units || *units == 0 || *units > (record.size() - kRecycleInfoV2PathOffset) / 2) return std::nullopt;
    path = utf16Until(record, kRecycleInfoV2PathOffset, *units);
  } else {
    return std::nullopt;
  }
  if (path.empty()) return std::nullopt;
  return path;
}

SaveEngine::SaveEngine(CXHtmlTree& tree, CCheckListCtrl& list, PageSink& sink, StopFlag& stop)
    : m_tree(tree), m_list(list), m_sink(sink), m_stop(stop) {}

void SaveEngine::setOutputFolder(const std::string& folder) {
  m_outputFolder = folder;
  m_output = OutputFolder(folder);
  m_failures.clear();
  m_incompleteCount = 0;
  m_outputFull = false;
  m_filesWithMissingBytes.clear();
}

// A folder below `path`, created when it is not there yet; false when it cannot be made.
bool SaveEngine::enterFolder(std::string& path, const std::string& name) {
  const std::optional<OutputFolder::Folder> at = m_output.at(path);
  if (!at) return false;
  const std::optional<OutputFolder::Folder> made = m_output.folder(*at, safeComponent(trimmed(name)));
  if (!made) return false;
  path = m_output.path(*made);
  return true;
}

void SaveEngine::noteFailure(const std::string& path, int error) {
  std::string reason = std::strerror(error);
  // A file too large for the output file system (or for this process's file-size limit) fails alone: the
  // files after it may well fit. A full disk or quota stops the save, as nothing more can be written.
  if (error == EFBIG) reason = "larger than the output file system accepts: " + reason;
  m_failures.push_back({path, error, reason});
  if (error == ENOSPC || error == EDQUOT) {
    m_outputFull = true;
    m_stop = 1;
  }
}

void SaveEngine::noteIncomplete(const std::string& path, const std::string& reason) {
  ++m_incompleteCount;
  m_failures.push_back({path, 0, reason});
}

std::string SaveEngine::shortenedStatus() const {
  const auto& names = m_output.shortened();
  if (names.empty()) return {};
  std::size_t renamed = 0;
  for (const OutputFolder::Shortened& name : names)
    if (name.why == OutputFolder::Shortened::Why::NotAllowed) ++renamed;
  const std::size_t shortened = names.size() - renamed;
  std::string what;
  if (shortened == 1) what = "1 name was too long for the output folder and was shortened";
  else if (shortened > 1) what = format("%zu names were too long for the output folder and were shortened", shortened);
  if (renamed > 0) {
    if (!what.empty()) what += "; ";
    what += renamed == 1 ? std::string("1 name cannot be held by the output folder and was renamed")
                         : format("%zu names cannot be held by the output folder and were renamed", renamed);
  }
  return what + "; the first is saved as " + names.front().path;
}

std::string SaveEngine::failureStatus() const {
  if (m_failures.empty()) return {};
  const auto count = static_cast<long long>(m_failures.size()) - m_incompleteCount;
  std::vector<std::string> parts;
  if (count == 1) parts.emplace_back("1 file could not be written");
  if (count > 1) parts.push_back(format("%lld files could not be written", count));
  if (m_incompleteCount == 1) parts.emplace_back("1 file is incomplete");
  if (m_incompleteCount > 1) parts.push_back(format("%lld files are incomplete", static_cast<long long>(m_incompleteCount)));
  std::string what;
  for (const std::string& part : parts) what += (what.empty() ? "" : "; ") + part;
  const Failure& firstOne = m_failures.front();
  const std::string first = format("%s (%s)", firstOne.path.c_str(), firstOne.reason.c_str());
  if (m_outputFull) return "The output disk is full: saving stopped. " + what + "; the first: " + first;
  return what + "; the first: " + first;
}

bool SaveEngine::stopRequested() const {
  if (m_gate) m_gate->pass();
  return m_stop.load() != 0;
}

bool SaveEngine::anythingTicked() const {
  if (!searchMode) return m_tree.anyChecked();
  for (std::size_t i = 0; i < m_list.rowCount(); ++i)
    if (m_list.rowChecked(i)) return true;
  return false;
}

void SaveEngine::saveTree() {
  const TreeItem root = m_tree.rootItem();
  if (root == kNoItem || !m_tree.hasChildren(root)) return;
  saveSubtree(root);
}

void SaveEngine::saveSubtree(TreeItem item) {
  // The tree's own depth is the stack's: each entry is the next child to look at on one level.
  std::vector<TreeItem> stack{m_tree.childItem(item)};
  while (!stack.empty()) {
    const TreeItem child = stack.back();
    if (child == kNoItem || stopRequested()) {
      stack.pop_back();
      continue;
    }
    stack.back() = m_tree.nextSiblingItem(child);
    if (!m_tree.hasChildren(child)) {
      if (m_tree.GetCheck(child)) saveCheckedFile(child);
    } else if (m_tree.GetCheck(child) && m_tree.itemText(m_tree.childItem(child)) == kPlaceholder) {
      saveFolderItem(child);  // never expanded: saved straight from the parser's entries
    } else {
      stack.push_back(m_tree.childItem(child));  // a partly ticked folder: only its ticked descendants
    }
  }
}

void SaveEngine::recreateAncestors(TreeItem item, std::string& path) {
  std::vector<std::string> names;
  const TreeItem top = m_tree.rootItem();
  for (TreeItem at = m_tree.parentItem(item); at != kNoItem && at != kTreeRoot && at != top;
       at = m_tree.parentItem(at)) {
    names.push_back(trimmed(m_tree.itemText(at)));
  }
  std::optional<OutputFolder::Folder> folder = m_output.at(path);
  if (!folder) return;
  // From the ancestor just below the top item down to the parent; a folder that cannot be created is
  // left out of the path.
  for (auto it = names.rbegin(); it != names.rend(); ++it)
    if (const auto made = m_output.folder(*folder, safeComponent(*it))) folder = made;
  path = m_output.path(*folder);
}

void SaveEngine::writeAndRecord(std::int64_t data, const std::string& folder) {
  if (m_outputFull) return;
  const std::optional<OutputFolder::Folder> at = m_output.at(folder);
  if (!at) {
    const std::string path = childPath(folder, m_parser->name(data));
    noteFailure(path, ENOENT);
    m_written.push_back({path, 0, false});
    return;
  }
  writeAndRecord(data, *at);
}

void SaveEngine::writeAndRecord(std::int64_t data, OutputFolder::Folder folder) {
  if (m_outputFull) return;
  const std::string name = safeComponent(trimmed(m_parser->name(data)));
  OutputFile out;
  const std::optional<std::string> path = m_output.file(out, folder, name, data);
  if (!path) {
    const int error = errno;
    const std::string wanted = childPath(m_output.path(folder), name);
    noteFailure(wanted, error);
    m_written.push_back({wanted, 0, false, m_parser->isDeleted(data)});
    return;
  }
  const std::uint64_t missingBefore = m_reader ? m_reader->missingReads.load() : 0;
  const std::uint64_t expected = m_parser->sizeBytes(data);
  const bool whole = m_parser->writeContent(data, out);
  out.close();
  const std::uint64_t bytes = out.written();
  // A file is whole only when the writer says so, the host kept every byte and none of the entry's
  // size is missing; anything less is a counted failure, never a success.
  bool complete = false;
  if (out.error() != 0) {
    noteFailure(*path, out.error());
  } else if (bytes < expected) {
    noteIncomplete(*path, format("%llu of %llu bytes written", static_cast<unsigned long long>(bytes),
                                 static_cast<unsigned long long>(expected)));
  } else if (!whole) {
    noteIncomplete(*path, "its data could not all be read");
  } else {
    complete = true;
  }
  if (m_reader && m_reader->missingReads.load() != missingBefore) m_filesWithMissingBytes.push_back(*path);
  m_written.push_back({*path, bytes, complete, m_parser->isDeleted(data)});
}

void SaveEngine::saveCheckedFile(TreeItem item) {
  if (!m_parser) return;
  const std::int64_t data = m_tree.itemData(item);
  if (!m_parser->validItem(data)) return;
  std::string folder = m_outputFolder;
  recreateAncestors(item, folder);
  // A ticked folder with nothing below it becomes an empty folder, not an empty file of its name.
  if (m_parser->isFolder(data)) {
    std::string made = folder;
    enterFolder(made, m_parser->name(data));
    return;
  }
  const std::string filePath = childPath(folder, m_parser->name(data));
  m_sink.setStatus("saving File  " + filePath);
  m_sink.setSizeLine("File size: " + m_parser->saveSizeText(data));
  if (!m_parser->neverWritten(data)) writeAndRecord(data, folder);
  m_sink.setSizeLine("");
}

void SaveEngine::saveFolderFile(std::int64_t data, const std::string& folder) {
  m_sink.setStatus("saving File  " + childPath(folder, m_parser->name(data)));
  m_sink.setSizeLine("File size: " + m_parser->saveSizeText(data));
  if (!m_parser->neverWritten(data)) writeAndRecord(data, folder);
  m_sink.setSizeLine("");
}

void SaveEngine::saveFolderFile(std::int64_t data, OutputFolder::Folder folder) {
  m_sink.setStatus("saving File  " + childPath(m_output.path(folder), m_parser->name(data)));
  m_sink.setSizeLine("File size: " + m_parser->saveSizeText(data));
  if (!m_parser->neverWritten(data)) writeAndRecord(data, folder);
  m_sink.setSizeLine("");
}

void SaveEngine::saveFolderItem(TreeItem item) {
  if (m_outputFolder.empty()) {
    m_sink.showMessage("Select output folder");
    return;
  }
  if (!m_parser) return;
  std::string path = m_outputFolder;
  recreateAncestors(item, path);
  const std::string folderName = rightTrimmed(m_tree.itemText(item));
  const std::string parent = path;
  const bool made = folderName.empty() || enterFolder(path, folderName);
  const int error = errno;
  m_sink.setStatus("saving Folder: " + folderName);
  const std::int64_t data = m_tree.itemData(item);
  if (!m_parser->isFolder(data)) return;
  const std::int64_t count = m_parser->fileCount(data);
  m_sink.progressRange(0, count, ProgressAmount::items(count));
  // The folder's files would have nowhere to go: each one is a failure.
  if (!made) {
    noteUnmadeFolder(data, childPath(parent, folderName), error);
    m_sink.progressPosition(count);
    return;
  }
  writeFolderEntries(data, path, 0, m_parser->folderRules());
  m_sink.progressPosition(count);
}

void SaveEngine::noteUnmadeFolder(std::int64_t folder, const std::string& path, int error) {
  const std::string reason = format("its folder %s could not be made: %s", path.c_str(), std::strerror(error));
  std::unordered_set<std::int64_t> seen{folder};
  std::vector<std::pair<std::int64_t, std::string>> stack{{folder, path}};
  while (!stack.empty()) {
    const auto [at, here] = std::move(stack.back());
    stack.pop_back();
    for (std::int64_t child : m_parser->children(at)) {
      const std::string name = m_parser->name(child);
      if (m_parser->isFolder(child)) {
        if (seen.insert(child).second) stack.emplace_back(child, childPath(here, name));
      } else if (!m_parser->neverWritten(child)) {
        const std::string wanted = childPath(here, name);
        m_failures.push_back({wanted, error, reason});
        m_written.push_back({wanted, 0, false});
      }
    }
  }
}

std::int64_t SaveEngine::writeFolderEntries(std::int64_t folder, const std::string& path, std::int64_t counter,
                                            const FolderRules& rules) {
  // One frame per folder level, the walk's own stack: a tree of any depth is walked without recursion,
  // and each level's host folder stays at hand for its files.
  struct Frame {
    std::int64_t folder;
    std::vector<std::int64_t> children;
    std::size_t next = 0;
    std::optional<OutputFolder::Folder> out;
  };
  std::int64_t count = counter;
  const std::string start = rightTrimmed(path);
  const std::optional<OutputFolder::Folder> top = m_output.at(start);
  std::optional<OutputFolder::Folder> fallback;
  std::unordered_set<std::int64_t> onWalk{folder};
  std::vector<Frame> stack;
  stack.push_back({folder, m_parser->children(folder), 0, top});
  while (!stack.empty() && !stopRequested()) {
    Frame& frame = stack.back();
    if (frame.next >= frame.children.size()) {
      onWalk.erase(frame.folder);
      stack.pop_back();
      continue;
    }
    const std::int64_t child = frame.children[frame.next++];
    m_sink.progressPosition(count);
    const std::string name = m_parser->name(child);
    if (!m_parser->isFolder(child)) {
      ++count;
      std::optional<OutputFolder::Folder> into = frame.out;
      // Files with no output path at all go to the parser's fallback folder.
      if (start.empty() && into == top && !rules.emptyPathFallback.empty()) {
        if (!fallback) {
          createDirectory(rules.emptyPathFallback);
          fallback = m_output.at(rules.emptyPathFallback);
        }
        into = fallback;
      }
      if (into) {
        saveFolderFile(child, *into);
      } else {
        saveFolderFile(child, start);
      }
      continue;
    }
    // "." and ".." name the folder itself or its parent: nothing to create, nothing to descend.
    const std::string bare = trimmed(name);
    if (bare == "." || bare == ".." || onWalk.count(child)) continue;
    std::optional<OutputFolder::Folder> below = frame.out;
    if (!bare.empty() && frame.out) {
      below = m_output.folder(*frame.out, safeComponent(bare));
      if (!below) {
        // Nothing below a folder that cannot be made can be written: each of its files is a failure.
        const int error = errno;
        const std::string unmade = childPath(m_output.path(*frame.out), name);
        count += countFilesBelow(*m_parser, child);
        noteUnmadeFolder(child, unmade, error);
        if (error == ENOSPC || error == EDQUOT) {
          m_outputFull = true;
          m_stop = 1;
        }
        continue;
      }
    }
    if (std::find(rules.notDescended.begin(), rules.notDescended.end(), name) != rules.notDescended.end()) continue;
    onWalk.insert(child);
    stack.push_back({child, m_parser->children(child), 0, below});
  }
  return count;
}

bool SaveEngine::makeFolderChain(std::string& base, const std::string& relativePath) {
  std::vector<std::string> pieces;
  std::size_t start = 0;
  while (start <= relativePath.size()) {
    const std::size_t end = relativePath.find('\\', start);
    pieces.push_back(relativePath.substr(start, end == std::string::npos ? std::string::npos : end - start));
    if (end == std::string::npos) break;
    start = end + 1;
  }
  // The first piece is the volume's top item, which is never recreated.
  if (!pieces.empty()) pieces.erase(pieces.begin());
  return makeFolderChain(base, pieces);
}

bool SaveEngine::makeFolderChain(std::string& base, const std::vector<std::string>& folders) {
  std::optional<OutputFolder::Folder> at = m_output.at(base);
  if (!at) return false;
  for (const std::string& piece : folders) {
    const std::optional<OutputFolder::Folder> made = m_output.folder(*at, safeComponent(trimmed(piece)));
    if (!made) {
      const int error = errno;
      base = m_output.path(*at);
      m_sink.showMessage(format("cant create folder %s ", piece.c_str()));
      errno = error;
      return false;
    }
    at = made;
  }
  base = m_output.path(*at);
  return true;
}

void SaveEngine::saveListRows() {
  if (!m_parser) return;
  const std::size_t rows = m_list.rowCount();
  m_sink.progressRange(0, static_cast<std::int64_t>(rows), ProgressAmount::items(static_cast<std::int64_t>(rows)));
  m_list.setSelection(-1);
  std::int64_t position = 0;
  for (std::size_t i = 0; i < rows && !stopRequested(); ++i) {
    m_sink.progressPosition(++position);
    if (!m_list.rowChecked(i)) continue;
    const CCheckListCtrl::Row row = m_list.row(i);
    if (row.texts.empty()) continue;
    const std::int64_t data = row.data;
    if (!m_parser->validItem(data)) continue;
    std::string base = m_outputFolder;
    // A hit's folders are taken as the search found them, so a name holding a backslash stays one
    // folder; other rows are split at the backslashes of their text.
    bool made = false;
    if (i < searchHits.size() && searchHits[i].data == data) {
      made = makeFolderChain(base, searchHits[i].folders);
    } else {
      const std::string& text = row.texts.front();
      const std::size_t lastPiece = text.rfind('\\');
      made = makeFolderChain(base, lastPiece == std::string::npos ? std::string() : text.substr(0, lastPiece));
    }
    if (!made) {
      // The hit's file cannot be written below a folder that could not be made: a counted failure.
      const int error = errno;
      if (!m_parser->neverWritten(data)) {
        const std::string wanted = childPath(base, m_parser->name(data));
        m_failures.push_back({wanted, error, format("a folder of its path could not be made: %s", std::strerror(error))});
        m_written.push_back({wanted, 0, false});
        if (error == ENOSPC || error == EDQUOT) {
          m_outputFull = true;
          m_stop = 1;
        }
      }
      continue;
    }
    if (!m_parser->neverWritten(data)) writeAndRecord(data, base);
  }
  m_sink.progressPosition(static_cast<std::int64_t>(rows));
}

void SaveEngine::restoreRecycleBinNames() {
  if (!m_parser) return;
  const TreeItem top = m_tree.rootItem();
  for (TreeItem item = m_tree.childItem(top); item != kNoItem; item = m_tree.nextSiblingItem(item)) {
    if (m_tree.itemIcon(item) != TreeIcon::Folder) continue;
    const std::string text = m_tree.itemText(item);
    if (text != "$RECYCLE.BIN" && text != "$RECYCLEBIN") continue;
    const std::int64_t bin = m_tree.itemData(item);
    if (!m_parser->validItem(bin)) continue;
    for (std::int64_t user : m_parser->children(bin)) {
      if (!m_parser->isFolder(user)) continue;
      std::map<std::string, std::string> formerNames;
      const std::vector<std::int64_t> files = m_parser->children(user);
      for (std::int64_t f : files) {
        const std::string name = m_parser->name(f);
        if (name.find("$I") == std::string::npos) continue;
        // The "$I" record is read into memory through the parser's data writer; one of 2048 bytes or more
        // is not read (nor is one whose entry claims that size, so a hostile size never reaches the sink).
        if (m_parser->sizeBytes(f) >= kRecycleInfoLimit) continue;
        MemorySink info(kRecycleInfoLimit - 1);
        m_parser->writeContent(f, info);
        if (info.overflowed()) continue;
        // A record of neither version leaves its "$R" partner under its own name.
        const std::optional<std::u16string> original = recycleBinFormerPath(info.bytes());
        if (!original) continue;
        const std::size_t slash = original->rfind(u'\\');
        const std::string former = utf8FromUtf16(slash == std::u16string::npos ? *original : original->substr(slash + 1));
        if (!former.empty()) formerNames[name] = former;
      }
      for (const auto& [infoName, formerName] : formerNames) {
        std::string partner = infoName;
        for (std::size_t at = partner.find("$I"); at != std::string::npos; at = partner.find("$I", at + 2))
          partner.replace(at, 2, "$R");
        for (std::int64_t f : files)
          if (m_parser->name(f) == partner) m_parser->renameEntry(f, formerName);
      }
    }
  }
}

}  // namespace tessary
