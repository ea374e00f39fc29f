// POSIX implementation of the host file layer.
#include "platform/files.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <algorithm>
#include <cstdlib>
#include <iterator>
#include <vector>
#include <utility>

namespace tessary {

namespace {
std::optional<off_t> checkedAddOffset(off_t at, std::uint64_t count) {
  if (at < 0 || count > static_cast<std::uint64_t>(INT64_MAX - at)) return std::nullopt;
  return static_cast<off_t>(at + static_cast<off_t>(count));
}
}  // namespace

ImageFile::~ImageFile() { close(); }

ImageFile::ImageFile(ImageFile&& other) noexcept
    : m_fd(std::exchange(other.m_fd, -1)), m_overlay(std::move(other.m_overlay)) {}

ImageFile& ImageFile::operator=(ImageFile&& other) noexcept {
  if (this != &other) {
    close();
    m_fd = std::exchange(other.m_fd, -1);
    m_overlay = std::move(other.m_overlay);
  }
  return *this;
}

std::uint64_t ImageFile::dataFrom(std::uint64_t offset) const {
  if (m_fd < 0 || offset > static_cast<std::uint64_t>(INT64_MAX)) return offset;
  std::uint64_t found = offset;
  bool known = false;
  {
    std::lock_guard lock(m_extentMutex);
    if (offset >= m_holeFrom && offset < m_dataEnd) {
      found = std::max(offset, m_dataAt);
      known = true;
    }
  }
  if (!known) {
    const off_t data = ::lseek(m_fd, static_cast<off_t>(offset), SEEK_DATA);
    if (data >= 0) {
      // The data's end, so that the next questions inside it cost no call.
      const off_t hole = ::lseek(m_fd, data, SEEK_HOLE);
      found = std::max(offset, static_cast<std::uint64_t>(data));
      std::lock_guard lock(m_extentMutex);
      m_holeFrom = offset;
      m_dataAt = found;
      m_dataEnd = hole > data ? static_cast<std::uint64_t>(hole) : found;
    } else if (errno == ENXIO) {
      // Only a hole from here to the end, or the end already passed.
      struct stat st {};
      if (::fstat(m_fd, &st) == 0 && S_ISREG(st.st_mode) && static_cast<std::uint64_t>(st.st_size) > offset) {
        found = static_cast<std::uint64_t>(st.st_size);
        std::lock_guard lock(m_extentMutex);
        m_holeFrom = offset;
        m_dataAt = found;
        m_dataEnd = found;
      }
    }
  }
  if (m_overlay && !m_overlay->empty()) found = std::min(found, std::max(offset, m_overlay->firstFrom(offset)));
  return found;
}

bool ImageFile::open(const std::string& path) {
  close();
  // Opened without blocking, so that a FIFO named as the image cannot hold the program; only a regular
  // file or a block device is an image (not a folder, a FIFO, a socket or a character device).
  m_fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (m_fd < 0) return false;
  struct stat st {};
  if (::fstat(m_fd, &st) != 0 || !(S_ISREG(st.st_mode) || S_ISBLK(st.st_mode)) || ::fcntl(m_fd, F_SETFL, ::fcntl(m_fd, F_GETFL) & ~O_NONBLOCK) != 0) {
    close();
    errno = EINVAL;
    return false;
  }
  return true;
}

std::string ImageFile::openBeside(const std::string& imagePath, const std::string& name) {
  close();
  std::vector<std::string> parts;
  if (std::string why = besideNameParts(name, parts); !why.empty()) return why;
  const std::size_t slash = imagePath.find_last_of('/');
  const std::string folder = slash == std::string::npos ? "." : imagePath.substr(0, slash == 0 ? 1 : slash);
  int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0) return "the image's folder cannot be opened";
  for (std::size_t i = 0; i < parts.size(); ++i) {
    const bool last = i + 1 == parts.size();
    const int flags = O_RDONLY | O_NOFOLLOW | O_CLOEXEC | (last ? O_NONBLOCK : O_DIRECTORY);
    const int next = ::openat(dir, parts[i].c_str(), flags);
    const int error = errno;
    ::close(dir);
    if (next < 0) {
      if (error == ELOOP || error == EMLINK) return "it is a link, which is never followed";
      if (error == ENOTDIR) return "a folder on its way is a link or not a folder";
      if (error == ENOENT) return "it does not exist";
      return "it cannot be opened";
    }
    dir = next;
  }
  struct stat st {};
  if (::fstat(dir, &st) != 0 || !S_ISREG(st.st_mode) || ::fcntl(dir, F_SETFL, ::fcntl(dir, F_GETFL) & ~O_NONBLOCK) != 0) {
    ::close(dir);
    return "it is not a regular file";
  }
  m_fd = dir;
  return {};
}

void ImageFile::close() {
  if (m_fd >= 0) ::close(m_fd);
  m_fd = -1;
  std::lock_guard lock(m_extentMutex);
  m_holeFrom = m_dataAt = m_dataEnd = 0;
}

std::optional<std::pair<std::uint64_t, std::uint64_t>> ImageFile::identity() const {
  struct stat st {};
  if (m_fd < 0 || ::fstat(m_fd, &st) != 0) return std::nullopt;
  return std::make_pair(static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino));
}

std::uint64_t ImageFile::size() const {
  if (m_fd < 0) return 0;
  struct stat st {};
  if (::fstat(m_fd, &st) != 0 || st.st_size < 0) return 0;
  const auto own = static_cast<std::uint64_t>(st.st_size);
  std::uint64_t bytes = own;
  // A block device's length is the device's, not its inode's (which says 0).
  if (S_ISBLK(st.st_mode) && ::ioctl(m_fd, BLKGETSIZE64, &bytes) != 0) bytes = 0;
  return m_overlay ? std::max(bytes, m_overlay->end()) : bytes;
}

std::optional<std::size_t> ImageFile::readHost(std::uint64_t offset, std::span<std::byte> out) const {
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

OutputFile::~OutputFile() { close(); }

bool OutputFile::create(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0) {
    close();
    return false;
  }
  const bool made = createAt(dir, name);
  const int saved = errno;
  ::close(dir);
  errno = saved;
  return made;
}

bool OutputFile::createAt(int folder, const std::string& name) {
  close();
  m_written = 0;
  m_error = 0;
  // A name nobody holds yet is made here: a new, empty regular file of one link, with nothing to check.
  const int made = ::openat(folder, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (made >= 0) {
    m_fd = made;
    return true;
  }
  if (errno != EEXIST) return false;
  // Not blocking, so that a FIFO waiting for a reader cannot hold the save; anything but a regular file
  // of one name is given back.
  const int fd = ::openat(folder, name.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  struct stat st {};
  int refusal = 0;
  if (::fstat(fd, &st) != 0) refusal = errno;
  else if (!S_ISREG(st.st_mode)) refusal = EEXIST;
  else if (st.st_nlink > 1) refusal = EMLINK;
  else if (::ftruncate(fd, 0) != 0) refusal = errno;
  else if (::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) refusal = errno;
  if (refusal != 0) {
    ::close(fd);
    errno = refusal;
    return false;
  }
  m_fd = fd;
  return true;
}

bool OutputFile::openForAppend(const std::string& path) {
  close();
  m_written = 0;
  m_error = 0;
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  struct stat st {};
  int refusal = 0;
  if (::fstat(fd, &st) != 0) refusal = errno;
  else if (!S_ISREG(st.st_mode)) refusal = EEXIST;
  else if (st.st_nlink > 1) refusal = EMLINK;
  else if (::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) refusal = errno;
  if (refusal != 0) {
    ::close(fd);
    errno = refusal;
    return false;
  }
  m_fd = fd;
  m_written = static_cast<std::uint64_t>(st.st_size);
  return true;
}

bool OutputFile::write(std::span<const std::byte> data) {
  if (m_fd < 0) return false;
  std::size_t done = 0;
  while (done < data.size()) {
    const ssize_t put = ::write(m_fd, data.data() + done, data.size() - done);
    if (put < 0) {
      if (errno == EINTR) continue;
      if (m_error == 0) m_error = errno;
      m_written += done;
      return false;
    }
    done += static_cast<std::size_t>(put);
  }
  m_written += done;
  return true;
}

std::uint64_t OutputFile::copyFrom(const ImageFile& source, std::uint64_t position, std::uint64_t bytes) {
  const int from = source.copySource();
  if (m_fd < 0 || from < 0 || m_error != 0 || position > static_cast<std::uint64_t>(INT64_MAX)) return 0;
  // One call moves at most this much (the kernel's own limit is just under 2 GiB).
  constexpr std::uint64_t kMaxPerCall = std::uint64_t{1} << 30;
  std::uint64_t done = 0;
  while (done < bytes) {
    const auto at = checkedAddOffset(static_cast<off_t>(position), done);
    if (!at) break;
    off_t next = *at;
    const ssize_t sent = ::sendfile(m_fd, from, &next, static_cast<std::size_t>(std::min(bytes - done, kMaxPerCall)));
    if (sent < 0 && errno == EINTR) continue;
    // The source's end, a source or target that cannot take part, a failed read or write: the caller
    // goes on from here with its own read and write, which give the same bytes or meet the same error.
    if (sent <= 0) break;
    done += static_cast<std::uint64_t>(sent);
  }
  m_written += done;
  return done;
}

bool OutputFile::skip(std::uint64_t count) {
  if (m_fd < 0) return false;
  if (count == 0) return true;
  const off_t at = ::lseek(m_fd, 0, SEEK_CUR);
  const auto target = checkedAddOffset(at, count);
  // The file is made as long as the position, so that a hole at its end is part of it.
  if (at < 0) {
    if (m_error == 0) m_error = errno;
    return false;
  }
  // A length past what an offset can hold, or past what the host's file system allows (lseek says EINVAL
  // there, ftruncate EFBIG), is a file too large for the output.
  if (!target || ::lseek(m_fd, *target, SEEK_SET) < 0 || ::ftruncate(m_fd, *target) != 0) {
    if (m_error == 0) m_error = !target || errno == EINVAL ? EFBIG : errno;
    return false;
  }
  m_written += count;
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

bool OutputFile::setCreationTime(std::int64_t) { return m_fd >= 0; }

bool OutputFile::close() {
  if (m_fd < 0) return m_error == 0;
  const bool closed = ::close(m_fd) == 0;
  if (!closed && m_error == 0) m_error = errno;
  m_fd = -1;
  return closed && m_error == 0;
}

bool pathExists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

bool entryExists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

bool sameFile(const std::string& a, const std::string& b) {
  struct stat sa {};
  struct stat sb {};
  return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

std::optional<std::uint64_t> freeSpace(const std::string& folder) {
  struct statvfs fs {};
  if (::statvfs(folder.c_str(), &fs) != 0) return std::nullopt;
  const std::uint64_t unit = fs.f_frsize != 0 ? fs.f_frsize : fs.f_bsize;
  const std::uint64_t blocks = fs.f_bavail;
  return unit != 0 && blocks > UINT64_MAX / unit ? UINT64_MAX : blocks * unit;
}

bool isDirectory(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool isRegularFile(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool isImageFile(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && (S_ISREG(st.st_mode) || S_ISBLK(st.st_mode));
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

std::string executableDirectory() {
  char buffer[PATH_MAX + 1] = {};
  const ssize_t n = ::readlink("/proc/self/exe", buffer, PATH_MAX);
  if (n <= 0) return ".";
  std::string path(buffer, static_cast<std::size_t>(n));
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? "." : path.substr(0, slash == 0 ? 1 : slash);
}

}  // namespace tessary
