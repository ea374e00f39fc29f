// The command table: each command registers itself on the application and runs through the runner.
#pragma once

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <string>

namespace CLI {
class App;
}

namespace tessary {
class ResultsParser;
}

namespace tessary::cli {

// Runs the chosen command's body once parsing has finished, and keeps its exit status.
class CommandRunner {
 public:
  CommandRunner(std::ostream& out, std::ostream& err) : m_out(out), m_err(err) {}
  void run(const std::function<int(std::ostream&, std::ostream&)>& body) { m_status = body(m_out, m_err); }
  int status() const { return m_status; }

 private:
  std::ostream& m_out;
  std::ostream& m_err;
  int m_status = 0;
};

void addInfoCommand(CLI::App& app, CommandRunner& runner);
void addVolumesCommand(CLI::App& app, CommandRunner& runner);
void addLsCommand(CLI::App& app, CommandRunner& runner);
void addRecoverCommand(CLI::App& app, CommandRunner& runner);
void addCandidatesCommand(CLI::App& app, CommandRunner& runner);
void addCarveCommand(CLI::App& app, CommandRunner& runner);
void addSignaturesCommand(CLI::App& app, CommandRunner& runner);
void addSearchCommand(CLI::App& app, CommandRunner& runner);

// One entry as `ls` prints it: its JSON object, or a line with its kind, deleted mark, texts and path.
void printEntry(std::ostream& out, ResultsParser& parser, std::int64_t data, const std::string& path, bool json);
// The plain listing's header row.
void printListingHeader(std::ostream& out);
void addExportCommand(CLI::App& app, CommandRunner& runner);

}  // namespace tessary::cli
