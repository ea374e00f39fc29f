// Runs the `tessary` command line in-process with string streams.
#pragma once

#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "cli_app.h"

namespace tessary::test {

struct CliResult {
  int status = 0;
  std::string out;
  std::string err;
  // stdout's lines parsed as JSON objects (lines that are not JSON are skipped).
  std::vector<nlohmann::json> objects() const {
    std::vector<nlohmann::json> all;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) {
      auto parsed = nlohmann::json::parse(line, nullptr, false);
      if (!parsed.is_discarded()) all.push_back(std::move(parsed));
    }
    return all;
  }
};

inline CliResult runTessary(std::vector<std::string> args) {
  args.insert(args.begin(), "tessary");
  std::vector<const char*> argv;
  for (const auto& a : args) argv.push_back(a.c_str());
  std::ostringstream out;
  std::ostringstream err;
  CliResult result;
  result.status = cli::run(static_cast<int>(argv.size()), argv.data(), out, err);
  result.out = out.str();
  result.err = err.str();
  return result;
}

}  // namespace tessary::test
