// `tessary search IMAGE --volume N PATTERN [--out DIR]`: the results page's search; each hit printed as
// `ls` prints an entry. With --out every hit is ticked and saved as the page's Save saves search hits.
#include <CLI/CLI.hpp>
#include <ostream>

#include "commands.h"
#include "headless_wizard.h"
#include "platform/files.h"
#include "platform/text.h"
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
      ResultsSteps steps(wizard, *options);
      if (!steps.walkFromImageToResults()) return wizard.refused();
      VolumeScanDlg& page = steps.page();
      steps.resultsView().setText(VolumeScanDlg::kSearchBox, *pattern);
      page.onSearch();
      page.waitForWorker();
      wizard.sink().finishBar();
      if (page.searchRefused()) {
        err << patternRefusal(*pattern) << '\n';
        if (pattern->find_first_of("*?") != std::string::npos)
          err << "hint: PATTERN is a regular expression, not a file-name pattern: write '\\.jpg$' for names "
                 "ending in .jpg, '.' for any one character, '.*' for any run of characters\n";
        return 1;
      }
      ResultsParser& parser = *page.parser();
      std::uint64_t bytes = 0, deleted = 0;
      const auto& hitList = page.searchHits();
      for (const SearchHit& hit : hitList) {
        std::string path;
        for (const std::string& folder : hit.folders) path += folder + "/";
        if (&hit == &hitList.front() && !options->json) printListingHeader(out);
        printEntry(out, parser, hit.data, path + hit.name, options->json);
        bytes += parser.sizeBytes(hit.data);
        if (parser.isDeleted(hit.data)) ++deleted;
      }
      if (page.searchTimedOut()) {
        err << page.searchEndMessage() << '\n';
        return 1;
      }
      const std::size_t hits = hitList.size();
      if (hits == 0) {
        err << "no file name matches " << printableText(*pattern) << '\n';
        return 0;
      }
      err << format("%zu files match (%llu bytes), %llu of them deleted\n", hits,
                    static_cast<unsigned long long>(bytes), static_cast<unsigned long long>(deleted));
      if (outDir->empty()) return 0;

      // Only the hits are saved: the tree's ticks are cleared, every row is ticked.
      page.tree().SetCheck(page.parser()->topItem(), false);
      for (std::size_t row = 0; row < page.list().rowCount(); ++row) page.list().setRowChecked(row, true);
      if (!makeOutputFolder(*outDir, err)) return 1;
      page.onSave(*outDir);
      page.waitForWorker();
      wizard.sink().finishBar();
      printSaveSummary(page.saveEngine(), *outDir, err);
      return reportSave(wizard, page.saveEngine(), err);
    });
  });
}

}  // namespace tessary::cli
