// Fixture lookup and host helpers for the tests.
#include "support/fixtures.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <cstdlib>
#include <fstream>
#include <span>
#include <sstream>
#include <filesystem>
#include <vector>

#include "platform/files.h"
#ifdef _WIN32
#include "platform/win32_paths.h"
#endif

namespace tessary::test {

std::string fixturePath(const std::string& name) { return std::string(TESSARY_FIXTURE_DIR) + "/" + name; }

bool haveFixture(const std::string& name) { return isRegularFile(fixturePath(name)); }

std::string readHostFile(const std::string& path) {
#ifdef _WIN32
  // Through the host layer, for UTF-8 names.
  ImageFile file;
  if (!file.open(path)) return {};
  std::string bytes(static_cast<std::size_t>(file.size()), '\0');
  const auto got = file.readAt(0, std::as_writable_bytes(std::span<char>(bytes.data(), bytes.size())));
  bytes.resize(got ? *got : 0);
  return bytes;
#else
  std::ifstream in(path, std::ios::binary);
  std::ostringstream all;
  all << in.rdbuf();
  return all.str();
#endif
}

std::string makeTempDir(const std::string& prefix) {
#ifdef _WIN32
  static unsigned counter = 0;
  for (int attempt = 0; attempt < 1000; ++attempt) {
    const std::string path = temporaryDirectory() + "\\" + prefix + std::to_string(::GetCurrentProcessId()) + "-" +
                             std::to_string(++counter);
    if (!entryExists(path) && createDirectory(path)) return path;
  }
  return {};
#else
  std::string pattern = temporaryDirectory() + "/" + prefix + "XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (::mkdtemp(buffer.data()) == nullptr) return {};
  return buffer.data();
#endif
}

int runCommand(const std::string& command, std::string* output) {
  FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) return -1;
  std::string text;
  char chunk[4096];
  std::size_t n = 0;
  while ((n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0) text.append(chunk, n);
  const int status = ::pclose(pipe);
  if (output) *output = text;
#ifdef _WIN32
  return status;
#else
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
#endif
}

void useUtc() {
#ifdef _WIN32
  ::_putenv_s("TZ", "UTC0");
  ::_tzset();
#else
  ::setenv("TZ", "UTC", 1);
  ::tzset();
#endif
}

namespace {
void setZone(const char* zone) {
#ifdef _WIN32
  ::_putenv_s("TZ", zone ? zone : "");
  ::_tzset();
#else
  if (zone) ::setenv("TZ", zone, 1);
  else ::unsetenv("TZ");
  ::tzset();
#endif
}
}  // namespace

ZoneGuard::ZoneGuard(const char* zone) {
  const char* old = std::getenv("TZ");
  m_had = old != nullptr;
  if (old) m_old = old;
  setZone(zone);
}

ZoneGuard::~ZoneGuard() { setZone(m_had ? m_old.c_str() : nullptr); }

std::int64_t unixFromIso(const std::string& iso) {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
  if (std::sscanf(iso.c_str(), "%d-%d-%dT%d:%d:%d", &year, &month, &day, &hour, &minute, &second) != 6) return 0;
  // Days from 1970-01-01 of a proleptic Gregorian date.
  const int y = year - (month <= 2 ? 1 : 0);
  const int era = (y >= 0 ? y : y - 399) / 400;
  const int yoe = y - era * 400;
  const int doy = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  const std::int64_t days = std::int64_t{era} * 146097 + doe - 719468;
  return days * 86400 + hour * 3600 + minute * 60 + second;
}

#ifdef _WIN32
namespace {
std::int64_t unixSecondsOf(const FILETIME& ft) {
  const std::uint64_t ticks = (std::uint64_t{ft.dwHighDateTime} << 32) | ft.dwLowDateTime;
  return static_cast<std::int64_t>(ticks / 10000000ULL) - 11644473600LL;
}

std::wstring wide(const std::string& text) {
  const int n = ::MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, nullptr, 0);
  std::wstring out(n > 0 ? static_cast<std::size_t>(n) : 0, L'\0');
  if (n > 0) ::MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, out.data(), n);
  if (!out.empty()) out.pop_back();
  return out;
}
}  // namespace
#endif

std::optional<HostTimes> hostTimes(const std::string& path) {
#ifdef _WIN32
  HANDLE handle = ::CreateFileW(wide(path).c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return std::nullopt;
  FILETIME created{}, accessed{}, written{};
  const bool got = ::GetFileTime(handle, &created, &accessed, &written) != 0;
  ::CloseHandle(handle);
  if (!got) return std::nullopt;
  return HostTimes{unixSecondsOf(accessed), unixSecondsOf(written), unixSecondsOf(created)};
#else
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return std::nullopt;
  return HostTimes{st.st_atime, st.st_mtime, std::nullopt};
#endif
}

bool hostKeepsCreationTimes(const std::string& folder) {
#ifdef _WIN32
  const std::string probe = folder + "\\creation-probe";
  OutputFile file;
  if (!file.create(probe)) return false;
  constexpr std::int64_t kProbe = 1000000000LL * 1000000000LL;  // 2001-09-09
  file.setCreationTime(kProbe);
  file.close();
  const auto times = hostTimes(probe);
  removeFile(probe);
  return times && times->creation == kProbe / 1000000000LL;
#else
  (void)folder;
  return false;
#endif
}

std::optional<HostEntry> hostEntry(const std::string& path) {
#ifdef _WIN32
  HANDLE handle = ::CreateFileW(win32::hostPath(path).c_str(), FILE_READ_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return std::nullopt;
  BY_HANDLE_FILE_INFORMATION info{};
  FILE_STANDARD_INFO standard{};
  const bool got = ::GetFileInformationByHandle(handle, &info) != 0 &&
                   ::GetFileInformationByHandleEx(handle, FileStandardInfo, &standard, sizeof standard) != 0;
  ::CloseHandle(handle);
  if (!got) return std::nullopt;
  HostEntry entry;
  entry.link = (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
  entry.folder = !entry.link && (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  entry.regular = !entry.link && !entry.folder && (info.dwFileAttributes & FILE_ATTRIBUTE_DEVICE) == 0;
  entry.size = (std::uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow;
  entry.allocated = static_cast<std::uint64_t>(standard.AllocationSize.QuadPart);
  entry.access = unixSecondsOf(info.ftLastAccessTime);
  entry.modification = unixSecondsOf(info.ftLastWriteTime);
  return entry;
#else
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return std::nullopt;
  HostEntry entry;
  entry.folder = S_ISDIR(st.st_mode);
  entry.regular = S_ISREG(st.st_mode);
  entry.link = S_ISLNK(st.st_mode);
  entry.size = static_cast<std::uint64_t>(st.st_size);
  entry.allocated = static_cast<std::uint64_t>(st.st_blocks) * 512;
  entry.access = st.st_atim.tv_sec;
  entry.modification = st.st_mtim.tv_sec;
  return entry;
#endif
}

#ifdef _WIN32
namespace {
// Depth first through FindFirstFileW; a reparse point is removed as the name it is, never entered.
void removeBelow(const std::wstring& folder) {
  WIN32_FIND_DATAW found{};
  HANDLE search = ::FindFirstFileW((folder + L"\\*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return;
  std::vector<std::pair<std::wstring, DWORD>> names;
  do {
    const std::wstring name = found.cFileName;
    if (name != L"." && name != L"..") names.emplace_back(folder + L"\\" + name, found.dwFileAttributes);
  } while (::FindNextFileW(search, &found));
  ::FindClose(search);
  for (const auto& [path, attributes] : names) {
    const bool folderEntry = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    if ((attributes & FILE_ATTRIBUTE_READONLY) != 0)
      ::SetFileAttributesW(path.c_str(), attributes & ~DWORD{FILE_ATTRIBUTE_READONLY});
    if (folderEntry && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) removeBelow(path);
    if (folderEntry) ::RemoveDirectoryW(path.c_str());
    else ::DeleteFileW(path.c_str());
  }
}
}  // namespace
#endif

std::vector<std::string> listFiles(const std::string& folder) {
  namespace fs = std::filesystem;
  const fs::path top(std::u8string(folder.begin(), folder.end()));
  std::vector<std::string> files;
  std::error_code error;
  for (fs::recursive_directory_iterator it(top, error), end; !error && it != end; it.increment(error)) {
    if (it->symlink_status(error).type() != fs::file_type::regular) continue;
    const std::u8string relative = it->path().lexically_relative(top).generic_u8string();
    files.emplace_back(relative.begin(), relative.end());
  }
  std::sort(files.begin(), files.end());
  return files;
}

void removeTree(const std::string& path) {
  if (path.empty()) return;
#ifdef _WIN32
  const std::wstring host = win32::hostPath(path);
  const DWORD attributes = ::GetFileAttributesW(host.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return;
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    ::DeleteFileW(host.c_str());
    return;
  }
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) removeBelow(host);
  ::RemoveDirectoryW(host.c_str());
#else
  std::error_code ignored;
  std::filesystem::remove_all(path, ignored);
#endif
}

}  // namespace tessary::test
