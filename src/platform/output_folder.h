// The output folder of one save. Every folder and file below it is reached from the folder's own
// descriptor one name at a time, never through a link; what is already there is never followed or removed,
// and two entries that map to one host name stay two files.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>

#include "platform/files.h"

namespace tessary {

class OutputFolder {
 public:
  // `root` is the folder the user chose; a link naming it is the user's own and is followed.
  explicit OutputFolder(std::string root = {});
  ~OutputFolder();
  OutputFolder(OutputFolder&& other) noexcept;
  OutputFolder& operator=(OutputFolder&& other) noexcept;
  OutputFolder(const OutputFolder&) = delete;
  OutputFolder& operator=(const OutputFolder&) = delete;

  const std::string& root() const { return m_root; }

  // The host folder for `name` inside `parent` (the root, or a folder this object returned). A real folder
  // already there is used; a name held by a link, a file or anything else gets " (2)", " (3)"... The same
  // parent and name always give the same folder. None when it cannot be made (errno says why).
  std::optional<std::string> folder(const std::string& parent, const std::string& name);

  // Creates the file of entry `key`, named `name`, inside `parent`. An existing regular file is emptied and
  // written again, unless another entry of this save was written there; such a name, and one held by a
  // link, a folder or anything else, gets " (2)", " (3)"... before its extension. None when no file could
  // be made (errno says why).
  std::optional<std::string> file(OutputFile& out, const std::string& parent, const std::string& name,
                                  std::int64_t key);

 private:
  // A descriptor of `path` reached from the root without following links below it; -1 on failure.
  int openFolder(const std::string& path) const;
  // The same, kept open for the next call with the same folder (files of one folder come one after
  // another); owned by this object.
  int folderDescriptor(const std::string& path);
  void dropDescriptor();

  std::string m_root;
  std::map<std::pair<std::string, std::string>, std::string> m_folders;
  std::map<std::string, std::int64_t> m_files;
  std::string m_openPath;
  int m_openFd = -1;
};

// "name (n).ext" for the n-th name that stands in for `name` (n from 2).
std::string numberedName(const std::string& name, int n);

}  // namespace tessary
