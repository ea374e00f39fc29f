// `tessary candidates IMAGE --volume N`: the advanced-input page's lists for the volume.
#include <CLI/CLI.hpp>
#include <ostream>

#include "commands.h"
#include "headless_wizard.h"
#include "results_steps.h"

namespace tessary::cli {

void addCandidatesCommand(CLI::App& app, CommandRunner& runner) {
  auto options = std::make_shared<CommonOptions>();
  CLI::App* command = app.add_subcommand("candidates", "The Advanced mode's candidate lists of a volume");
  addImageOptions(*command, *options);
  addScanOptions(*command, *options);
  addVolumeOptions(*command, *options);
  command->add_option("--max-candidates", options->maxCandidates,
                      "How many file systems to look for [\"Please Enter Max File Systems to Find :\"]");
  command->add_flag("--formatted", options->formatted, "The volume was formatted [\"Is Drive Formated..?\"]");
  command->callback([&runner, options] {
    runner.run([options](std::ostream& out, std::ostream& err) {
      // The lists are the advanced-input page's, which only the Advanced mode opens.
      options->mode = "advanced";
      HeadlessWizard wizard(*options, err);
      ResultsSteps steps(wizard, *options);
      if (!steps.walkToRecoveryMode() || !steps.recoveryModePage() || !steps.openAdvancedInput())
        return wizard.refused();
      const CandidateLists& lists = steps.advancedInput()->lists();
      const std::pair<const char*, const std::vector<CandidateItem>*> all[] = {
          {"TFS", &lists.candidates}, {"Sector Per Cluster", &lists.clusterSizes}, {"Heap Offset", &lists.heapOffsets}};
      for (const auto& [list, items] : all) {
        const bool withOffset = items != &lists.clusterSizes;
        for (const CandidateItem& item : *items) {
          if (options->json) {
            nlohmann::ordered_json object = {{"list", list}, {"text", item.text}};
            if (withOffset) object["offset"] = item.offset;
            printJson(out, object);
          } else {
            out << list << "\t" << item.text;
            if (withOffset) out << "\t" << item.offset;
            out << '\n';
          }
        }
      }
      wizard.warnAboutMissingReads();
      return 0;
    });
  });
}

}  // namespace tessary::cli
