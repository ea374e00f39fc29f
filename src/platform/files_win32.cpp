// Windows implementation of the host file layer: CreateFileW with long paths, positioned reads, and
// output that never follows a junction or a symbolic link.
#include "platform/files.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>
#include <winioctl.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <utility>
#include <vector>

#include "platform/folder_handles.h"
#include "platform/win32_paths.h"

namespace tessary {

namespace {

// One ReadFile or WriteFile moves at most this much.
constexpr DWORD kMaxTransfer = 1u << 30;

std::optional<BY_HANDLE_FILE_INFORMATION> informationOf(HANDLE handle) {
  BY_HANDLE_FILE_INFORMATION info{};
  if (!::GetFileInformationByHandle(handle, &info)) return std::nullopt;
  return info;
}

std::uint64_t fileIndexOf(const BY_HANDLE_FILE_INFORMATION& info) {
  return (std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow;
}

// A handle of whatever the path names, links followed; for questions about it only.
HANDLE openForQuery(const std::string& path) {
  return ::CreateFileW(win32::hostPath(path).c_str(), FILE_READ_ATTRIBUTES,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                       FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

DWORD attributesOf(const std::string& path) { return ::GetFileAttributesW(win32::hostPath(path).c_str()); }

void setErrno() { errno = win32::errnoFromWin32(::GetLastError()); }

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

// Every byte may hold data: the image's holes are not asked for here.
std::uint64_t ImageFile::dataFrom(std::uint64_t offset) const { return offset; }

bool ImageFile::open(const std::string& path) {
  close();
  // Read only, sharing reading and writing: a disk a stopped virtual machine still holds opens too.
  HANDLE handle = ::CreateFileW(win32::hostPath(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    setErrno();
    return false;
  }
  // Only a file or a disk is an image (not a pipe or a console).
  if (::GetFileType(handle) != FILE_TYPE_DISK) {
    ::CloseHandle(handle);
    errno = EINVAL;
    return false;
  }
  m_fd = win32::descriptorFor(handle, _O_RDONLY);
  return m_fd >= 0;
}

std::string ImageFile::openBeside(const std::string& imagePath, const std::string& name) {
  close();
  std::vector<std::string> parts;
  if (std::string why = besideNameParts(name, parts); !why.empty()) return why;
  for (const std::string& part : parts)
    if (!win32::plainComponent(part) || windowsSafeName(part) != part) return "it is not a name inside the image's folder";
  const std::size_t slash = imagePath.find_last_of("/\\");
  const std::string folder = slash == std::string::npos ? "." : imagePath.substr(0, slash == 0 ? 1 : slash);
  // Every folder on the way is held open (it cannot be renamed or swapped meanwhile) and must be a real
  // folder, not a junction or a link.
  std::vector<int> held;
  auto release = [&held] {
    for (int fd : held) folder_handles::close(fd);
  };
  int dir = folder_handles::openTop(folder);
  if (dir < 0) return "the image's folder cannot be opened";
  held.push_back(dir);
  for (std::size_t i = 0; i + 1 < parts.size(); ++i) {
    dir = folder_handles::openChild(dir, parts[i]);
    if (dir < 0) {
      const int error = errno;
      release();
      if (error == ELOOP) return "a folder on its way is a link or not a folder";
      if (error == ENOENT) return "it does not exist";
      return "a folder on its way is a link or not a folder";
    }
    held.push_back(dir);
  }
  const std::wstring path = win32::joinedPath(win32::folderPath(dir), parts.back());
  HANDLE handle = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  const DWORD error = ::GetLastError();
  release();
  if (handle == INVALID_HANDLE_VALUE) {
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return "it does not exist";
    // A folder is refused by CreateFileW itself ("access denied"): say what it is.
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
      return "it is a link, which is never followed";
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
      return "it is not a regular file";
    return "it cannot be opened";
  }
  const auto info = informationOf(handle);
  if (!info || (info->dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    ::CloseHandle(handle);
    return "it is a link, which is never followed";
  }
  if ((info->dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 || ::GetFileType(handle) != FILE_TYPE_DISK) {
    ::CloseHandle(handle);
    return "it is not a regular file";
  }
  m_fd = win32::descriptorFor(handle, _O_RDONLY);
  return m_fd >= 0 ? std::string() : std::string("it cannot be opened");
}

void ImageFile::close() {
  if (m_fd >= 0) ::_close(m_fd);
  m_fd = -1;
}

std::optional<std::pair<std::uint64_t, std::uint64_t>> ImageFile::identity() const {
  if (m_fd < 0) return std::nullopt;
  const auto info = informationOf(win32::handleOf(m_fd));
  if (!info) return std::nullopt;
  return std::make_pair(std::uint64_t{info->dwVolumeSerialNumber}, fileIndexOf(*info));
}

std::uint64_t ImageFile::size() const {
  if (m_fd < 0) return 0;
  HANDLE handle = win32::handleOf(m_fd);
  std::uint64_t bytes = 0;
  LARGE_INTEGER length{};
  if (::GetFileSizeEx(handle, &length) && length.QuadPart >= 0) {
    bytes = static_cast<std::uint64_t>(length.QuadPart);
  } else {
    // A disk's length is the disk's.
    GET_LENGTH_INFORMATION disk{};
    DWORD returned = 0;
    if (::DeviceIoControl(handle, IOCTL_DISK_GET_LENGTH_INFO, nullptr, 0, &disk, sizeof disk, &returned, nullptr) &&
        disk.Length.QuadPart >= 0)
      bytes = static_cast<std::uint64_t>(disk.Length.QuadPart);
  }
  return m_overlay ? std::max(bytes, m_overlay->end()) : bytes;
}

std::optional<std::size_t> ImageFile::readHost(std::uint64_t offset, std::span<std::byte> out) const {
  if (m_fd < 0 || offset > static_cast<std::uint64_t>(INT64_MAX)) return std::nullopt;
  HANDLE handle = win32::handleOf(m_fd);
  std::size_t done = 0;
  while (done < out.size()) {
    const std::uint64_t at = offset + done;
    if (at > static_cast<std::uint64_t>(INT64_MAX)) break;
    OVERLAPPED where{};
    where.Offset = static_cast<DWORD>(at & 0xFFFFFFFFu);
    where.OffsetHigh = static_cast<DWORD>(at >> 32);
    const DWORD want = static_cast<DWORD>(std::min<std::size_t>(out.size() - done, kMaxTransfer));
    DWORD got = 0;
    if (!::ReadFile(handle, out.data() + done, want, &got, &where)) {
      if (::GetLastError() == ERROR_HANDLE_EOF) break;
      return std::nullopt;
    }
    if (got == 0) break;
    done += got;
  }
  return done;
}

OutputFile::~OutputFile() { close(); }

bool OutputFile::create(const std::string& path) {
  const std::size_t slash = path.find_last_of("/\\");
  const std::string folder = slash == std::string::npos ? "." : (slash == 0 ? path.substr(0, 1) : path.substr(0, slash));
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  const int dir = folder_handles::openTop(folder);
  if (dir < 0) {
    close();
    return false;
  }
  const bool made = createAt(dir, name);
  const int saved = errno;
  folder_handles::close(dir);
  errno = saved;
  return made;
}

bool OutputFile::createAt(int folder, const std::string& name) {
  close();
  m_written = 0;
  m_error = 0;
  const std::wstring base = win32::folderPath(folder);
  if (base.empty() || !win32::plainComponent(name)) {
    errno = EINVAL;
    return false;
  }
  const std::wstring path = win32::joinedPath(base, name);
  constexpr DWORD kAccess = GENERIC_WRITE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES;
  // A name nobody holds yet is made here: a new, empty file of one link, with nothing to check.
  HANDLE handle = ::CreateFileW(path.c_str(), kAccess, FILE_SHARE_READ, nullptr, CREATE_NEW,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle != INVALID_HANDLE_VALUE) {
    m_fd = win32::descriptorFor(handle, _O_WRONLY);
    return m_fd >= 0;
  }
  if (::GetLastError() != ERROR_FILE_EXISTS && ::GetLastError() != ERROR_ALREADY_EXISTS) {
    // A folder holding the name answers "access denied".
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    errno = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0
                ? EISDIR
                : win32::errnoFromWin32(::GetLastError());
    return false;
  }
  // The name is held: the link itself is opened, never what it leads to, and anything but a plain file
  // of one name is given back.
  handle = ::CreateFileW(path.c_str(), kAccess, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                         FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    const DWORD error = ::GetLastError();
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) errno = ELOOP;
    else if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) errno = EISDIR;
    else errno = win32::errnoFromWin32(error);
    return false;
  }
  int refusal = 0;
  const auto info = informationOf(handle);
  if (!info) refusal = win32::errnoFromWin32(::GetLastError());
  else if ((info->dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) refusal = ELOOP;
  else if ((info->dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) refusal = EISDIR;
  else if (::GetFileType(handle) != FILE_TYPE_DISK) refusal = ENXIO;
  else if (info->nNumberOfLinks > 1) refusal = EMLINK;
  else if (!::SetEndOfFile(handle)) refusal = win32::errnoFromWin32(::GetLastError());
  if (refusal != 0) {
    ::CloseHandle(handle);
    errno = refusal;
    return false;
  }
  m_fd = win32::descriptorFor(handle, _O_WRONLY);
  return m_fd >= 0;
}

bool OutputFile::openForAppend(const std::string& path) {
  close();
  m_written = 0;
  m_error = 0;
  HANDLE handle = ::CreateFileW(win32::hostPath(path).c_str(),
                                FILE_APPEND_DATA | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ,
                                nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    setErrno();
    return false;
  }
  int refusal = 0;
  const auto info = informationOf(handle);
  if (!info) refusal = win32::errnoFromWin32(::GetLastError());
  else if ((info->dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0) refusal = EEXIST;
  else if (::GetFileType(handle) != FILE_TYPE_DISK) refusal = EEXIST;
  else if (info->nNumberOfLinks > 1) refusal = EMLINK;
  if (refusal != 0) {
    ::CloseHandle(handle);
    errno = refusal;
    return false;
  }
  m_fd = win32::descriptorFor(handle, _O_WRONLY | _O_APPEND);
  if (m_fd < 0) return false;
  m_written = (std::uint64_t{info->nFileSizeHigh} << 32) | info->nFileSizeLow;
  return true;
}

bool OutputFile::write(std::span<const std::byte> data) {
  if (m_fd < 0) return false;
  HANDLE handle = win32::handleOf(m_fd);
  std::size_t done = 0;
  while (done < data.size()) {
    const DWORD want = static_cast<DWORD>(std::min<std::size_t>(data.size() - done, kMaxTransfer));
    DWORD put = 0;
    if (!::WriteFile(handle, data.data() + done, want, &put, nullptr) || put == 0) {
      if (m_error == 0) m_error = put == 0 && ::GetLastError() == ERROR_SUCCESS ? ENOSPC : win32::errnoFromWin32(::GetLastError());
      m_written += done;
      return false;
    }
    done += put;
  }
  m_written += done;
  return true;
}

// Windows has no copy between two descriptors that would spare the read: the caller reads and writes.
std::uint64_t OutputFile::copyFrom(const ImageFile&, std::uint64_t, std::uint64_t) { return 0; }

bool OutputFile::skip(std::uint64_t count) {
  if (m_fd < 0) return false;
  if (count == 0) return true;
  HANDLE handle = win32::handleOf(m_fd);
  LARGE_INTEGER zero{};
  LARGE_INTEGER at{};
  if (!::SetFilePointerEx(handle, zero, &at, FILE_CURRENT) || at.QuadPart < 0) {
    if (m_error == 0) m_error = win32::errnoFromWin32(::GetLastError());
    return false;
  }
  if (count > static_cast<std::uint64_t>(INT64_MAX - at.QuadPart)) {
    if (m_error == 0) m_error = EFBIG;
    return false;
  }
  // The file is marked sparse at its first hole, where the host's file system can leave one.
  if (!m_sparse) {
    DWORD returned = 0;
    ::DeviceIoControl(handle, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &returned, nullptr);
    m_sparse = true;
  }
  // The file is made as long as the position, so that a hole at its end is part of it.
  LARGE_INTEGER target{};
  target.QuadPart = at.QuadPart + static_cast<LONGLONG>(count);
  if (!::SetFilePointerEx(handle, target, nullptr, FILE_BEGIN) || !::SetEndOfFile(handle)) {
    if (m_error == 0) {
      const int error = win32::errnoFromWin32(::GetLastError());
      m_error = error == EINVAL || error == EIO ? EFBIG : error;
    }
    return false;
  }
  m_written += count;
  return true;
}

bool OutputFile::setTimes(std::int64_t accessNs, std::int64_t modificationNs) {
  if (m_fd < 0) return false;
  FILETIME access{};
  FILETIME modification{};
  if (!win32::fileTimeFromUnixNs(accessNs, access) || !win32::fileTimeFromUnixNs(modificationNs, modification))
    return false;
  return ::SetFileTime(win32::handleOf(m_fd), nullptr, &access, &modification) != 0;
}

bool OutputFile::setCreationTime(std::int64_t creationNs) {
  if (m_fd < 0) return false;
  FILETIME creation{};
  if (!win32::fileTimeFromUnixNs(creationNs, creation)) return false;
  return ::SetFileTime(win32::handleOf(m_fd), &creation, nullptr, nullptr) != 0;
}

bool OutputFile::close() {
  if (m_fd < 0) return m_error == 0;
  const bool closed = ::_close(m_fd) == 0;
  if (!closed && m_error == 0) m_error = EIO;
  m_fd = -1;
  m_sparse = false;
  return closed && m_error == 0;
}

bool pathExists(const std::string& path) {
  HANDLE handle = openForQuery(path);
  if (handle == INVALID_HANDLE_VALUE) return false;
  ::CloseHandle(handle);
  return true;
}

bool entryExists(const std::string& path) { return attributesOf(path) != INVALID_FILE_ATTRIBUTES; }

bool sameFile(const std::string& a, const std::string& b) {
  HANDLE first = openForQuery(a);
  if (first == INVALID_HANDLE_VALUE) return false;
  HANDLE second = openForQuery(b);
  if (second == INVALID_HANDLE_VALUE) {
    ::CloseHandle(first);
    return false;
  }
  const auto x = informationOf(first);
  const auto y = informationOf(second);
  ::CloseHandle(first);
  ::CloseHandle(second);
  return x && y && x->dwVolumeSerialNumber == y->dwVolumeSerialNumber && fileIndexOf(*x) == fileIndexOf(*y);
}

std::optional<std::uint64_t> freeSpace(const std::string& folder) {
  std::wstring path = win32::hostPath(folder);
  if (path.empty() || path.back() != L'\\') path += L'\\';
  ULARGE_INTEGER available{};
  if (!::GetDiskFreeSpaceExW(path.c_str(), &available, nullptr, nullptr)) return std::nullopt;
  return available.QuadPart;
}

bool isDirectory(const std::string& path) {
  const DWORD attributes = attributesOf(path);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool isRegularFile(const std::string& path) {
  const DWORD attributes = attributesOf(path);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) == 0;
}

bool isImageFile(const std::string& path) {
  // A disk by its device name ("\\.\PhysicalDrive0") or a file.
  return path.rfind("\\\\.\\", 0) == 0 || isRegularFile(path);
}

bool createDirectory(const std::string& path) {
  if (::CreateDirectoryW(win32::hostPath(path).c_str(), nullptr)) return true;
  return ::GetLastError() == ERROR_ALREADY_EXISTS && isDirectory(path);
}

bool removeFile(const std::string& path) { return ::DeleteFileW(win32::hostPath(path).c_str()) != 0; }

std::optional<std::uint64_t> fileSize(const std::string& path) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!::GetFileAttributesExW(win32::hostPath(path).c_str(), GetFileExInfoStandard, &data)) return std::nullopt;
  return (std::uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow;
}

std::string temporaryDirectory() {
  wchar_t buffer[MAX_PATH + 2] = {};
  const DWORD length = ::GetTempPathW(MAX_PATH + 1, buffer);
  if (length == 0 || length > MAX_PATH + 1) return ".";
  std::string dir = win32::utf8FromWide(std::wstring_view(buffer, length));
  while (dir.size() > 1 && (dir.back() == '\\' || dir.back() == '/') && !(dir.size() == 3 && dir[1] == ':'))
    dir.pop_back();
  return dir;
}

bool setPathTimes(const std::string& path, std::int64_t accessNs, std::int64_t modificationNs) {
  FILETIME access{};
  FILETIME modification{};
  if (!win32::fileTimeFromUnixNs(accessNs, access) || !win32::fileTimeFromUnixNs(modificationNs, modification))
    return false;
  HANDLE handle = ::CreateFileW(win32::hostPath(path).c_str(), FILE_WRITE_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  const bool set = ::SetFileTime(handle, nullptr, &access, &modification) != 0;
  ::CloseHandle(handle);
  return set;
}

std::string executableDirectory() {
  std::wstring buffer(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = ::GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length == 0) return ".";
    if (length < buffer.size()) {
      buffer.resize(length);
      break;
    }
    if (buffer.size() >= 32768) return ".";
    buffer.resize(buffer.size() * 2);
  }
  const std::string path = win32::utf8FromWide(buffer);
  const std::size_t slash = path.find_last_of("\\/");
  return slash == std::string::npos ? "." : path.substr(0, slash);
}

}  // namespace tessary
