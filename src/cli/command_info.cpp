// `tessary info IMAGE`: the image page.
#include <CLI/CLI.hpp>
#include <ostream>

#include "commands.h"
#include "headless_wizard.h"
#include "platform/text.h"

namespace tessary::cli {

void addInfoCommand(CLI::App& app, CommandRunner& runner) {
  auto options = std::make_shared<CommonOptions>();
  CLI::App* command = app.add_subcommand("info", "The image page: what the image's metadata says");
  addImageOptions(*command, *options);
  command->callback([&runner, options] {
    runner.run([options](std::ostream& out, std::ostream& err) {
      HeadlessWizard wizard(*options, err);
      if (!wizard.imagePage()) return wizard.refused();
      const PageView& view = wizard.imageView();
      const auto version = decimalValue(view.text(VhdInputDialog::kFileVersion));
      const auto sizeMib = decimalValue(view.text(VhdInputDialog::kSize));
      const auto blockSize = decimalValue(view.text(VhdInputDialog::kBlockSize));
      const auto sectorSize = decimalValue(view.text(VhdInputDialog::kLogicalSectorSize));
      const bool differencing = wizard.imageDialog().info().differencing;
      for (const std::string& warning : wizard.imageDialog().info().warnings) err << "warning: " << warning << '\n';
      const ImageInfo& shownInfo = wizard.imageDialog().info();
      if (options->json) {
        // The chain and the replayed log are told only where there is one; other images keep the line.
        nlohmann::ordered_json line = {{"format_version", version},
                                       {"disk_size_mib", sizeMib},
                                       {"block_size", blockSize},
                                       {"logical_sector_size", sectorSize},
                                       {"differencing", differencing}};
        if (differencing) {
          line["chain"] = shownInfo.chain;
          line["missing_parent"] = shownInfo.missingParent;
        }
        if (shownInfo.logEntriesApplied > 0) line["log_entries_applied"] = shownInfo.logEntriesApplied;
        printJson(out, line);
      } else {
        out << "File format version: " << version << '\n'
            << "Size of HDD: " << sizeMib << " MB\n"
            << "Block size: " << blockSize << '\n'
            << "Logical sector size: " << sectorSize << '\n'
            << "Differencing: " << (differencing ? "yes" : "no") << '\n';
        const ImageInfo& info = wizard.imageDialog().info();
        if (info.shown && info.formatName != "VHDX") {
          out << "Format: " << info.formatName << '\n';
          // qcow2 and flat images state no geometry.
          if (info.cylinders != 0 || info.heads != 0 || info.sectorsPerTrack != 0)
            out << "Geometry: " << info.cylinders << '/' << info.heads << '/' << info.sectorsPerTrack << '\n';
          if (!info.adapterType.empty()) out << "Adapter type: " << info.adapterType << '\n';
          if (!info.createType.empty()) out << "Create type: " << info.createType << '\n';
        }
        for (const std::string& line : info.chain) out << "Chain " << printableText(line) << '\n';
        if (!info.missingParent.empty()) out << "Missing parent: " << printableText(info.missingParent) << '\n';
        if (info.logEntriesApplied > 0) out << "Log entries replayed in memory: " << info.logEntriesApplied << '\n';
      }
      return 0;
    });
  });
}

}  // namespace tessary::cli
