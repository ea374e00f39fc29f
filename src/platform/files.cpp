// POSIX implementation of the host file layer.
#include "platform/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <utility>

namespace tessary {

ImageFile::~ImageFile() { close(); }

ImageFile::ImageFile(ImageFile&& other) noexcept : m_fd(std::exchange(other.m_fd, -1)) {}

ImageFile& ImageFile::operator=(ImageFile&& other) noexcept {
  if (this != &other) {
    close();
    m_fd = std::exchange(other.m_fd, -1);
  }
  return *this;
}

bool ImageFile::open(const std::string& path) {
  close();
  m_fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (m_fd < 0) return false;
  struct stat st {};
  if (::fstat(m_fd, &st) != 0 || S_ISDIR(st.st_mode)) {
    close();
    return false;
  }
  return true;
}

void ImageFile::close() {
  if (m_fd >= 0) ::close(m_fd);
  m_fd = -1;
}

std::uint64_t ImageFile::size() const {
  if (m_fd < 0) return 0;
  struct stat st {};
  if (::fstat(m_fd, &st) != 0 || st.st_size < 0) return 0;
  return static_cast<std::uint64_t>(st.st_size);
}

std::optional<std::size_t> ImageFile::readAt(std::uint64_t offset, std::span<std::byte> out) const {
  if (m_fd < 0 || offset > static_cast<std::uint64_t>(INT64_MAX)) return std::nullopt;
  std::size_t done = 0;
  while (done < out.size()) {
    const ssize_t got = ::pread(m_fd, out.data() + done, out.size() - done, static_cast<off_t>(offset + done));
    if (got < 0) {
      if (errno == EINTR) continue;
      return std::nullopt;
    }
    if (got == 0) break;
    done += static_cast<std::size_t>(got);
  }
  return done;
}

bool ImageFile::readExact(std::uint64_t offset, std::span<std::byte> out) const {
  const auto got = readAt(offset, out);
  return got && *got == out.size();
}

OutputFile::~OutputFile() { close(); }

bool OutputFile::create(const std::string& path) {
  close();
  m_fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  m_written = 0;
  return m_fd >= 0;
}

bool OutputFile::write(std::span<const std::byte> data) {
  if (m_fd < 0) return false;
  std::size_t done = 0;
  while (done < data.size()) {
    const ssize_t put = ::write(m_fd, data.data() + done, data.size() - done);
    if (put < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<std::size_t>(put);
  }
  m_written += done;
  return true;
}

namespace {
timespec toTimespec(std::int64_t ns) {
  timespec ts{};
  ts.tv_sec = static_cast<time_t>(ns / 1000000000);
  std::int64_t rest = ns % 1000000000;
  if (rest < 0) {
    rest += 1000000000;
    ts.tv_sec -= 1;
  }
  ts.tv_nsec = static_cast<long>(rest);
  return ts;
}
}  // namespace

bool OutputFile::setTimes(std::int64_t accessNs, std::int64_t modificationNs) {
  if (m_fd < 0) return false;
  const timespec times[2] = {toTimespec(accessNs), toTimespec(modificationNs)};
  return ::futimens(m_fd, times) == 0;
}

void OutputFile::close() {
  if (m_fd >= 0) ::close(m_fd);
  m_fd = -1;
}

bool pathExists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

bool isDirectory(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool isRegularFile(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool createDirectory(const std::string& path) {
  if (::mkdir(path.c_str(), 0755) == 0) return true;
  return errno == EEXIST && isDirectory(path);
}

bool removeFile(const std::string& path) { return ::unlink(path.c_str()) == 0; }

std::optional<std::uint64_t> fileSize(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || st.st_size < 0) return std::nullopt;
  return static_cast<std::uint64_t>(st.st_size);
}

std::string temporaryDirectory() {
  const char* tmp = std::getenv("TMPDIR");
  std::string dir = (tmp && *tmp) ? tmp : "/tmp";
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  return dir;
}

bool setPathTimes(const std::string& path, std::int64_t accessNs, std::int64_t modificationNs) {
  const timespec times[2] = {toTimespec(accessNs), toTimespec(modificationNs)};
  return ::utimensat(AT_FDCWD, path.c_str(), times, 0) == 0;
}

std::string safeComponent(const std::string& name) {
  std::string out;
  out.reserve(name.size());
  for (char c : name) out.push_back((c == '/' || c == '\0') ? '_' : c);
  if (out.empty() || out == "." || out == "..") return "_";
  return out;
}

std::string executableDirectory() {
  char buffer[PATH_MAX + 1] = {};
  const ssize_t n = ::readlink("/proc/self/exe", buffer, PATH_MAX);
  if (n <= 0) return ".";
  std::string path(buffer, static_cast<std::size_t>(n));
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? "." : path.substr(0, slash == 0 ? 1 : slash);
}

}  // namespace tessary
