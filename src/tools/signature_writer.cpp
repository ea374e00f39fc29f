// tessary_signature_writer LIST OUT: writes the signature file OUT from the readable list LIST, typing each
// line into the signature editor's fields and pressing its Save, so that the default file is made by the
// same code as every file a user writes. The last field names the type's structure rule, which the editor
// has no field for: it is written into each record's first reserved field once the editor has closed.
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "platform/page_sink.h"
#include "platform/page_view.h"
#include "platform/text.h"
#include "raw/raw_setting_dlg.h"
#include "raw/signature_record.h"
#include "raw/structure_ends.h"

namespace {

class ErrorSink : public tessary::PageSink {
 public:
  void setStatus(const std::string&) override {}
  void postMessage(std::uint32_t, std::int64_t, std::int64_t) override {}
  void showMessage(const std::string& text) override { last = text; }
  bool askYesNo(const std::string&) override { return true; }
  std::string last;
};

std::vector<std::string> fields(const std::string& line) {
  std::vector<std::string> out;
  std::size_t start = 0;
  while (true) {
    const std::size_t bar = line.find('|', start);
    out.push_back(tessary::trimmed(line.substr(start, bar == std::string::npos ? std::string::npos : bar - start)));
    if (bar == std::string::npos) break;
    start = bar + 1;
  }
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  using tessary::RawSettingDlg;
  if (argc != 3) {
    std::cerr << "usage: tessary_signature_writer LIST OUT\n";
    return 2;
  }
  std::ifstream list(argv[1]);
  if (!list) {
    std::cerr << "cannot read " << argv[1] << '\n';
    return 1;
  }
  tessary::PageView view;
  ErrorSink sink;
  RawSettingDlg editor(view, sink);
  editor.onOpen();
  editor.onChooseFile(std::string(argv[2]));
  if (!editor.fileOpen()) {
    std::cerr << sink.last << ": " << argv[2] << '\n';
    return 1;
  }
  static const char* const kOrder[] = {RawSettingDlg::kExtension,    RawSettingDlg::kStartSignature,
                                       RawSettingDlg::kStartOffset,  RawSettingDlg::kEndSignature,
                                       RawSettingDlg::kOffsetToSize, RawSettingDlg::kBytesInSize,
                                       RawSettingDlg::kSizeIncludesHeader, RawSettingDlg::kHeaderSize,
                                       RawSettingDlg::kSkipSize,     RawSettingDlg::kApproximateSize,
                                       RawSettingDlg::kCategory};
  std::vector<tessary::StructureRule> rules;
  int lineNumber = 0;
  for (std::string line; std::getline(list, line);) {
    ++lineNumber;
    const std::string bare = tessary::trimmed(line);
    if (bare.empty() || bare[0] == '#') continue;
    const std::vector<std::string> values = fields(bare);
    if (values.size() != std::size(kOrder) + 1) {
      std::cerr << argv[1] << ":" << lineNumber << ": " << values.size() << " fields, " << std::size(kOrder) + 1 << " wanted\n";
      return 1;
    }
    const std::optional<tessary::StructureRule> rule = tessary::structureRuleNamed(values.back());
    if (!rule) {
      std::cerr << argv[1] << ":" << lineNumber << ": no structure rule is called \"" << values.back() << "\"\n";
      return 1;
    }
    rules.push_back(*rule);
    for (std::size_t i = 0; i < std::size(kOrder); ++i) {
      if (kOrder[i] == RawSettingDlg::kSizeIncludesHeader) view.setChecked(kOrder[i], values[i] == "1");
      else view.setText(kOrder[i], values[i]);
    }
    if (!editor.onSave()) {
      std::cerr << argv[1] << ":" << lineNumber << ": " << sink.last << '\n';
      return 1;
    }
  }
  editor.onClose();
  std::fstream out(argv[2], std::ios::in | std::ios::out | std::ios::binary);
  for (std::size_t k = 0; k < rules.size() && out; ++k) {
    const auto number = static_cast<std::uint32_t>(rules[k]);
    const char bytes[4] = {static_cast<char>(number & 0xFF), static_cast<char>(number >> 8 & 0xFF),
                           static_cast<char>(number >> 16 & 0xFF), static_cast<char>(number >> 24 & 0xFF)};
    out.seekp(static_cast<std::streamoff>(k * tessary::kSignatureRecordSize + tessary::sigrec::kReserved));
    out.write(bytes, sizeof bytes);
  }
  if (!out) {
    std::cerr << "cannot write the structure rules into " << argv[2] << '\n';
    return 1;
  }
  return 0;
}
