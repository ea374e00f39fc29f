// Folders and files below an output folder, made with openat and never through a link.
#include "platform/output_folder.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

namespace tessary {

namespace {

constexpr int kMaxVariants = 10000;

std::string trimmedSlashes(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

std::string joined(const std::string& folder, const std::string& name) {
  if (folder.empty()) return name;
  return folder == "/" ? "/" + name : folder + "/" + name;
}

class Descriptor {
 public:
  explicit Descriptor(int fd) : m_fd(fd) {}
  ~Descriptor() {
    if (m_fd >= 0) ::close(m_fd);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return m_fd; }

 private:
  int m_fd;
};

}  // namespace

std::string numberedName(const std::string& name, int n) {
  const std::string suffix = " (" + std::to_string(n) + ")";
  const std::size_t dot = name.rfind('.');
  // A leading dot names a hidden file, not an extension.
  if (dot == std::string::npos || dot == 0) return name + suffix;
  return name.substr(0, dot) + suffix + name.substr(dot);
}

OutputFolder::OutputFolder(std::string root) : m_root(trimmedSlashes(std::move(root))) {}

OutputFolder::~OutputFolder() { dropDescriptor(); }

OutputFolder::OutputFolder(OutputFolder&& other) noexcept
    : m_root(std::move(other.m_root)),
      m_folders(std::move(other.m_folders)),
      m_files(std::move(other.m_files)),
      m_openPath(std::move(other.m_openPath)),
      m_openFd(other.m_openFd) {
  other.m_openFd = -1;
}

OutputFolder& OutputFolder::operator=(OutputFolder&& other) noexcept {
  if (this != &other) {
    dropDescriptor();
    m_root = std::move(other.m_root);
    m_folders = std::move(other.m_folders);
    m_files = std::move(other.m_files);
    m_openPath = std::move(other.m_openPath);
    m_openFd = other.m_openFd;
    other.m_openFd = -1;
  }
  return *this;
}

void OutputFolder::dropDescriptor() {
  if (m_openFd >= 0) ::close(m_openFd);
  m_openFd = -1;
  m_openPath.clear();
}

int OutputFolder::folderDescriptor(const std::string& path) {
  if (m_openFd >= 0 && path == m_openPath) return m_openFd;
  dropDescriptor();
  m_openFd = openFolder(path);
  if (m_openFd >= 0) m_openPath = path;
  return m_openFd;
}

int OutputFolder::openFolder(const std::string& path) const {
  const std::string wanted = trimmedSlashes(path);
  const bool below = !m_root.empty() && wanted.size() > m_root.size() && wanted.compare(0, m_root.size(), m_root) == 0 &&
                     (m_root == "/" || wanted[m_root.size()] == '/');
  if (!below) return ::open(wanted.empty() ? "." : wanted.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  int fd = ::open(m_root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  std::size_t at = m_root == "/" ? 1 : m_root.size() + 1;
  while (fd >= 0 && at <= wanted.size()) {
    const std::size_t end = wanted.find('/', at);
    const std::string part = wanted.substr(at, end == std::string::npos ? std::string::npos : end - at);
    at = end == std::string::npos ? wanted.size() + 1 : end + 1;
    if (part.empty()) continue;
    const int next = ::openat(fd, part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    const int saved = errno;
    ::close(fd);
    errno = saved;
    fd = next;
  }
  return fd;
}

std::optional<std::string> OutputFolder::folder(const std::string& parent, const std::string& name) {
  const std::string base = trimmedSlashes(parent);
  const auto key = std::make_pair(base, name);
  if (const auto known = m_folders.find(key); known != m_folders.end()) return known->second;
  const Descriptor dir(openFolder(base));
  if (dir.get() < 0) return std::nullopt;
  for (int n = 1; n <= kMaxVariants; ++n) {
    const std::string candidate = n == 1 ? name : numberedName(name, n);
    if (::mkdirat(dir.get(), candidate.c_str(), 0755) != 0 && errno != EEXIST) return std::nullopt;
    struct stat st {};
    if (::fstatat(dir.get(), candidate.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return std::nullopt;
    if (!S_ISDIR(st.st_mode)) continue;  // a link, a file or something else holds the name
    const std::string made = joined(base, candidate);
    m_folders[key] = made;
    return made;
  }
  errno = EEXIST;
  return std::nullopt;
}

std::optional<std::string> OutputFolder::file(OutputFile& out, const std::string& parent, const std::string& name,
                                              std::int64_t key) {
  const std::string base = trimmedSlashes(parent);
  const int dir = folderDescriptor(base);
  if (dir < 0) return std::nullopt;
  int lastError = EEXIST;
  for (int n = 1; n <= kMaxVariants; ++n) {
    const std::string candidate = n == 1 ? name : numberedName(name, n);
    const std::string path = joined(base, candidate);
    const auto made = m_files.find(path);
    if (made != m_files.end() && made->second != key) continue;  // another entry of this save
    if (out.createAt(dir, candidate)) {
      m_files[path] = key;
      return path;
    }
    lastError = errno;
    // Only a name held by something that is not a plain file of ours moves on to the next name.
    if (errno != EEXIST && errno != ELOOP && errno != EISDIR && errno != ENXIO && errno != EMLINK) break;
  }
  errno = lastError;
  return std::nullopt;
}

}  // namespace tessary
