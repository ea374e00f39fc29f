// Shared command-line options.
#include "options.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <ostream>
#include <string>
#include <vector>

#include "fs/registry.h"

namespace tessary::cli {

namespace {

// The image page's fields take what the page would: a whole number above 0 (the page reads anything else
// as 0, which no reader can use). An empty field is left to the page, which asks for it; anything else is
// bad usage.
const CLI::Validator& positiveWholeNumber() {
  static const CLI::Validator validator(
      [](std::string& text) -> std::string {
        if (text.empty()) return {};
        const bool digits = text.size() <= 19 &&
                            std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
        if (!digits || std::all_of(text.begin(), text.end(), [](char c) { return c == '0'; }))
          return "must be a whole number above 0, not \"" + text + "\"";
        return {};
      },
      "NUMBER > 0");
  return validator;
}

}  // namespace

void addImageOptions(CLI::App& command, CommonOptions& options) {
  command.add_option("IMAGE", options.image, "The virtual-disk image (only read)")->required();
  command.add_option("--disk-size-mib", options.diskSizeMib, "Image page: \"Size of HDD:\" in MB")
      ->check(positiveWholeNumber());
  command.add_option("--block-size", options.blockSize, "Image page: the block size field")->check(positiveWholeNumber());
  command.add_option("--logical-sector-size", options.logicalSectorSize, "Image page: the logical sector size field")
      ->check(positiveWholeNumber());
  command.add_option("--parent", options.parents,
                     "Image page: the parent of a differencing image (repeat for its parent, and so on)");
  command.add_flag("--json", options.json, "One JSON object per line on stdout");
  command.add_flag("--quiet", options.quiet, "No progress bar");
  command.add_flag("--verbose", options.verbose, "Status lines and messages on stderr");
}

void addScanOptions(CLI::App& command, CommonOptions& options) {
  command.add_flag("--gpt", options.gpt, "Scan-mode page: \"GPT format\"");
  command.add_flag("--advanced", options.advanced, "Scan-mode page: \"Advance Scan\" instead of \"Standard Scan\"");
  command.add_option("--start-sector", options.startSector, "\"Starting Sector:\" (custom setting or custom volume)");
  command.add_option("--end-sector", options.endSector, "\"Ending Sector:\" (custom setting or custom volume)");
  command.add_flag("--no-skip", options.noSkip, "\"Do not Skip Volume Size While Parsing in Advance  Scan \"");
}

void addVolumeOptions(CLI::App& command, CommonOptions& options) {
  command.add_option("--volume", options.volume, "The volume list row whose \"VOLUME\" text is N");
  const std::vector<std::string> entries = treatAsEntries();
  std::string list;
  for (const std::string& entry : entries) list += (list.empty() ? "" : ", ") + entry;
  command.add_option("--fs", options.fs, "\"Treat file system as:\" (" + list + ")")
      ->check(CLI::IsMember(entries, CLI::ignore_case));
}

void addRecoveryOptions(CLI::App& command, CommonOptions& options) {
  command.add_option("--mode", options.mode, "Recovery mode: standard, advanced or deep")
      ->check(CLI::IsMember({"standard", "advanced", "deep"}));
  command.add_option("--max-candidates", options.maxCandidates, "\"Please Enter Max File Systems to Find :\"");
  command.add_flag("--formatted", options.formatted, "\"Is Drive Formated..?\"");
  command.add_option("--candidate", options.candidate, "\"TFS :\" choice by position");
  command.add_option("--sectors-per-cluster", options.sectorsPerCluster, "\"Sector Per Cluster :\" choice by position");
  command.add_option("--heap-candidate", options.heapCandidate, "\"Heap Offset :\" choice by position");
}

void printJson(std::ostream& out, const nlohmann::ordered_json& object) {
  // Names come from images: a byte sequence that is not UTF-8 is replaced rather than thrown about.
  out << object.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) << '\n';
}

std::string printableText(const std::string& text) {
  std::string shown;
  shown.reserve(text.size());
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) {
      static const char kHex[] = "0123456789abcdef";
      shown += "\\x";
      shown += kHex[byte >> 4];
      shown += kHex[byte & 0xF];
    } else {
      shown += c;
    }
  }
  return shown;
}

}  // namespace tessary::cli
