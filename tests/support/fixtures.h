// Where the unpacked fixtures and their manifest are.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tessary::test {

// Full path of an unpacked fixture; the test is skipped by the caller when it is missing.
std::string fixturePath(const std::string& name);
bool haveFixture(const std::string& name);
// Reads a whole host file (for comparisons).
std::string readHostFile(const std::string& path);
// A fresh empty folder below the temporary directory.
std::string makeTempDir(const std::string& prefix);
// Runs a shell command; returns its exit status and fills `output` with its stdout.
int runCommand(const std::string& command, std::string* output = nullptr);

// The process's local time zone becomes UTC.
void useUtc();
// The process's local time zone for one scope, as a POSIX TZ text ("JST-9", "EST5EDT,M3.2.0,M11.1.0"),
// which the C libraries of both hosts read.
class ZoneGuard {
 public:
  explicit ZoneGuard(const char* zone);
  ~ZoneGuard();
  ZoneGuard(const ZoneGuard&) = delete;
  ZoneGuard& operator=(const ZoneGuard&) = delete;

 private:
  bool m_had = false;
  std::string m_old;
};
// Seconds since 1970 of an ISO 8601 UTC text ("2024-05-06T07:08:09Z"), as the manifests write times.
std::int64_t unixFromIso(const std::string& iso);
// A host file's times in whole seconds since 1970; creation where the host keeps one (Windows).
struct HostTimes {
  std::int64_t access = 0;
  std::int64_t modification = 0;
  std::optional<std::int64_t> creation;
};
std::optional<HostTimes> hostTimes(const std::string& path);
// Whether a creation time set on a file in `folder` is kept there (NTFS does; Wine on a Linux file
// system and Linux itself do not).
bool hostKeepsCreationTimes(const std::string& folder);
// What the host says of a name, a link not followed: its kind, length, whole-second times and the bytes
// its file system gives it (less than its length where it has holes).
struct HostEntry {
  bool folder = false;
  bool regular = false;
  bool link = false;  // a symbolic link, a junction or another reparse point
  std::uint64_t size = 0;
  std::uint64_t allocated = 0;
  std::int64_t access = 0;
  std::int64_t modification = 0;
};
std::optional<HostEntry> hostEntry(const std::string& path);
// The regular files below a folder, as '/'-separated paths relative to it, sorted; links are not followed.
std::vector<std::string> listFiles(const std::string& folder);
// Removes a folder and all below it (links are removed, never followed); nothing when it is absent.
void removeTree(const std::string& path);

}  // namespace tessary::test

// Skips a test that needs what only Linux has (mkfs, mount, qemu-img, sleuthkit, POSIX links and FIFOs).
#ifdef _WIN32
#define TESSARY_LINUX_ONLY(why) GTEST_SKIP() << "Linux only: " << why
#else
#define TESSARY_LINUX_ONLY(why) (void)0
#endif
