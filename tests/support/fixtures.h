// Where the unpacked fixtures and their manifest are.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

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

}  // namespace tessary::test

// Skips a test that needs what only Linux has (mkfs, mount, qemu-img, sleuthkit, POSIX links and FIFOs).
#ifdef _WIN32
#define TESSARY_LINUX_ONLY(why) GTEST_SKIP() << "Linux only: " << why
#else
#define TESSARY_LINUX_ONLY(why) (void)0
#endif
