// What the results page, the save engine and the search ask of the volume's parser, whatever its file
// system: item data, folder test, children, display texts, file count, folder rules, data writer.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/data_sink.h"
#include "platform/file_time.h"
#include "platform/files.h"

namespace tessary {

// How the save engine writes a parser's folders. Each child in link order, files written as met (and
// counted, also those never written), subfolders created below the path and descended, to any depth. A
// folder without a name saves its children into its parent's folder. Folders already on the walk are not
// entered again, so links that loop back up end the walk. The files below a folder that cannot be made
// are counted as failures, each with its path and the reason.
struct FolderRules {
  // Names of folders that are created but not descended into (NTFS: ".").
  std::vector<std::string> notDescended;
  // Used when the output path is empty (NTFS: a folder below the temporary directory).
  std::string emptyPathFallback;
};

// The detail list's columns for one entry, as its parser formats them.
struct EntryTexts {
  std::string creation;
  std::string access;
  std::string modification;
  std::string size;
  std::string attributes;
};

// The same entry for machines: the detail list's three times as the file system stores them (UTC; a FAT
// or exFAT stamp, which names no zone, taken as given), its number in the file system and, where the file
// system keeps them, its Unix mode bits and owner. A time the entry does not have (or that names no
// calendar moment) is unset.
struct EntryStamps {
  std::optional<FileTime> creation;
  std::optional<FileTime> access;
  std::optional<FileTime> modification;
  // The inode's change time, where the file system keeps one apart from the creation time.
  std::optional<FileTime> change;
  // True where the detail list's creation column shows the change time (ext keeps no creation time there).
  bool creationIsChange = false;
  // MFT record, inode or catalog node number; for FAT and exFAT the entry's number in the parser.
  std::uint64_t number = 0;
  std::optional<std::uint32_t> mode;  // st_mode bits: type and permissions
  std::uint32_t uid = 0;
  std::uint32_t gid = 0;
};

class ResultsParser {
 public:
  virtual ~ResultsParser() = default;

  // Whether a tree item's data names an entry of this parser (handlers ignore every other item).
  virtual bool validItem(std::int64_t data) const = 0;
  // The folder test of the save engine ("Save selected folder", unexpanded folders).
  virtual bool isFolder(std::int64_t data) const = 0;
  // What the detail list shows as a file.
  virtual bool isListedFile(std::int64_t data) const = 0;
  // The entry's children through the parser's first-child and next-sibling links, in link order; a walk
  // that meets a cycle ends there.
  virtual std::vector<std::int64_t> children(std::int64_t data) const = 0;
  virtual std::string name(std::int64_t data) const = 0;
  virtual bool isDeleted(std::int64_t data) const = 0;
  // Whether the name search tests this entry's name. The search descends into folders (isFolder) and
  // skips entries it neither descends into nor tests, so folders never appear as hits.
  virtual bool searchesName(std::int64_t data) const { return isListedFile(data) && !isFolder(data); }

  virtual EntryTexts texts(std::int64_t data) = 0;
  // The texts the plain listing shows: the modification time, the size and the attributes, as texts()
  // gives them; a parser may leave the other two empty when that saves work.
  virtual EntryTexts listingTexts(std::int64_t data) { return texts(data); }
  // The entry's times and numbers for machine output (JSON, timeline lists); by default none but the
  // item's own number.
  virtual EntryStamps stamps(std::int64_t data) {
    EntryStamps s;
    s.number = static_cast<std::uint64_t>(data);
    return s;
  }
  // The size line's text while a file is saved.
  virtual std::string saveSizeText(std::int64_t data) = 0;
  // The exact data size in bytes.
  virtual std::uint64_t sizeBytes(std::int64_t data) = 0;

  // Files below a folder (all levels).
  virtual std::int64_t fileCount(std::int64_t folder) const = 0;
  // How the save engine writes this parser's folders (their files through writeFile).
  virtual FolderRules folderRules() const { return {}; }
  // Writes one file into `folder` under the entry's own name; returns the path written (empty if none).
  virtual std::string writeFile(std::int64_t data, const std::string& folder) = 0;
  // The entry's content and times into any sink, through the same data writer as writeFile; false when a
  // read failed or the sink refused bytes. Recycle-bin "$I" records are read into memory this way.
  virtual bool writeContent(std::int64_t data, DataSink& sink) = 0;
  // Whether the save engine skips writing this entry (still counted).
  virtual bool neverWritten(std::int64_t data) const {
    (void)data;
    return false;
  }

  // The message after "Save selected folder".
  virtual std::string folderSavedMessage() const { return "Saving process done"; }

  // Recycle-bin names: the renaming (the new name is used wherever entry names are used from then on).
  // Whether a parser's recycle bins are restored is its file system's registry row's say.
  virtual void renameEntry(std::int64_t data, const std::string& name) {
    (void)data;
    (void)name;
  }

 protected:
  // The common writeFile: the entry's content (writeContent) into a new file `fileName` inside `folder`;
  // the path when the file holds the whole entry (sizeBytes), else empty.
  std::string writeWholeFile(std::int64_t data, const std::string& folder, const std::string& fileName);
};

// Joins a host folder and one name from the image, the name made safe as a single path component.
std::string childPath(const std::string& folder, const std::string& name);

// Creates (or empties) the host file for an entry named `name` inside `folder`, as every data writer's
// file is made; returns its full path, or none when it could not be created (errno tells why).
std::optional<std::string> createOutputFile(OutputFile& out, const std::string& folder, const std::string& name);

// Files below a folder, all levels, through the parser's links; a folder met twice is counted once.
std::int64_t countFilesBelow(const ResultsParser& parser, std::int64_t folder);

}  // namespace tessary
