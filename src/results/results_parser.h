// What the results page, the save engine and the search ask of the volume's parser, whatever its file
// system: item data, folder test, children, display texts, file count, folder writer, data writer.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/data_sink.h"
#include "platform/file_time.h"

namespace tessary {

class SaveEngine;

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
  // Writes a folder's files and subfolders below `path`; returns the counter advanced by the files met.
  virtual std::int64_t writeFolder(SaveEngine& engine, std::int64_t folder, const std::string& path,
                                   std::int64_t counter) = 0;
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
};

}  // namespace tessary
