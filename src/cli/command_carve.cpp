// `tessary carve IMAGE --volume N --out DIR [--signatures FILE] [--no-default-signatures]`: the raw page.
// Loads the default signature file (unless told not to) and FILE, scans, ticks every result and saves.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <array>
#include <ostream>
#include <vector>

#include "commands.h"
#include "headless_wizard.h"
#include "platform/files.h"
#include "platform/text.h"
#include "raw/raw_recovery_dialog.h"
#include "results_steps.h"

namespace tessary::cli {

void addCarveCommand(CLI::App& app, CommandRunner& runner) {
  auto options = std::make_shared<CommonOptions>();
  auto outDir = std::make_shared<std::string>();
  auto signatures = std::make_shared<std::string>();
  auto noDefault = std::make_shared<bool>(false);
  CLI::App* command = app.add_subcommand("carve", "Carves files out of a volume by their signatures (the raw page)");
  addImageOptions(*command, *options);
  addScanOptions(*command, *options);
  addVolumeOptions(*command, *options);
  command->add_option("--out", *outDir, "The output folder (created when missing)")->required();
  command->add_option("--signatures", *signatures, "A signature file to load after the default one");
  command->add_flag("--no-default-signatures", *noDefault, "Leave out the signature file beside the program [\"Load Default Items \"]");
  command->callback([&runner, options, outDir, signatures, noDefault] {
    runner.run([options, outDir, signatures, noDefault](std::ostream& out, std::ostream& err) {
      // The raw page is where "Treat file system as:" RAW leads.
      if (!options->fs) options->fs = "RAW";
      HeadlessWizard wizard(*options, err);
      if (!wizard.walkToVolumeList()) return wizard.refused();
      if (wizard.selectVolume() != PopulateDriveDlg::NextPage::Raw) return wizard.refused();
      PageView view;
      RawRecoveryDialog page(wizard.state(), view, wizard.sink());
      page.onOpen();
      view.setChecked(RawRecoveryDialog::kLoadDefault, !*noDefault);
      // The path box names the chosen file only; the default one is loaded through its box.
      view.setText(RawRecoveryDialog::kPath, *signatures);
      page.onParse();
      page.waitForWorker();
      wizard.sink().finishBar();
      for (const std::string& refused : page.refusedRecords()) err << "warning: never used: " << refused << '\n';
      if (page.scanResult() != true) {
        if (wizard.sink().lastMessage() == "zero size volume..") {
          const std::uint64_t sectors =
              wizard.state().disk.diskSectorCount / (logicalSectorBytes(wizard.state().disk) / kSectorSize);
          const auto rows = wizard.volumeList().rows();
          if (std::none_of(rows.begin(), rows.end(), [](const PopulateDriveDlg::ListRow& row) {
                const std::string label = trimmed(row.fileSystem);
                return label != "CUSTOM" && label != "RAW";
              }))
            wizard.addHint("the disk holds no volumes the scan could find");
          if (!options->volume && !options->startSector && !options->endSector)
            wizard.addHint(format("name what to carve: --start-sector 0 --end-sector %llu for the whole disk "
                                  "(%llu sectors), or a volume with --volume N",
                                  static_cast<unsigned long long>(sectors ? sectors - 1 : 0),
                                  static_cast<unsigned long long>(sectors)));
          else
            wizard.addHint("the end sector must lie after the start sector");
        }
        return wizard.refused();
      }
      CXHtmlTree& tree = page.tree();
      const TreeItem top = tree.rootItem();
      tree.SetCheck(top, false);
      tree.SetCheck(top, true);
      if (!makeOutputFolder(*outDir, err)) return 1;
      page.onSave([&outDir]() -> std::optional<std::string> { return *outDir; });
      page.waitForWorker();
      wizard.sink().finishBar();
      const std::vector<RawRecoveryDialog::Result> results = page.results();
      std::vector<std::array<std::string, 4>> rows;
      std::uint64_t bytes = 0;
      for (const RawRecoveryDialog::Result& result : results) {
        bytes += static_cast<std::uint64_t>(std::max<std::int64_t>(result.size, 0));
        // A file a deleted entry named keeps that name and folder; its offset name is reported beside it.
        const std::string shown = result.folder.empty() ? result.name : result.folder + "/" + result.name;
        if (options->json) {
          printJson(out, {{"category", result.category}, {"name", result.name}, {"folder", result.folder},
                          {"offset_name", result.offsetName}, {"named", result.named}, {"offset", result.offset},
                          {"size", result.size}, {"exact", result.exact}, {"partial", result.partial}});
        } else {
          rows.push_back({result.category, printableText(shown) + (result.partial ? " (partial)" : ""),
                          std::to_string(result.offset), std::to_string(result.size)});
        }
      }
      if (!options->json && !rows.empty()) printColumns(out, {"CATEGORY", "NAME", "OFFSET", "SIZE"}, rows);
      if (results.empty()) {
        err << "no files carved: no signature matched the volume\n";
      } else {
        std::string folder = *outDir;
        if (!folder.empty() && folder.back() != '/') folder += '/';
        err << format("carved %zu files, %llu bytes, into %sRAW RECOVERY; %lld failed\n", results.size(),
                      static_cast<unsigned long long>(bytes), folder.c_str(),
                      static_cast<long long>(page.failureCount()));
      }
      if (page.missingReads() > 0)
        err << "warning: " << page.missingReads() << " reads ran past the image's data; those bytes were zeros\n";
      if (page.failureCount() > 0) {
        err << page.failureStatus() << '\n';
        return 1;
      }
      return 0;
    });
  });
}

}  // namespace tessary::cli
