// `tessary signatures add FILE --ext jpg --start 0xFF,0xD8,0xFF [...]`: the signature editor's Save, with
// each option typed into the editor's field of that name.
#include <CLI/CLI.hpp>
#include <ostream>

#include "commands.h"
#include "platform/files.h"
#include "platform/text.h"
#include "raw/raw_setting_dlg.h"
#include "raw/signature_record.h"
#include "terminal_sink.h"

namespace tessary::cli {

namespace {

struct SignatureOptions {
  std::string file;
  std::string ext;
  std::string start;
  std::string end;
  std::string startOffset;
  std::string sizeOffset;
  std::string sizeBytes;
  std::string headerSize;
  bool sizeIncludesHeader = false;
  std::string skip;
  std::string approxSize;
  std::string category;
  bool verbose = false;
};

}  // namespace

void addSignaturesCommand(CLI::App& app, CommandRunner& runner) {
  auto o = std::make_shared<SignatureOptions>();
  CLI::App* group = app.add_subcommand("signatures", "Signature files of the raw page");
  group->require_subcommand(1);
  CLI::App* add = group->add_subcommand("add", "Appends one record to a signature file (the signature editor's Save)");
  add->add_option("FILE", o->file, "The signature file (created when missing)")->required();
  add->add_option("--ext", o->ext, "Extension given to the carved files, without the dot [\"File Extention :\"]")->required();
  add->add_option("--start", o->start, "Bytes a file starts with: 0x.. values separated by commas, 0x2A for any byte [\"Starting Signature :\"]")->required();
  add->add_option("--end", o->end, "Bytes a file ends with, as --start [\"Ending Signature :\"]");
  add->add_option("--start-offset", o->startOffset, "Where the start bytes lie in the file's first sector [\"Starting Signature Offset:\"]");
  add->add_option("--size-offset", o->sizeOffset, "Where the file's header stores its size [\"Offset to Size Byte :\"]");
  add->add_option("--size-bytes", o->sizeBytes, "How many bytes that size field holds [\"Number Of Bytes In Size :\"]");
  add->add_option("--header-size", o->headerSize, "Bytes of header before the sized part [\"Header size :\"]");
  add->add_flag("--size-includes-header", o->sizeIncludesHeader, "The stored size counts the header too [\"Size includes header size\"]");
  add->add_option("--skip", o->skip, "Bytes to step over after a find [\"Size_to_skip_WhileParsing :\"]");
  add->add_option("--approx-size", o->approxSize, "Most bytes a file without an end signature is carved to [\"Approx file size :\"]");
  add->add_option("--category", o->category, "Folder the results are saved under [\"Put Under Category :\"]");
  add->add_flag("--verbose", o->verbose, "Messages on stderr");
  add->callback([&runner, o] {
    runner.run([o](std::ostream& out, std::ostream& err) {
      TerminalSink sink(true, o->verbose);
      PageView view;
      RawSettingDlg editor(view, sink);
      editor.onOpen();
      if (!editor.appendToFile(o->file)) {
        err << sink.lastMessage() << ": " << o->file << '\n';
        return 1;
      }
      view.setText(RawSettingDlg::kExtension, o->ext);
      view.setText(RawSettingDlg::kStartSignature, o->start);
      view.setText(RawSettingDlg::kStartOffset, o->startOffset);
      view.setText(RawSettingDlg::kEndSignature, o->end);
      view.setText(RawSettingDlg::kOffsetToSize, o->sizeOffset);
      view.setText(RawSettingDlg::kBytesInSize, o->sizeBytes);
      view.setChecked(RawSettingDlg::kSizeIncludesHeader, o->sizeIncludesHeader);
      view.setText(RawSettingDlg::kHeaderSize, o->headerSize);
      view.setText(RawSettingDlg::kSkipSize, o->skip);
      view.setText(RawSettingDlg::kApproximateSize, o->approxSize);
      view.setText(RawSettingDlg::kCategory, o->category);
      if (!editor.onSave()) {
        err << sink.lastMessage() << '\n';
        return 1;
      }
      out << o->file << ": record " << static_cast<int>(editor.lastRecord()->recordIndex) << '\n';
      return 0;
    });
  });

  auto checked = std::make_shared<std::string>();
  CLI::App* check = group->add_subcommand("check", "Lists the records of a signature file that the carver can never use");
  check->add_option("FILE", *checked, "The signature file")->required();
  check->callback([&runner, checked] {
    runner.run([checked](std::ostream& out, std::ostream& err) {
      ImageFile file;
      if (!file.open(*checked)) {
        err << "Cannot open the selected file: " << *checked << '\n';
        return 1;
      }
      const std::uint64_t count = file.size() / kSignatureRecordSize;
      std::uint64_t refused = 0;
      SignatureRecordBytes bytes{};
      for (std::uint64_t k = 0; k < count; ++k) {
        if (!file.readExact(k * kSignatureRecordSize, bytes)) {
          err << *checked << ": record " << k << " could not be read\n";
          return 1;
        }
        const SignatureRecord record = *decodeSignatureRecord(bytes);
        if (const std::optional<std::string> refusal = signatureRecordRefusal(record)) {
          out << *checked << ": record " << k << " (" << utf8FromUtf16(recordExtension(record)) << "): " << *refusal
              << '\n';
          ++refused;
        }
      }
      if (const std::uint64_t rest = file.size() % kSignatureRecordSize; rest != 0) {
        out << *checked << ": " << rest << " bytes after the last whole record are not a record\n";
        ++refused;
      }
      if (refused > 0) return 1;
      out << *checked << ": " << count << " records, each one usable\n";
      return 0;
    });
  });
}

}  // namespace tessary::cli
