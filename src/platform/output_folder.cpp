// Folders and files below an output folder, made with openat and never through a link.
#include "platform/output_folder.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "platform/folder_handles.h"

namespace tessary {

namespace host = folder_handles;

namespace {

constexpr int kMaxVariants = 10000;
// Descriptors are held for the last kHeldLevels levels of the chain and for every kHeldLevels-th level
// above them, so that a deep tree holds few descriptors and a level climbed back to is reopened from a
// held one at most kHeldLevels levels up.
constexpr std::size_t kHeldLevels = 64;
// The longest extension kept when a name is shortened.
constexpr std::size_t kMaxKeptExtension = 32;

// Windows takes either slash between folders.
#ifdef _WIN32
constexpr const char* kSeparators = "/\\";
#else
constexpr const char* kSeparators = "/";
#endif

bool separator(char c) { return std::strchr(kSeparators, c) != nullptr && c != '\0'; }

std::string trimmedSlashes(std::string path) {
  // (A drive's own folder, "C:\\", keeps its slash.)
  while (path.size() > 1 && separator(path.back()) && !(path.size() == 3 && path[1] == ':')) path.pop_back();
  return path;
}

std::string joined(const std::string& folder, const std::string& name) {
  if (folder.empty()) return name;
  return folder == "/" ? "/" + name : folder + "/" + name;
}

bool held(std::size_t level, std::size_t top) { return level == 0 || level % kHeldLevels == 0 || level + kHeldLevels > top; }

std::uint64_t nameHash(const std::string& text) {
  std::uint64_t hash = 0xcbf29ce484222325ULL;
  for (unsigned char c : text) {
    hash ^= c;
    hash *= 0x100000001b3ULL;
  }
  return hash;
}

// The longest prefix of `text` of at most `bytes` bytes that ends between UTF-8 characters.
std::string utf8Prefix(const std::string& text, std::size_t bytes) {
  if (text.size() <= bytes) return text;
  std::size_t end = bytes;
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  return text.substr(0, end);
}

}  // namespace

std::string shortenedName(const std::string& name, std::size_t limit) {
  if (name.size() <= limit) return name;
  char tag[16];
  std::snprintf(tag, sizeof tag, "~%08llx", static_cast<unsigned long long>(nameHash(name) & 0xFFFFFFFFULL));
  const std::size_t dot = name.rfind('.');
  std::string extension;
  if (dot != std::string::npos && dot > 0 && name.size() - dot <= kMaxKeptExtension) extension = name.substr(dot);
  const std::size_t fixed = std::strlen(tag) + extension.size();
  if (limit <= fixed) return utf8Prefix(std::string(tag + 1) + extension, limit);
  return utf8Prefix(name.substr(0, name.size() - extension.size()), limit - fixed) + tag + extension;
}

std::string numberedName(const std::string& name, int n) {
  const std::string suffix = " (" + std::to_string(n) + ")";
  const std::size_t dot = name.rfind('.');
  // A leading dot names a hidden file, not an extension.
  if (dot == std::string::npos || dot == 0) return name + suffix;
  return name.substr(0, dot) + suffix + name.substr(dot);
}

OutputFolder::OutputFolder(std::string root) {
  m_nodes.push_back({trimmedSlashes(std::move(root)), kNoParent, 0, -1, 0});
  m_tops[m_nodes.front().name] = kRootFolder;
}

OutputFolder::~OutputFolder() { closeAll(); }

OutputFolder::OutputFolder(OutputFolder&& other) noexcept
    : m_nodes(std::move(other.m_nodes)),
      m_asked(std::move(other.m_asked)),
      m_onHost(std::move(other.m_onHost)),
      m_tops(std::move(other.m_tops)),
      m_chain(std::move(other.m_chain)),
      m_files(std::move(other.m_files)),
      m_shortened(std::move(other.m_shortened)) {
  other.m_nodes.assign(1, Node{});
  other.m_chain.clear();
}

OutputFolder& OutputFolder::operator=(OutputFolder&& other) noexcept {
  if (this != &other) {
    closeAll();
    m_nodes = std::move(other.m_nodes);
    m_asked = std::move(other.m_asked);
    m_onHost = std::move(other.m_onHost);
    m_tops = std::move(other.m_tops);
    m_chain = std::move(other.m_chain);
    m_files = std::move(other.m_files);
    m_shortened = std::move(other.m_shortened);
    other.m_nodes.assign(1, Node{});
    other.m_chain.clear();
  }
  return *this;
}

void OutputFolder::closeFrom(std::size_t level) {
  while (m_chain.size() > level) {
    Node& node = m_nodes[m_chain.back()];
    host::close(node.fd);
    node.fd = -1;
    m_chain.pop_back();
  }
}

void OutputFolder::closeAll() { closeFrom(0); }

OutputFolder::Folder OutputFolder::topFolder(const std::string& path) {
  if (const auto known = m_tops.find(path); known != m_tops.end()) return known->second;
  m_nodes.push_back({path, kNoParent, 0, -1, 0});
  m_tops[path] = m_nodes.size() - 1;
  return m_nodes.size() - 1;
}

OutputFolder::Folder OutputFolder::child(Folder parent, const std::string& hostName) {
  const auto key = std::make_pair(parent, hostName);
  if (const auto known = m_onHost.find(key); known != m_onHost.end()) return known->second;
  m_nodes.push_back({hostName, parent, m_nodes[parent].level + 1, -1, 0});
  m_onHost[key] = m_nodes.size() - 1;
  return m_nodes.size() - 1;
}

std::optional<OutputFolder::Folder> OutputFolder::at(const std::string& path) {
  const std::string wanted = trimmedSlashes(path);
  const std::string& rootPath = root();
  const bool below = !rootPath.empty() && wanted.size() > rootPath.size() &&
                     wanted.compare(0, rootPath.size(), rootPath) == 0 &&
                     (rootPath == "/" || separator(wanted[rootPath.size()]));
  if (!below) return topFolder(wanted);
  Folder at = kRootFolder;
  std::size_t from = rootPath == "/" ? 1 : rootPath.size() + 1;
  while (from <= wanted.size()) {
    const std::size_t end = wanted.find_first_of(kSeparators, from);
    const std::string part = wanted.substr(from, end == std::string::npos ? std::string::npos : end - from);
    from = end == std::string::npos ? wanted.size() + 1 : end + 1;
    if (part.empty() || part == ".") continue;
    if (part == "..") return std::nullopt;
    at = child(at, part);
  }
  return at;
}

std::string OutputFolder::path(Folder folder) const {
  std::vector<const std::string*> names;
  std::size_t length = 0;
  for (Folder at = folder; at != kNoParent && at < m_nodes.size(); at = m_nodes[at].parent) {
    names.push_back(&m_nodes[at].name);
    length += m_nodes[at].name.size() + 1;
  }
  std::string text;
  text.reserve(length);
  for (auto it = names.rbegin(); it != names.rend(); ++it) text = joined(text, **it);
  return text;
}

int OutputFolder::openLevel(std::size_t level) {
  Node& node = m_nodes[m_chain[level]];
  if (node.fd >= 0) return node.fd;
  if (level == 0) {
    node.fd = host::openTop(node.name);
    return node.fd;
  }
  // A level whose descriptor was let go is reopened from the nearest held one above it.
  std::size_t from = level;
  while (m_nodes[m_chain[from - 1]].fd < 0 && from - 1 > 0) --from;
  if (openLevel(from - 1) < 0) return -1;
  for (std::size_t at = from; at <= level; ++at) {
    Node& step = m_nodes[m_chain[at]];
    step.fd = host::openChild(m_nodes[m_chain[at - 1]].fd, step.name);
    if (step.fd < 0) return -1;
  }
  return node.fd;
}

int OutputFolder::descriptor(Folder folder) {
  // The folders between `folder` and the chain, deepest first.
  std::vector<Folder> down;
  Folder at = folder;
  for (;;) {
    const Node& node = m_nodes[at];
    if (node.level < m_chain.size() && m_chain[node.level] == at) break;
    down.push_back(at);
    if (node.parent == kNoParent) break;
    at = node.parent;
  }
  if (m_nodes[at].parent == kNoParent && (m_chain.empty() || m_chain.front() != at)) {
    closeAll();
  } else {
    closeFrom(m_nodes[at].level + 1);
  }
  for (auto it = down.rbegin(); it != down.rend(); ++it) {
    m_chain.push_back(*it);
    const std::size_t top = m_chain.size() - 1;
    // Levels that fell out of the held window let their descriptor go.
    if (top >= kHeldLevels) {
      Node& old = m_nodes[m_chain[top - kHeldLevels]];
      if (!held(top - kHeldLevels, top) && old.fd >= 0) {
        host::close(old.fd);
        old.fd = -1;
      }
    }
    if (openLevel(top) < 0) {
      const int saved = errno;
      m_chain.pop_back();
      errno = saved;
      return -1;
    }
  }
  return openLevel(m_nodes[folder].level);
}

std::string OutputFolder::hostName(Folder folder, int dir, const std::string& name) {
  // The limit is asked of the host once per folder, not once per name made in it.
  std::size_t& limit = m_nodes[folder].nameMax;
  if (limit == 0) limit = host::nameMax(dir);
  return shortenedName(host::hostSafe(name), limit);
}

void OutputFolder::noteChanged(const std::string& name, const std::string& wanted, const std::string& path) {
  const std::string safe = host::hostSafe(wanted);
  m_shortened.push_back({name, path, safe != wanted ? Shortened::Why::NotAllowed : Shortened::Why::TooLong});
}

std::optional<OutputFolder::Folder> OutputFolder::folder(Folder parent, const std::string& name) {
  if (parent >= m_nodes.size()) return std::nullopt;
  const auto key = std::make_pair(parent, name);
  if (const auto known = m_asked.find(key); known != m_asked.end()) return known->second;
  const int dir = descriptor(parent);
  if (dir < 0) return std::nullopt;
  for (int n = 1; n <= kMaxVariants; ++n) {
    const std::string wanted = n == 1 ? name : numberedName(name, n);
    const std::string candidate = hostName(parent, dir, wanted);
    const host::Made made = host::makeFolder(dir, candidate);
    if (made == host::Made::Failed) return std::nullopt;
    if (made == host::Made::Taken) continue;  // a link, a file or something else holds the name
    const Folder folder = child(parent, candidate);
    m_asked[key] = folder;
    if (candidate != wanted) noteChanged(name, wanted, path(folder));
    return folder;
  }
  errno = EEXIST;
  return std::nullopt;
}

std::optional<std::string> OutputFolder::folder(const std::string& parent, const std::string& name) {
  const std::optional<Folder> base = at(parent);
  if (!base) {
    errno = ENOENT;
    return std::nullopt;
  }
  const std::optional<Folder> made = folder(*base, name);
  if (!made) return std::nullopt;
  return path(*made);
}

std::optional<std::string> OutputFolder::file(OutputFile& out, Folder parent, const std::string& name,
                                              std::int64_t key) {
  if (parent >= m_nodes.size()) return std::nullopt;
  const int dir = descriptor(parent);
  if (dir < 0) return std::nullopt;
  int lastError = EEXIST;
  for (int n = 1; n <= kMaxVariants; ++n) {
    const std::string wanted = n == 1 ? name : numberedName(name, n);
    const std::string candidate = hostName(parent, dir, wanted);
    // The name is claimed for the entry before the file is made (one look-up), and let go if it cannot be.
    const auto [held, claimed] = m_files.try_emplace({parent, host::nameKey(candidate)}, key);
    if (!claimed && held->second != key) continue;  // another entry of this save
    if (out.createAt(dir, candidate)) {
      std::string made = joined(path(parent), candidate);
      if (candidate != wanted) noteChanged(name, wanted, made);
      return made;
    }
    lastError = errno;
    if (claimed) m_files.erase(held);
    // Only a name held by something that is not a plain file of ours moves on to the next name.
    if (lastError != EEXIST && lastError != ELOOP && lastError != EISDIR && lastError != ENXIO && lastError != EMLINK)
      break;
  }
  errno = lastError;
  return std::nullopt;
}

std::optional<std::string> OutputFolder::file(OutputFile& out, const std::string& parent, const std::string& name,
                                              std::int64_t key) {
  const std::optional<Folder> base = at(parent);
  if (!base) {
    errno = ENOENT;
    return std::nullopt;
  }
  return file(out, *base, name, key);
}

}  // namespace tessary
