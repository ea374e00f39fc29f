// `tessary ls IMAGE --volume N`: the results tree, every entry below the top item, depth first.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <ostream>

#include "commands.h"
#include "headless_wizard.h"
#include "platform/text.h"
#include "results_steps.h"

namespace tessary::cli {

namespace {

// The plain listing's columns: kind and deleted mark, modification time, size, attributes, path.
constexpr int kTimeWidth = 20;
constexpr int kSizeWidth = 10;
constexpr int kAttributesWidth = 10;

std::string padded(const std::string& text, int width) {
  return text.size() >= static_cast<std::size_t>(width) ? text + "  "
                                                        : text + std::string(static_cast<std::size_t>(width) - text.size() + 2, ' ');
}

nlohmann::ordered_json isoOrNull(const std::optional<FileTime>& time) {
  if (const std::optional<std::string> text = time ? isoUtcText(*time) : std::nullopt) return *text;
  return nullptr;
}

// Seconds since 1970 as a bodyfile gives them; 0 (unknown) for a time the entry lacks or before 1970.
long long bodySeconds(const std::optional<FileTime>& time) {
  if (!time) return 0;
  return std::max<long long>(0, unixSecondsFromFileTime(*time));
}

// The mode as a bodyfile writes it: name type, '/', then type and permission letters ("r/rrw-r--r--").
// The type comes from the mode's type bits where the file system keeps them.
std::string bodyMode(bool folder, const std::optional<std::uint32_t>& mode) {
  char type = folder ? 'd' : 'r';
  if (mode) {
    switch (*mode & 0xF000) {
      case 0x4000: type = 'd'; break;
      case 0xA000: type = 'l'; break;
      case 0x2000: type = 'c'; break;
      case 0x6000: type = 'b'; break;
      case 0x1000: type = 'p'; break;
      case 0xC000: type = 's'; break;
      default: break;
    }
  }
  std::string text{type, '/', type};
  const std::uint32_t bits = mode ? *mode : 0777;
  static constexpr char kLetters[] = "rwxrwxrwx";
  for (int bit = 0; bit < 9; ++bit) text += (bits & (0400u >> bit)) ? kLetters[bit] : '-';
  return text;
}

}  // namespace

void printListingHeader(std::ostream& out) {
  out << "   " << padded("MODIFIED", kTimeWidth) << padded("SIZE", kSizeWidth) << padded("ATTRIBUTES", kAttributesWidth)
      << "PATH\n";
}

void printEntry(std::ostream& out, ResultsParser& parser, std::int64_t data, const std::string& path, bool json) {
  const EntryTexts t = json ? parser.texts(data) : parser.listingTexts(data);
  const bool folder = parser.isFolder(data);
  const bool deleted = parser.isDeleted(data);
  const std::uint64_t size = parser.sizeBytes(data);
  if (json) {
    const EntryStamps s = parser.stamps(data);
    printJson(out, {{"path", path},
                    {"folder", folder},
                    {"deleted", deleted},
                    {"size", size},
                    {"size_text", t.size},
                    {"created", t.creation},
                    {"accessed", t.access},
                    {"modified", t.modification},
                    {"attributes", t.attributes},
                    {"created_utc", isoOrNull(s.creation)},
                    {"accessed_utc", isoOrNull(s.access)},
                    {"modified_utc", isoOrNull(s.modification)}});
  } else {
    out << (folder ? 'd' : '-') << (deleted ? 'x' : ' ') << ' ' << padded(t.modification, kTimeWidth)
        << padded(t.size, kSizeWidth) << padded(t.attributes, kAttributesWidth) << printableText(path)
        << (folder ? "/" : "") << '\n';
  }
}

void printBodyLine(std::ostream& out, ResultsParser& parser, std::int64_t data, const std::string& path) {
  const EntryStamps s = parser.stamps(data);
  const bool folder = parser.isFolder(data);
  // '|' separates the fields: a name that holds one shows it escaped, as control characters are.
  std::string name;
  for (const char c : printableText("/" + path)) {
    if (c == '|') name += "\\x7c";
    else name += c;
  }
  if (parser.isDeleted(data)) name += " (deleted)";
  out << "0|" << name << '|' << s.number << '|' << bodyMode(folder, s.mode) << '|' << s.uid << '|' << s.gid << '|'
      << parser.sizeBytes(data) << '|' << bodySeconds(s.access) << '|' << bodySeconds(s.modification) << '|'
      << bodySeconds(s.change) << '|' << (s.creationIsChange ? 0 : bodySeconds(s.creation)) << '\n';
}

void addLsCommand(CLI::App& app, CommandRunner& runner) {
  auto options = std::make_shared<CommonOptions>();
  auto bodyfile = std::make_shared<bool>(false);
  CLI::App* command = app.add_subcommand("ls", "Lists every file and folder of a volume, deleted ones marked");
  addImageOptions(*command, *options);
  addScanOptions(*command, *options);
  addVolumeOptions(*command, *options);
  addRecoveryOptions(*command, *options);
  command->add_flag("--bodyfile", *bodyfile,
                    "Print the listing as a timeline bodyfile (MD5|name|inode|mode|UID|GID|size|atime|mtime|ctime|crtime)")
      ->excludes("--json");
  command->callback([&runner, options, bodyfile] {
    runner.run([options, bodyfile](std::ostream& out, std::ostream& err) {
      HeadlessWizard wizard(*options, err);
      ResultsSteps steps(wizard, *options);
      if (!steps.walkFromImageToResults()) return wizard.refused();
      ResultsParser& parser = *steps.page().parser();
      std::uint64_t files = 0, folders = 0, deleted = 0, bytes = 0;
      steps.visitAll([&](std::int64_t data, const std::string& path) {
        if (files + folders == 0 && !options->json && !*bodyfile) printListingHeader(out);
        if (parser.isFolder(data)) {
          ++folders;
        } else {
          ++files;
          bytes += parser.sizeBytes(data);
        }
        if (parser.isDeleted(data)) ++deleted;
        if (*bodyfile) printBodyLine(out, parser, data, path);
        else printEntry(out, parser, data, path, options->json);
      });
      if (files + folders == 0) {
        err << "the volume holds no files or folders\n";
      } else {
        err << format("%llu files (%llu bytes) in %llu folders, %llu deleted entries\n",
                      static_cast<unsigned long long>(files), static_cast<unsigned long long>(bytes),
                      static_cast<unsigned long long>(folders), static_cast<unsigned long long>(deleted));
      }
      wizard.warnAboutMissingReads();
      return 0;
    });
  });
}

}  // namespace tessary::cli
