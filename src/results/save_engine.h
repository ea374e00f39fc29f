// The save engine: walks the ticked tree (or the ticked search hits), rebuilds the folders above each item
// below the output folder and has the parser write each file; also restores recycle-bin names.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "controls/check_list.h"
#include "controls/xhtml_tree.h"
#include "disk/read_write_interface.h"
#include "platform/files.h"
#include "platform/output_folder.h"
#include "platform/page_sink.h"
#include "platform/worker.h"
#include "results/name_search.h"
#include "fs/results_parser.h"

namespace tessary {

class SaveEngine {
 public:
  SaveEngine(CXHtmlTree& tree, CCheckListCtrl& list, PageSink& sink, StopFlag& stop);

  void setParser(ResultsParser* parser) { m_parser = parser; }
  ResultsParser* parser() const { return m_parser; }
  void setPauseGate(PauseGate* gate) { m_gate = gate; }
  // The output-folder box's text, read at the start of every save; each save starts afresh below it.
  void setOutputFolder(const std::string& folder);
  const std::string& outputFolder() const { return m_outputFolder; }
  // The detail list holds search hits: searchHits[i] is row i's hit.
  std::atomic<bool> searchMode{false};
  std::vector<SearchHit> searchHits;

  void saveTree();
  void saveSubtree(TreeItem item);
  void saveCheckedFile(TreeItem item);
  void saveFolderItem(TreeItem item);
  void saveListRows();
  void recreateAncestors(TreeItem item, std::string& path);
  bool makeFolderChain(std::string& base, const std::string& relativePath);
  // The same over pieces already split (the first is not the volume's top item here).
  bool makeFolderChain(std::string& base, const std::vector<std::string>& folders);
  void restoreRecycleBinNames();

  // True when something is ticked: a tree item, or (in search mode) a row of the list.
  bool anythingTicked() const;

  // For the parsers' folder writers: the stop test (which also waits while paused), status texts,
  // progress, and the record of written files.
  bool stopRequested() const;
  PageSink& sink() { return m_sink; }
  // Writes one file of a folder writer: status and size lines, then the data writer.
  void saveFolderFile(std::int64_t data, const std::string& folder);
  void saveFolderFile(std::int64_t data, OutputFolder::Folder folder);

  // A parser's folder writer: writes the folder's files and subfolders below `path` by the parser's rules
  // (results_parser.h); returns the counter advanced by the files met.
  using FolderRules = tessary::FolderRules;
  std::int64_t writeFolderEntries(std::int64_t folder, const std::string& path, std::int64_t counter,
                                  const FolderRules& rules);

  struct WrittenFile {
    std::string path;  // full host path
    std::uint64_t bytes = 0;  // bytes the file holds, holes included
    // False when the data writer failed or the file holds fewer bytes than the entry's size.
    bool complete = true;
    bool deleted = false;  // the entry is a deleted one
  };
  const std::vector<WrittenFile>& written() const { return m_written; }
  void clearWritten() { m_written.clear(); }

  // Files that could not be created or written in full since the output folder was set, each with its
  // reason, and whether the output disk ran full (which stops the save). A file is incomplete when the
  // host took everything it was given but the data writer failed or gave fewer bytes than the entry's size.
  struct Failure {
    std::string path;
    int error = 0;        // the host's errno, 0 for an incomplete file
    std::string reason;   // what went wrong, as the closing texts name it
  };
  std::int64_t failureCount() const { return static_cast<std::int64_t>(m_failures.size()); }
  std::int64_t incompleteCount() const { return m_incompleteCount; }
  const std::vector<Failure>& failures() const { return m_failures; }
  std::optional<Failure> firstFailure() const {
    return m_failures.empty() ? std::nullopt : std::optional<Failure>(m_failures.front());
  }
  bool outputFull() const { return m_outputFull; }
  // The status line that reports them ("3 files could not be written; ..."), empty when none failed.
  std::string failureStatus() const;
  // Names too long for the output folder, saved shortened (the extension kept, a short hash added).
  const std::vector<OutputFolder::Shortened>& shortenedNames() const { return m_output.shortened(); }
  // The status line that reports them, empty when none was shortened.
  std::string shortenedStatus() const;

  // Reads of the image that ran past its end while a file was written leave zeros in it: the files so
  // written, when the page gives the engine the reader to watch.
  void setReader(const readWriteInterface* reader) { m_reader = reader; }
  const std::vector<std::string>& filesWithMissingBytes() const { return m_filesWithMissingBytes; }

  static constexpr const char* kPlaceholder = "..DUMY..";

 private:
  void writeAndRecord(std::int64_t data, const std::string& folder);
  void writeAndRecord(std::int64_t data, OutputFolder::Folder folder);
  // Every file below a folder that could not be made is a failure of its own.
  void noteUnmadeFolder(std::int64_t folder, const std::string& path, int error);
  void noteFailure(const std::string& path, int error);
  void noteIncomplete(const std::string& path, const std::string& reason);
  bool enterFolder(std::string& path, const std::string& name);

  CXHtmlTree& m_tree;
  CCheckListCtrl& m_list;
  PageSink& m_sink;
  StopFlag& m_stop;
  PauseGate* m_gate = nullptr;
  ResultsParser* m_parser = nullptr;
  std::string m_outputFolder;
  OutputFolder m_output;
  std::vector<WrittenFile> m_written;
  std::vector<Failure> m_failures;
  std::int64_t m_incompleteCount = 0;
  bool m_outputFull = false;
  const readWriteInterface* m_reader = nullptr;
  std::vector<std::string> m_filesWithMissingBytes;
};

// The full path a recycle-bin "$I" record holds (version 1: a fixed field at byte 24; version 2: a length
// at byte 24 and the path from byte 28), or none when the record is of neither version or holds no path.
std::optional<std::u16string> recycleBinFormerPath(std::span<const std::byte> record);

}  // namespace tessary
