// The command table of `tessary`.
#include "cli_app.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "commands.h"

#ifndef TESSARY_VERSION
#define TESSARY_VERSION "unknown"
#endif

namespace tessary::cli {

namespace {

// Edits (insertions, deletions, substitutions, swaps of neighbours) between two words.
std::size_t editDistance(const std::string& a, const std::string& b) {
  std::vector<std::vector<std::size_t>> d(a.size() + 1, std::vector<std::size_t>(b.size() + 1, 0));
  for (std::size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
  for (std::size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i)
    for (std::size_t j = 1; j <= b.size(); ++j) {
      d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + (a[i - 1] == b[j - 1] ? 0 : 1)});
      if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
    }
  return d[a.size()][b.size()];
}

// The known word closest to a mistyped one, when it is close enough to be what was meant.
std::string closest(const std::string& typed, const std::vector<std::string>& known) {
  std::string best;
  std::size_t bestDistance = 0;
  for (const std::string& word : known) {
    const std::size_t distance = editDistance(typed, word);
    if (best.empty() || distance < bestDistance) {
      best = word;
      bestDistance = distance;
    }
  }
  const std::size_t allowed = std::max<std::size_t>(1, std::min<std::size_t>(3, typed.size() / 3));
  return !best.empty() && bestDistance <= allowed ? best : std::string();
}

std::vector<std::string> commandNames(CLI::App& app) {
  std::vector<std::string> names;
  for (const CLI::App* command : app.get_subcommands({})) names.push_back(command->get_name());
  return names;
}

std::vector<std::string> optionNames(CLI::App& command) {
  std::vector<std::string> names;
  for (const CLI::Option* option : command.get_options())
    for (const std::string& name : option->get_lnames()) names.push_back("--" + name);
  return names;
}

// "did you mean" lines for the words of a failed parse: a first word that names no command, and options
// the chosen command does not take.
std::string suggestions(CLI::App& app, int argc, const char* const* argv) {
  std::ostringstream text;
  if (argc < 2) return {};
  const std::string first = argv[1];
  const std::vector<std::string> commands = commandNames(app);
  if (first.empty() || first[0] == '-') return {};
  CLI::App* command = nullptr;
  for (CLI::App* sub : app.get_subcommands({}))
    if (sub->get_name() == first) command = sub;
  if (!command) {
    const std::string guess = closest(first, commands);
    text << "tessary has no command \"" << first << "\"";
    if (!guess.empty()) text << "; did you mean \"" << guess << "\"?";
    text << '\n';
    return text.str();
  }
  const std::vector<std::string> options = optionNames(*command);
  for (int i = 2; i < argc; ++i) {
    std::string word = argv[i];
    if (word.rfind("--", 0) != 0 || word == "--") continue;
    word = word.substr(0, word.find('='));
    if (std::find(options.begin(), options.end(), word) != options.end()) continue;
    const std::string guess = closest(word, options);
    if (!guess.empty()) text << first << " has no option " << word << "; did you mean " << guess << "?\n";
  }
  return text.str();
}

}  // namespace

int run(int argc, const char* const* argv, std::ostream& out, std::ostream& err) {
  CLI::App app{"Tessary: recovers files from virtual-disk images (VHDX, VHD, VDI, VMDK); the image is only read.\n"
               "Start with `tessary volumes IMAGE`, then `tessary ls IMAGE --volume N`.",
               "tessary"};
  app.require_subcommand(1);
  // "/out" is a path, never an option, on Windows too.
  app.allow_windows_style_options(false);
  app.set_version_flag("--version", std::string("tessary ") + TESSARY_VERSION);
  CommandRunner runner(out, err);
  addInfoCommand(app, runner);
  addVolumesCommand(app, runner);
  addLsCommand(app, runner);
  addRecoverCommand(app, runner);
  addCandidatesCommand(app, runner);
  addCarveCommand(app, runner);
  addSignaturesCommand(app, runner);
  addSearchCommand(app, runner);
  addExportCommand(app, runner);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    std::ostringstream help;
    std::ostringstream error;
    const int code = app.exit(e, help, error);
    out << help.str();
    if (code != 0) err << suggestions(app, argc, argv);
    err << error.str();
    return code == 0 ? 0 : 2;
  } catch (const std::exception& e) {
    err << e.what() << '\n';
    return 1;
  }
  return runner.status();
}

}  // namespace tessary::cli
