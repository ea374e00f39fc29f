// The single-instance guard: an exclusive lock on a file in the user's runtime folder, held for the life
// of the process. The kernel drops the lock when the process ends in any way, so a crash never blocks
// the next start.
#pragma once

#include <string>

namespace tessary::ui {

class InstanceGuard {
 public:
  // Takes the lock on `lockPath`, or notes that another process holds it.
  explicit InstanceGuard(const std::string& lockPath);
  ~InstanceGuard();
  InstanceGuard(const InstanceGuard&) = delete;
  InstanceGuard& operator=(const InstanceGuard&) = delete;

  // True when another instance holds the lock. A lock file that cannot be made at all guards nothing,
  // and the application runs.
  bool otherInstanceRunning() const { return m_otherInstance; }

  // $XDG_RUNTIME_DIR, else a private folder below the temporary directory, holding the lock named after
  // the application's mutex.
  static std::string defaultLockPath();

  static constexpr const char* kMessage = "Another instance of application is already running";

 private:
  int m_fd = -1;
  bool m_otherInstance = false;
};

}  // namespace tessary::ui
