// `tessary volumes IMAGE`: the volume list page after the chosen scan, and the volume choice that every
// later command makes with --volume, --start-sector, --end-sector and --fs.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <ostream>

#include "commands.h"
#include "headless_wizard.h"
#include "platform/text.h"

namespace tessary::cli {

namespace {

void printTable(std::ostream& out, const std::vector<PopulateDriveDlg::ListRow>& rows) {
  std::array<std::size_t, 4> width{};
  for (std::size_t c = 0; c < width.size(); ++c) width[c] = std::string(PopulateDriveDlg::kColumns[c]).size();
  for (const auto& row : rows) {
    width[0] = std::max(width[0], row.volume.size());
    width[1] = std::max(width[1], row.fileSystem.size());
    width[2] = std::max(width[2], row.volumeSize.size());
    width[3] = std::max(width[3], row.startSector.size());
  }
  auto line = [&](const std::array<std::string, 4>& cells) {
    std::string text;
    for (std::size_t c = 0; c < cells.size(); ++c) {
      text += cells[c];
      if (c + 1 < cells.size()) text += std::string(width[c] - cells[c].size() + 2, ' ');
    }
    out << rightTrimmed(text) << '\n';
  };
  const auto& h = PopulateDriveDlg::kColumns;
  line({h[0], h[1], h[2], h[3]});
  for (const auto& row : rows) line({row.volume, row.fileSystem, row.volumeSize, row.startSector});
}

// The size the list shows in whole MiB ("63   MB", or a bare number), in bytes.
std::uint64_t sizeBytes(const std::string& text) {
  const long long mib = decimalValue(trimmed(text));
  if (mib <= 0) return 0;
  return static_cast<std::uint64_t>(mib) > (UINT64_MAX >> 20) ? UINT64_MAX : static_cast<std::uint64_t>(mib) << 20;
}

const char* pageName(PopulateDriveDlg::NextPage page) {
  return page == PopulateDriveDlg::NextPage::Raw ? "raw" : "recovery-mode";
}

}  // namespace

void addVolumesCommand(CLI::App& app, CommandRunner& runner) {
  auto options = std::make_shared<CommonOptions>();
  CLI::App* command = app.add_subcommand("volumes", "The volume list page: the volumes the chosen scan finds");
  addImageOptions(*command, *options);
  addScanOptions(*command, *options);
  addVolumeOptions(*command, *options);
  command->callback([&runner, options] {
    runner.run([options](std::ostream& out, std::ostream& err) {
      HeadlessWizard wizard(*options, err);
      if (!wizard.walkToVolumeList()) return wizard.refused();
      const auto rows = wizard.volumeList().rows();
      // A volume choice is checked by the page's Next before anything is printed.
      std::optional<PopulateDriveDlg::NextPage> next;
      if (wizard.choosesVolume()) {
        next = wizard.selectVolume();
        if (*next == PopulateDriveDlg::NextPage::None) return wizard.refused();
      }
      if (options->json) {
        for (const auto& row : rows) {
          nlohmann::ordered_json object;
          object["volume"] = decimalValue(row.volume);
          object["file_system"] = row.fileSystem;
          object["size"] = row.volumeSize;
          object["start_sector"] = decimalValue(row.startSector);
          object["size_bytes"] = sizeBytes(row.volumeSize);
          out << object.dump() << '\n';
        }
      } else {
        printTable(out, rows);
      }
      if (next) {
        const VolumeEntry& chosen = *wizard.state().selectedVolume;
        if (options->json) {
          nlohmann::ordered_json selected;
          selected["volume"] = decimalValue(chosen.volumeName);
          selected["file_system"] = chosen.fileSystem;
          selected["size"] = chosen.volumeSizeText;
          selected["start_sector"] = chosen.startSector;
          nlohmann::ordered_json object;
          object["selected"] = selected;
          object["next_page"] = pageName(*next);
          out << object.dump() << '\n';
        } else {
          out << "Selected: VOLUME " << chosen.volumeName << ", FILE_SYSTEM " << chosen.fileSystem
              << ", VOLUME_SIZE " << chosen.volumeSizeText << ", START_SECTOR " << chosen.startSector << " -> "
              << pageName(*next) << " page\n";
        }
      }
      if (rows.empty()) err << "the scan found no volumes\n";
      wizard.printHints();
      wizard.warnAboutMissingReads();
      return 0;
    });
  });
}

}  // namespace tessary::cli
