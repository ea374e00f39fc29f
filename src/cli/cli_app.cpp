// The command table of `tessary`.
#include "cli_app.h"

#include <CLI/CLI.hpp>
#include <ostream>
#include <sstream>

#include "commands.h"

namespace tessary::cli {

int run(int argc, const char* const* argv, std::ostream& out, std::ostream& err) {
  CLI::App app{"Tessary: recovers files from virtual-disk images (the image is only read)", "tessary"};
  app.require_subcommand(1);
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
    err << error.str();
    return code == 0 ? 0 : 2;
  } catch (const std::exception& e) {
    err << e.what() << '\n';
    return 1;
  }
  return runner.status();
}

}  // namespace tessary::cli
