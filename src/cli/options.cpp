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

// --volume names a row by its "VOLUME" text, which is always a whole number.
const CLI::Validator& volumeNumber() {
  static const CLI::Validator validator(
      [](std::string& text) -> std::string {
        const bool digits = !text.empty() && text.size() <= 9 &&
                            std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
        if (!digits) return "must be a volume number as `tessary volumes IMAGE` lists it, not \"" + text + "\"";
        return {};
      },
      "N");
  return validator;
}

}  // namespace

void addImageOptions(CLI::App& command, CommonOptions& options) {
  command.add_option("IMAGE", options.image, "The virtual-disk image: VHDX, VHD, VDI or VMDK (only read)")->required();
  command.add_option("--disk-size-mib", options.diskSizeMib,
                     "Disk size in MiB instead of the image's own [\"Size of HDD:\"]")
      ->check(positiveWholeNumber());
  command.add_option("--block-size", options.blockSize, "Block size in bytes instead of the image's own")
      ->check(positiveWholeNumber());
  command.add_option("--logical-sector-size", options.logicalSectorSize,
                     "Sector size in bytes instead of the image's own")
      ->check(positiveWholeNumber());
  command.add_option("--parent", options.parents,
                     "Image page: the parent of a differencing image (repeat for its parent, and so on)");
  command.add_flag("--json", options.json, "One JSON object per line on stdout");
  command.add_flag("--quiet", options.quiet, "No progress bar");
  command.add_flag("--verbose", options.verbose, "Status lines and messages on stderr");
}

void addScanOptions(CLI::App& command, CommonOptions& options) {
  command.add_flag("--gpt", options.gpt, "Read the GPT partition table instead of the MBR [\"GPT format\"]");
  command.add_flag("--advanced", options.advanced,
                   "Find volumes by scanning every sector for boot records [\"Advance Scan\"]");
  command.add_option("--start-sector", options.startSector,
                     "First sector: of the scan with --advanced [\"Custom Setting:\"], else of a custom volume");
  command.add_option("--end-sector", options.endSector,
                     "Last sector: of the scan with --advanced, else of a custom volume");
  command.add_flag("--no-skip", options.noSkip,
                   "With --advanced: go on scanning inside a volume once found [\"Do not Skip Volume Size...\"]");
}

void addVolumeOptions(CLI::App& command, CommonOptions& options) {
  command.add_option("--volume", options.volume, "The volume numbered N in `tessary volumes IMAGE` [\"VOLUME\"]")
      ->check(volumeNumber());
  const std::vector<std::string> entries = treatAsEntries();
  std::string list;
  for (const std::string& entry : entries) list += (list.empty() ? "" : ", ") + entry;
  command.add_option("--fs", options.fs,
                     "Read the volume as this file system: " + list + " [\"Treat file system as:\"]")
      ->check(CLI::IsMember(entries, CLI::ignore_case));
}

void addRecoveryOptions(CLI::App& command, CommonOptions& options) {
  command.add_option("--mode", options.mode,
                     "standard reads the file system's own structures; advanced searches the volume for them "
                     "(for damaged or formatted volumes); deep scans the whole volume for records (NTFS, HFS+)")
      ->check(CLI::IsMember({"standard", "advanced", "deep"}));
  command.add_option("--max-candidates", options.maxCandidates,
                     "With --mode advanced: how many file systems to look for "
                     "[\"Please Enter Max File Systems to Find :\"]");
  command.add_flag("--formatted", options.formatted, "With --mode advanced: the volume was formatted [\"Is Drive Formated..?\"]");
  command.add_option("--candidate", options.candidate,
                     "With --mode advanced: the file system found at this position (from 0) of `tessary candidates` "
                     "[\"TFS :\"]");
  command.add_option("--sectors-per-cluster", options.sectorsPerCluster,
                     "With --mode advanced: sectors per cluster, a value `tessary candidates` lists "
                     "[\"Sector Per Cluster :\"]");
  command.add_option("--sectors-per-cluster-item", options.sectorsPerClusterItem,
                     "With --mode advanced: the sectors-per-cluster list's item at this position (from 0)")
      ->excludes("--sectors-per-cluster");
  command.add_option("--heap-candidate", options.heapCandidate,
                     "With --mode advanced: the exFAT heap offset at this position (from 0) [\"Heap Offset :\"]");
}

void printJson(std::ostream& out, const nlohmann::ordered_json& object) {
  // Names come from images: a byte sequence that is not UTF-8 is replaced rather than thrown about.
  out << object.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) << '\n';
}

void printColumns(std::ostream& out, const std::vector<std::string>& header,
                  const std::vector<std::array<std::string, 4>>& rows) {
  std::array<std::size_t, 4> width{};
  for (std::size_t c = 0; c < width.size() && c < header.size(); ++c) width[c] = header[c].size();
  for (const auto& row : rows)
    for (std::size_t c = 0; c < width.size(); ++c) width[c] = std::max(width[c], row[c].size());
  auto line = [&](const std::array<std::string, 4>& cells) {
    std::string text;
    for (std::size_t c = 0; c < cells.size(); ++c) {
      text += cells[c];
      if (c + 1 < cells.size()) text += std::string(width[c] - cells[c].size() + 2, ' ');
    }
    while (!text.empty() && text.back() == ' ') text.pop_back();
    out << text << '\n';
  };
  std::array<std::string, 4> head;
  for (std::size_t c = 0; c < head.size() && c < header.size(); ++c) head[c] = header[c];
  line(head);
  for (const auto& row : rows) line(row);
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
