// Options shared by every command that opens an image, and the output helpers of the commands.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <optional>
#include <array>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace CLI {
class App;
}

namespace tessary::cli {

struct CommonOptions {
  std::string image;
  // --parent: the image's parent, then its parent, and so on (read even when its identity differs).
  std::vector<std::string> parents;
  // The image page's three fields; unset means the values the image's metadata gives.
  std::optional<std::string> diskSizeMib;
  std::optional<std::string> blockSize;
  std::optional<std::string> logicalSectorSize;
  // The scan-mode page.
  bool gpt = false;
  bool advanced = false;
  std::optional<std::int64_t> startSector;
  std::optional<std::int64_t> endSector;
  bool noSkip = false;
  // The volume list page.
  std::optional<std::string> volume;
  std::optional<std::string> fs;
  // The recovery-mode and advanced-input pages.
  std::string mode = "standard";
  std::optional<std::string> maxCandidates;
  bool formatted = false;
  int candidate = 0;
  // "Sector Per Cluster :" by the value an item shows, or by its position.
  std::optional<std::string> sectorsPerCluster;
  std::optional<int> sectorsPerClusterItem;
  int heapCandidate = 0;

  bool json = false;
  bool quiet = false;
  bool verbose = false;
};

// Adds the output and image-page options every image command takes.
void addImageOptions(CLI::App& command, CommonOptions& options);
// Adds the scan-mode page's options (--gpt, --advanced, --start-sector, --end-sector, --no-skip).
void addScanOptions(CLI::App& command, CommonOptions& options);
// Adds --volume and --fs (with --start-sector/--end-sector they describe a custom volume).
void addVolumeOptions(CLI::App& command, CommonOptions& options);
// Adds the recovery-mode and advanced-input options.
void addRecoveryOptions(CLI::App& command, CommonOptions& options);

// Prints one JSON object on its own line, fields in the order given (as docs/cli.md lists them).
void printJson(std::ostream& out, const nlohmann::ordered_json& object);
// A table with a header row, each column as wide as its widest cell, separated by two blanks.
void printColumns(std::ostream& out, const std::vector<std::string>& header,
                  const std::vector<std::array<std::string, 4>>& rows);

// A name as a terminal line may show it: control characters (below 0x20, and 0x7F) become \xNN, so a
// name from an image can neither break a line nor send the terminal an escape sequence.
std::string printableText(const std::string& text);

}  // namespace tessary::cli
