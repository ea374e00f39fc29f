// The host calls the output folder is made of: folders opened one level at a time from their parent,
// never through a link, and the names the host holds. POSIX in folder_handles.cpp, Windows in
// folder_handles_win32.cpp.
#pragma once

#include <cstddef>
#include <string>

namespace tessary::folder_handles {

// A descriptor of the folder at `path` (the user's choice: a link naming it is followed); -1 with errno.
int openTop(const std::string& path);
// A descriptor of the folder `name` inside `parent`, never through a link; -1 with errno.
int openChild(int parent, const std::string& name);
void close(int folder);

enum class Made { Folder, Taken, Failed };
// Makes the folder `name` inside `parent` unless the name is held: Folder when a real folder (not a link)
// holds the name afterwards, Taken when anything else holds it, Failed (errno set) when it cannot be told.
Made makeFolder(int parent, const std::string& name);

// The longest name of one component the folder holds, in bytes.
std::size_t nameMax(int folder);
// The name as the host can hold it: the name itself on POSIX, windowsSafeName on Windows.
std::string hostSafe(const std::string& name);
// The form under which the host tells names in a folder apart (Windows folds their case).
std::string nameKey(const std::string& name);

}  // namespace tessary::folder_handles
