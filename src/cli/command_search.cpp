// `tessary search IMAGE --volume N PATTERN [--out DIR]`: the results page's search; each hit printed as
// `ls` prints an entry. With --out every hit is ticked and saved as the page's Save saves search hits.
#include <CLI/CLI.hpp>
#include <ostream>

#include "commands.h"
#include "headless_wizard.h"
#include "platform/files.h"
#include "results_steps.h"

namespace tessary::cli {

void addSearchCommand(CLI::App& app, CommandRunner& runner) {
  auto options = std::make_shared<CommonOptions>();
  auto pattern = std::make_shared<std::string>();
  auto outDir = std::make_shared<std::string>();
  CLI::App* command = app.add_subcommand(
      "search", "The results page's search: entries whose names match PATTERN (\"|\" separates alternatives)");
  addImageOptions(*command, *options);
  addScanOptions(*command, *options);
  addVolumeOptions(*command, *options);
  addRecoveryOptions(*command, *options);
  command->add_option("PATTERN", *pattern, "A case-insensitive regular expression searched in each name")->required();
  command->add_option("--out", *outDir, "Saves every hit below this folder, its folders recreated");
  command->callback([&runner, options, pattern, outDir] {
    runner.run([options, pattern, outDir](std::ostream& out, std::ostream& err) {
      HeadlessWizard wizard(*options, err);
      if (!wizard.walkToVolumeList()) return wizard.refused();
      if (wizard.selectVolume() != PopulateDriveDlg::NextPage::RecoveryMode) return wizard.refused();
      ResultsSteps steps(wizard, *options);
      if (!steps.walkToResults()) return wizard.refused();
      VolumeScanDlg& page = steps.page();
      steps.resultsView().setText(VolumeScanDlg::kSearchBox, *pattern);
      page.onSearch();
      page.waitForWorker();
      wizard.sink().finishBar();
      if (page.searchRefused()) {
        err << kPatternRefusedMessage << '\n';
        return 1;
      }
      ResultsParser& parser = *page.parser();
      for (const SearchHit& hit : page.searchHits()) {
        std::string path;
        for (const std::string& folder : hit.folders) path += folder + "/";
        printEntry(out, parser, hit.data, path + hit.name, options->json);
      }
      if (page.searchTimedOut()) {
        err << page.searchEndMessage() << '\n';
        return 1;
      }
      if (outDir->empty() || page.searchHits().empty()) return 0;

      // Only the hits are saved: the tree's ticks are cleared, every row is ticked.
      page.tree().SetCheck(page.parser()->topItem(), false);
      for (std::size_t row = 0; row < page.list().rowCount(); ++row) page.list().setRowChecked(row, true);
      if (!makeOutputFolder(*outDir, err)) return 1;
      page.onSave(*outDir);
      page.waitForWorker();
      wizard.sink().finishBar();
      return reportSave(wizard, page.saveEngine(), err);
    });
  });
}

}  // namespace tessary::cli
