// `tessary recover IMAGE --volume N --out DIR [PATH ...]`: ticks the top item (or the named paths) and
// saves as the results page's Save does.
#include <CLI/CLI.hpp>
#include <ostream>

#include "commands.h"
#include "headless_wizard.h"
#include "platform/files.h"
#include "platform/text.h"
#include "results_steps.h"

namespace tessary::cli {

void addRecoverCommand(CLI::App& app, CommandRunner& runner) {
  auto options = std::make_shared<CommonOptions>();
  auto outDir = std::make_shared<std::string>();
  auto paths = std::make_shared<std::vector<std::string>>();
  CLI::App* command = app.add_subcommand("recover", "Ticks the volume's top item (or the named paths) and saves");
  addImageOptions(*command, *options);
  addScanOptions(*command, *options);
  addVolumeOptions(*command, *options);
  addRecoveryOptions(*command, *options);
  command->add_option("--out", *outDir, "The output folder (created when missing)")->required();
  command->add_option("PATH", *paths, "Paths below the top item, '/'-separated, to save instead of everything");
  command->callback([&runner, options, outDir, paths] {
    runner.run([options, outDir, paths](std::ostream& out, std::ostream& err) {
      HeadlessWizard wizard(*options, err);
      ResultsSteps steps(wizard, *options);
      if (!steps.walkFromImageToResults()) return wizard.refused();
      VolumeScanDlg& page = steps.page();
      CXHtmlTree& tree = page.tree();
      const TreeItem top = page.parser()->topItem();
      if (paths->empty()) {
        if (!tree.GetCheck(top)) tree.SetCheck(top, true);
      } else {
        tree.SetCheck(top, false);
        for (const std::string& path : *paths) {
          const TreeItem item = steps.findPath(path);
          if (item == kNoItem) {
            err << "no such entry: " << printableText(path) << '\n';
            err << "hint: `tessary ls` lists the paths, '/'-separated below the volume's top folder\n";
            return 1;
          }
          tree.SetCheck(item, true);
        }
      }
      // The output folder is made only once there is something to save into it.
      if (!makeOutputFolder(*outDir, err)) return 1;
      page.onSave(*outDir);
      page.waitForWorker();
      wizard.sink().finishBar();
      const std::string base = *outDir + (outDir->empty() || outDir->back() == '/' ? "" : "/");
      for (const auto& file : page.saveEngine().written()) {
        const std::string relative = file.path.rfind(base, 0) == 0 ? file.path.substr(base.size()) : file.path;
        if (options->json) {
          printJson(out, {{"path", relative}, {"written", file.bytes}, {"complete", file.complete}});
        } else {
          out << printableText(relative) << "  " << file.bytes << (file.complete ? "" : "  incomplete") << '\n';
        }
      }
      if (page.saveEngine().written().empty() && page.saveEngine().failureCount() == 0)
        err << "nothing to save: the volume holds no files\n";
      else
        printSaveSummary(page.saveEngine(), *outDir, err);
      return reportSave(wizard, page.saveEngine(), err);
    });
  });
}

}  // namespace tessary::cli
