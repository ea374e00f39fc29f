// tessary_signature_writer LIST OUT: writes the signature file OUT from the readable list LIST, typing each
// line into the signature editor's fields and pressing its Save, so that the default file is made by the
// same code as every file a user writes.
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "platform/page_sink.h"
#include "platform/page_view.h"
#include "platform/text.h"
#include "raw/raw_setting_dlg.h"

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
  int lineNumber = 0;
  for (std::string line; std::getline(list, line);) {
    ++lineNumber;
    const std::string bare = tessary::trimmed(line);
    if (bare.empty() || bare[0] == '#') continue;
    const std::vector<std::string> values = fields(bare);
    if (values.size() != std::size(kOrder)) {
      std::cerr << argv[1] << ":" << lineNumber << ": " << values.size() << " fields, " << std::size(kOrder) << " wanted\n";
      return 1;
    }
    for (std::size_t i = 0; i < values.size(); ++i) {
      if (kOrder[i] == RawSettingDlg::kSizeIncludesHeader) view.setChecked(kOrder[i], values[i] == "1");
      else view.setText(kOrder[i], values[i]);
    }
    if (!editor.onSave()) {
      std::cerr << argv[1] << ":" << lineNumber << ": " << sink.last << '\n';
      return 1;
    }
  }
  editor.onClose();
  return 0;
}
