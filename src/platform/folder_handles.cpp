// POSIX folder handles: descriptors, openat without following links.
#include "platform/folder_handles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace tessary::folder_handles {

namespace {
// The longest name of one component when the host folder does not tell.
constexpr long kDefaultNameMax = 255;
}  // namespace

int openTop(const std::string& path) { return ::open(path.empty() ? "." : path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); }

int openChild(int parent, const std::string& name) {
  return ::openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

void close(int folder) {
  if (folder >= 0) ::close(folder);
}

Made makeFolder(int parent, const std::string& name) {
  if (::mkdirat(parent, name.c_str(), 0755) != 0 && errno != EEXIST) return Made::Failed;
  struct stat st {};
  if (::fstatat(parent, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return Made::Failed;
  return S_ISDIR(st.st_mode) ? Made::Folder : Made::Taken;
}

std::size_t nameMax(int folder) {
  long limit = ::fpathconf(folder, _PC_NAME_MAX);
  if (limit <= 0) limit = kDefaultNameMax;
  return static_cast<std::size_t>(limit);
}

std::string hostSafe(const std::string& name) { return name; }

std::string nameKey(const std::string& name) { return name; }

}  // namespace tessary::folder_handles
