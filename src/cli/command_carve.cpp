// `tessary carve IMAGE --volume N --out DIR [--signatures FILE] [--no-default-signatures]`: the raw page.
// Loads the default signature file (unless told not to) and FILE, scans, ticks every result and saves.
#include <CLI/CLI.hpp>
#include <ostream>

#include "commands.h"
#include "headless_wizard.h"
#include "platform/files.h"
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
  command->add_flag("--no-default-signatures", *noDefault, "Untick \"Load Default Items \"");
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
      if (page.scanResult() != true) return wizard.refused();
      CXHtmlTree& tree = page.tree();
      const TreeItem top = tree.rootItem();
      tree.SetCheck(top, false);
      tree.SetCheck(top, true);
      if (!makeOutputFolder(*outDir, err)) return 1;
      page.onSave([&outDir]() -> std::optional<std::string> { return *outDir; });
      page.waitForWorker();
      wizard.sink().finishBar();
      for (const RawRecoveryDialog::Result& result : page.results()) {
        // A file a deleted entry named keeps that name and folder; its offset name is reported beside it.
        const std::string shown = result.folder.empty() ? result.name : result.folder + "/" + result.name;
        if (options->json) {
          printJson(out, {{"category", result.category}, {"name", result.name}, {"folder", result.folder},
                          {"offset_name", result.offsetName}, {"named", result.named}, {"offset", result.offset},
                          {"size", result.size}, {"exact", result.exact}, {"partial", result.partial}});
        } else {
          out << result.category << "  " << printableText(shown) << "  " << result.offset << "  " << result.size
              << (result.partial ? "  partial" : "") << '\n';
        }
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
