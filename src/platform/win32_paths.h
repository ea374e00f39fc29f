// Windows only: UTF-8 and UTF-16 names, long host paths, and error codes as errno values.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

namespace tessary::win32 {

std::wstring wideFromUtf8(std::string_view text);
std::string utf8FromWide(std::wstring_view text);
// The absolute host path with the "\\?\" prefix, so that no length limit applies and no component is
// taken for a device. Either slash separates folders.
std::wstring hostPath(const std::string& path);
// `folder` (a host path) and one more component.
std::wstring joinedPath(const std::wstring& folder, const std::string& name);
// Whether `name` is one component the host takes as it is: no separator, no stream, not "." or "..".
bool plainComponent(const std::string& name);
// The errno value for a Win32 error code.
int errnoFromWin32(DWORD error);
// Unix nanoseconds as a FILETIME; false for a time before 1601.
bool fileTimeFromUnixNs(std::int64_t ns, FILETIME& out);
// The host path of a folder descriptor from folder_handles (empty when it is not one).
std::wstring folderPath(int folder);
// The handle a C runtime descriptor holds.
HANDLE handleOf(int fd);
// A C runtime descriptor that holds `handle` (-1 with the handle closed when none can be had).
int descriptorFor(HANDLE handle, int flags);

}  // namespace tessary::win32
