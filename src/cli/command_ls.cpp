// `tessary ls IMAGE --volume N`: the results tree, every entry below the top item, depth first.
#include <CLI/CLI.hpp>
#include <ostream>

#include "commands.h"
#include "headless_wizard.h"
#include "results_steps.h"

namespace tessary::cli {

void printEntry(std::ostream& out, ResultsParser& parser, std::int64_t data, const std::string& path, bool json) {
  const EntryTexts t = parser.texts(data);
  const bool folder = parser.isFolder(data);
  const bool deleted = parser.isDeleted(data);
  const std::uint64_t size = parser.sizeBytes(data);
  if (json) {
    printJson(out, {{"path", path},
                    {"folder", folder},
                    {"deleted", deleted},
                    {"size", size},
                    {"size_text", t.size},
                    {"created", t.creation},
                    {"accessed", t.access},
                    {"modified", t.modification},
                    {"attributes", t.attributes}});
  } else {
    out << (folder ? 'd' : '-') << (deleted ? 'x' : ' ') << ' ' << t.modification << "  " << t.size << "  "
        << t.attributes << "  " << printableText(path) << (folder ? "/" : "") << '\n';
  }
}

void addLsCommand(CLI::App& app, CommandRunner& runner) {
  auto options = std::make_shared<CommonOptions>();
  CLI::App* command = app.add_subcommand("ls", "The results tree of a volume, with the detail list's texts");
  addImageOptions(*command, *options);
  addScanOptions(*command, *options);
  addVolumeOptions(*command, *options);
  addRecoveryOptions(*command, *options);
  command->callback([&runner, options] {
    runner.run([options](std::ostream& out, std::ostream& err) {
      HeadlessWizard wizard(*options, err);
      if (!wizard.walkToVolumeList()) return wizard.refused();
      if (wizard.selectVolume() != PopulateDriveDlg::NextPage::RecoveryMode) return wizard.refused();
      ResultsSteps steps(wizard, *options);
      if (!steps.walkToResults()) return wizard.refused();
      ResultsParser& parser = *steps.page().parser();
      steps.visitAll([&](std::int64_t data, const std::string& path) {
        printEntry(out, parser, data, path, options->json);
      });
      wizard.warnAboutMissingReads();
      return 0;
    });
  });
}

}  // namespace tessary::cli
