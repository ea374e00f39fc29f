// What every parser shares behind the results page: the host file of one entry, the whole-file writer
// and the file count below a folder.
#include "fs/results_parser.h"

#include <unordered_set>

#include "platform/files.h"
#include "platform/output_folder.h"
#include "platform/text.h"

namespace tessary {

namespace {

std::string withoutTrailingSlashes(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

// The longest name of one path component on the host.
constexpr std::size_t kHostNameMax = 255;

}  // namespace

std::string childPath(const std::string& folder, const std::string& name) {
  const std::string base = withoutTrailingSlashes(folder);
#ifdef _WIN32
  const std::string component = windowsSafeName(safeComponent(trimmed(name)));
#else
  const std::string component = safeComponent(trimmed(name));
#endif
  if (base.empty()) return component;
  return base == "/" ? "/" + component : base + "/" + component;
}

std::optional<std::string> createOutputFile(OutputFile& out, const std::string& folder, const std::string& name) {
  // A name longer than a host folder holds is shortened here too, as the save engine's files are.
  const std::string path = childPath(folder, shortenedName(safeComponent(trimmed(name)), kHostNameMax));
  if (!out.create(path)) return std::nullopt;
  return path;
}

std::string ResultsParser::writeWholeFile(std::int64_t data, const std::string& folder, const std::string& fileName) {
  OutputFile out;
  const std::optional<std::string> path = createOutputFile(out, folder, fileName);
  if (!path) return {};
  // Only a file written whole is reported as dumped.
  const bool whole = writeContent(data, out);
  const bool closed = out.close();
  return whole && closed && out.written() >= sizeBytes(data) ? *path : std::string();
}

std::int64_t countFilesBelow(const ResultsParser& parser, std::int64_t folder) {
  std::int64_t count = 0;
  std::unordered_set<std::int64_t> seen{folder};
  std::vector<std::int64_t> stack{folder};
  while (!stack.empty()) {
    const std::int64_t at = stack.back();
    stack.pop_back();
    for (std::int64_t child : parser.children(at)) {
      if (!parser.isFolder(child)) {
        ++count;
      } else if (seen.insert(child).second) {
        stack.push_back(child);
      }
    }
  }
  return count;
}

}  // namespace tessary
