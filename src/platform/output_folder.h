// The output folder of one save. Every folder and file below it is reached from a descriptor of its parent
// one name at a time, never through a link; what is already there is never followed or removed, and two
// entries that map to one host name stay two files. The folders in use are held open level by level, so a
// walk down and up a tree of any depth costs one open per folder, not one per level per folder.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/files.h"

namespace tessary {

class OutputFolder {
 public:
  // A folder this object made or found: the root is 0.
  using Folder = std::size_t;
  static constexpr Folder kRootFolder = 0;

  // `root` is the folder the user chose; a link naming it is the user's own and is followed.
  explicit OutputFolder(std::string root = {});
  ~OutputFolder();
  OutputFolder(OutputFolder&& other) noexcept;
  OutputFolder& operator=(OutputFolder&& other) noexcept;
  OutputFolder(const OutputFolder&) = delete;
  OutputFolder& operator=(const OutputFolder&) = delete;

  const std::string& root() const { return m_nodes.front().name; }

  // The folder a host path names: the root, a folder below it (made when missing, as `folder` makes it)
  // or, for a path outside the root, that path itself. None when it cannot be reached.
  std::optional<Folder> at(const std::string& path);
  // The host path of a folder.
  std::string path(Folder folder) const;

  // The host folder for `name` inside `parent`. A real folder already there is used; a name held by a
  // link, a file or anything else gets " (2)", " (3)"... The same parent and name always give the same
  // folder. None when it cannot be made (errno says why).
  std::optional<Folder> folder(Folder parent, const std::string& name);
  // The same by host paths.
  std::optional<std::string> folder(const std::string& parent, const std::string& name);

  // Creates the file of entry `key`, named `name`, inside `parent`; returns its host path. An existing
  // regular file is emptied and written again, unless another entry of this save was written there; such
  // a name, and one held by a link, a folder or anything else, gets " (2)", " (3)"... before its
  // extension. None when no file could be made (errno says why).
  std::optional<std::string> file(OutputFile& out, Folder parent, const std::string& name, std::int64_t key);
  std::optional<std::string> file(OutputFile& out, const std::string& parent, const std::string& name,
                                  std::int64_t key);

  // A name longer than the host folder holds is saved under a shorter one (see `shortenedName`), and a
  // name the host cannot hold at all (Windows: see `windowsSafeName`) under a safe one; each such name,
  // as the image gave it, and the host path it was saved under.
  struct Shortened {
    enum class Why { TooLong, NotAllowed };
    std::string name;
    std::string path;
    Why why = Why::TooLong;
  };
  const std::vector<Shortened>& shortened() const { return m_shortened; }

 private:
  struct Node {
    std::string name;  // the host name below the parent; a whole path for a folder outside the root
    Folder parent = kNoParent;
    std::size_t level = 0;  // levels below its top folder
    int fd = -1;  // see folder_handles.h
    std::size_t nameMax = 0;  // the host's longest name in this folder, asked once; 0 until then
  };
  static constexpr Folder kNoParent = static_cast<Folder>(-1);

  Folder topFolder(const std::string& path);
  Folder child(Folder parent, const std::string& hostName);
  // A descriptor of the folder, opened from its parent's (held) descriptor; -1 on failure (errno).
  int descriptor(Folder folder);
  int openLevel(std::size_t level);
  void closeFrom(std::size_t level);
  void closeAll();
  // The name as the host can hold it in `folder`, open as `dir`.
  std::string hostName(Folder folder, int dir, const std::string& name);
  // Notes that `name` (as `wanted`, its numbered form) was saved as `path` under another name.
  void noteChanged(const std::string& name, const std::string& wanted, const std::string& path);

  std::vector<Node> m_nodes;
  // Folders by parent and the name asked for, and by parent and the name on the host.
  std::map<std::pair<Folder, std::string>, Folder> m_asked;
  std::map<std::pair<Folder, std::string>, Folder> m_onHost;
  std::map<std::string, Folder> m_tops;
  // The chain of folders from a top folder down to the one last used, one per level.
  std::vector<Folder> m_chain;
  // The files this save made, by folder and the name's key, with the entry each holds; hashed, since a
  // save of a million files looks a name up per file.
  struct FileKeyHash {
    std::size_t operator()(const std::pair<Folder, std::string>& key) const noexcept {
      return std::hash<std::string>{}(key.second) ^ (key.first * 0x9E3779B97F4A7C15ULL);
    }
  };
  std::unordered_map<std::pair<Folder, std::string>, std::int64_t, FileKeyHash> m_files;
  std::vector<Shortened> m_shortened;
};

// "name (n).ext" for the n-th name that stands in for `name` (n from 2).
std::string numberedName(const std::string& name, int n);

// `name` cut to at most `limit` bytes: the extension (a short one) is kept, and a hash of the whole name
// keeps two long names that share their start apart; the cut never splits a UTF-8 character. A name that
// fits is returned as it is.
std::string shortenedName(const std::string& name, std::size_t limit);

}  // namespace tessary
