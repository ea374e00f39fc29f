// The fuzz targets' entry points as the test build links them (each renamed tessary_replay_NAME), so that
// an input kept in tests/regressions/NAME/ runs through exactly the code the fuzzer ran it through.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

namespace tessary::fuzz {

struct ReplayTarget {
  std::string name;
  int (*run)(const std::uint8_t* data, std::size_t size);
};

// How the tests print a target: by its name, not as the bytes of the struct.
inline void PrintTo(const ReplayTarget& target, std::ostream* out) { *out << target.name; }

// Every target fuzz/CMakeLists.txt adds, in the order it adds them.
const std::vector<ReplayTarget>& replayTargets();

}  // namespace tessary::fuzz
