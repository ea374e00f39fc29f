// The single-instance guard over flock(2).
#include "ui/instance_guard.h"

#include <cerrno>
#include <cstdlib>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/files.h"

namespace tessary::ui {

namespace {

constexpr const char* kLockName = "BRELLOWTESSARY.0_EXE_RUNNING1.lock";

// A folder only this user can write to: the runtime folder the session gives, or one we make.
std::string runtimeFolder() {
  if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime) return runtime;
  const std::string folder = temporaryDirectory() + "/tessary-" + std::to_string(::getuid());
  ::mkdir(folder.c_str(), 0700);
  struct stat info {};
  // Someone else's folder, or a link planted in its place, is not used.
  if (::lstat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != ::getuid()) return {};
  return folder;
}

}  // namespace

std::string InstanceGuard::defaultLockPath() {
  const std::string folder = runtimeFolder();
  return folder.empty() ? std::string() : folder + "/" + kLockName;
}

InstanceGuard::InstanceGuard(const std::string& lockPath) {
  if (lockPath.empty()) return;
  // Close-on-exec: a browser started from the Help menu must not inherit the lock and keep it.
  m_fd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (m_fd < 0) return;
  if (::flock(m_fd, LOCK_EX | LOCK_NB) != 0) {
    m_otherInstance = errno == EWOULDBLOCK;
    ::close(m_fd);
    m_fd = -1;
  }
}

InstanceGuard::~InstanceGuard() {
  if (m_fd >= 0) ::close(m_fd);
}

}  // namespace tessary::ui
