// Where the unpacked fixtures and their manifest are.
#pragma once

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

}  // namespace tessary::test
