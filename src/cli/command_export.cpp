// `tessary export IMAGE --out DIR`: the scan-mode page's "Save Disk Image" with DIR as the chosen folder.
#include <CLI/CLI.hpp>
#include <ostream>

#include "commands.h"
#include "headless_wizard.h"
#include "results_steps.h"

namespace tessary::cli {

void addExportCommand(CLI::App& app, CommandRunner& runner) {
  auto options = std::make_shared<CommonOptions>();
  auto folder = std::make_shared<std::string>();
  CLI::App* command = app.add_subcommand("export", "The scan-mode page's \"Save Disk Image\": the whole virtual disk as a flat image file");
  addImageOptions(*command, *options);
  command->add_option("--out", *folder, "The folder the image file is saved in (created when missing)")->required();
  command->callback([&runner, options, folder] {
    runner.run([options, folder](std::ostream& out, std::ostream& err) {
      HeadlessWizard wizard(*options, err);
      if (!wizard.imagePage()) return wizard.refused();
      if (!makeOutputFolder(*folder, err)) return 1;
      PageView view;
      DriveParsingModes page(wizard.state(), wizard.imageView(), view, wizard.sink());
      page.onOpen();
      page.onSaveDiskImage(true);
      if (!page.onSaveImage([folder] { return std::optional<std::string>(*folder); })) return wizard.refused();
      page.waitForExport();
      wizard.sink().finishBar();
      const ExportOutcome outcome = page.exportOutcome();
      if (outcome.result != ExportOutcome::Result::Saved) {
        err << (outcome.message.empty() ? wizard.sink().lastMessage() : outcome.message) << '\n';
        if (outcome.result != ExportOutcome::Result::NotStarted)
          err << "the image file " << page.exportTarget() << " holds the first " << outcome.bytesWritten << " bytes\n";
        return 1;
      }
      if (!outcome.message.empty()) err << "warning: " << outcome.message << '\n';
      if (options->json) {
        printJson(out, {{"path", page.exportTarget()}, {"written", outcome.bytesWritten}});
      } else {
        out << page.exportTarget() << '\n';
      }
      return 0;
    });
  });
}

}  // namespace tessary::cli
