// Windows folder handles: each folder is held open without delete sharing, so that neither it nor a
// folder above it can be renamed, removed or swapped for a junction while the save uses it; each level
// is opened with FILE_FLAG_OPEN_REPARSE_POINT and refused when it is a junction or a link.
#include "platform/folder_handles.h"

#include <fcntl.h>
#include <io.h>

#include <cerrno>
#include <map>
#include <mutex>

#include "platform/files.h"
#include "platform/win32_paths.h"

namespace tessary {

namespace {

std::mutex& tableMutex() {
  static std::mutex mutex;
  return mutex;
}

// The host path of each folder descriptor.
std::map<int, std::wstring>& table() {
  static std::map<int, std::wstring> paths;
  return paths;
}

int remember(HANDLE handle, const std::wstring& path) {
  const int fd = win32::descriptorFor(handle, _O_RDONLY);
  if (fd < 0) return -1;
  std::lock_guard lock(tableMutex());
  table()[fd] = path;
  return fd;
}

// Opens a folder for holding; `follow` follows a link or junction (the user's own choice of folder).
HANDLE openFolder(const std::wstring& path, bool follow) {
  const DWORD flags = FILE_FLAG_BACKUP_SEMANTICS | (follow ? 0 : FILE_FLAG_OPEN_REPARSE_POINT);
  HANDLE handle = ::CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, flags, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    errno = win32::errnoFromWin32(::GetLastError());
    return handle;
  }
  BY_HANDLE_FILE_INFORMATION info{};
  int refusal = 0;
  if (!::GetFileInformationByHandle(handle, &info)) refusal = win32::errnoFromWin32(::GetLastError());
  else if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 && !follow) refusal = ELOOP;
  else if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) refusal = ENOTDIR;
  if (refusal != 0) {
    ::CloseHandle(handle);
    errno = refusal;
    return INVALID_HANDLE_VALUE;
  }
  return handle;
}

}  // namespace

namespace win32 {

std::wstring folderPath(int folder) {
  std::lock_guard lock(tableMutex());
  const auto it = table().find(folder);
  return it == table().end() ? std::wstring() : it->second;
}

}  // namespace win32

namespace folder_handles {

int openTop(const std::string& path) {
  const std::wstring host = win32::hostPath(path);
  HANDLE handle = openFolder(host, true);
  if (handle == INVALID_HANDLE_VALUE) return -1;
  return remember(handle, host);
}

int openChild(int parent, const std::string& name) {
  const std::wstring base = win32::folderPath(parent);
  if (base.empty() || !win32::plainComponent(name)) {
    errno = EINVAL;
    return -1;
  }
  const std::wstring path = win32::joinedPath(base, name);
  HANDLE handle = openFolder(path, false);
  if (handle == INVALID_HANDLE_VALUE) return -1;
  return remember(handle, path);
}

void close(int folder) {
  if (folder < 0) return;
  {
    std::lock_guard lock(tableMutex());
    table().erase(folder);
  }
  ::_close(folder);
}

Made makeFolder(int parent, const std::string& name) {
  const std::wstring base = win32::folderPath(parent);
  if (base.empty() || !win32::plainComponent(name)) {
    errno = EINVAL;
    return Made::Failed;
  }
  const std::wstring path = win32::joinedPath(base, name);
  if (!::CreateDirectoryW(path.c_str(), nullptr) && ::GetLastError() != ERROR_ALREADY_EXISTS) {
    errno = win32::errnoFromWin32(::GetLastError());
    return Made::Failed;
  }
  const DWORD attributes = ::GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    errno = win32::errnoFromWin32(::GetLastError());
    return Made::Failed;
  }
  const bool folder = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
  return folder ? Made::Folder : Made::Taken;
}

std::size_t nameMax(int) {
  // 255 UTF-16 units; a UTF-8 name of at most 255 bytes never has more.
  return 255;
}

std::string hostSafe(const std::string& name) { return windowsSafeName(name); }

std::string nameKey(const std::string& name) {
  std::wstring wide = win32::wideFromUtf8(name);
  if (!wide.empty()) ::CharUpperBuffW(wide.data(), static_cast<DWORD>(wide.size()));
  return win32::utf8FromWide(wide);
}

}  // namespace folder_handles

}  // namespace tessary
