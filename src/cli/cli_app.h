// The command line: walks the wizard's pages without asking, as a user pressing the buttons would.
#pragma once

#include <iosfwd>

namespace tessary::cli {

// Runs the command line; returns the exit status (0 success, 1 the wizard refused or failed, 2 bad usage).
int run(int argc, const char* const* argv, std::ostream& out, std::ostream& err);

}  // namespace tessary::cli
