// RawSettingDlg, the signature editor ("Setting"): its fields with their help texts, the signature file it
// appends to, and the Save that turns the fields into one 177-byte record.
#pragma once

#include <array>
#include <optional>
#include <string>

#include "platform/files.h"
#include "platform/page_sink.h"
#include "platform/page_view.h"
#include "raw/signature_record.h"

namespace tessary {

class RawSettingDlg {
 public:
  static constexpr const char* kTitle = "Setting";
  // Control ids: the field labels as the dialog shows them.
  static constexpr const char* kExtension = "File Extention :";
  static constexpr const char* kStartSignature = "Starting Signature :";
  static constexpr const char* kStartOffset = "Starting Signature Offset:";
  static constexpr const char* kEndSignature = "Ending Signature :";
  static constexpr const char* kOffsetToSize = "Offset to Size Byte :";
  static constexpr const char* kBytesInSize = "Number Of Bytes In Size :";
  static constexpr const char* kSizeIncludesHeader = "Size includes header size";
  static constexpr const char* kHeaderSize = "Header size :";
  static constexpr const char* kSkipSize = "Size_to_skip_WhileParsing :";
  static constexpr const char* kApproximateSize = "Approx file size :";
  static constexpr const char* kCategory = "Put Under Category :";
  static constexpr const char* kPathGroup = "Select Path to Save Entries";
  static constexpr const char* kPath = "path";
  static constexpr const char* kChoose = "...";
  static constexpr const char* kSave = "Save";
  static constexpr const char* kOk = "OK";
  static constexpr const char* kCancel = "Cancel";
  static constexpr const char* kFileFilter = ".Text Files (*.txt)|*txt||";

  struct Field {
    const char* label;
    bool number;    // read as a decimal number
    bool checkBox;  // the one check box
    const char* help;
  };
  // The fields in screen order, each with the text its help button shows.
  static const std::array<Field, 11> kFields;

  RawSettingDlg(PageView& view, PageSink& sink);
  RawSettingDlg(const RawSettingDlg&) = delete;
  RawSettingDlg& operator=(const RawSettingDlg&) = delete;

  void onOpen();
  // The help button beside a field (by its label).
  void onHelp(const std::string& field);
  // "...": the save-as dialog's choice (none when cancelled). The chosen file is created, or emptied when
  // it exists, and stays open for the Saves that follow.
  void onChooseFile(const std::optional<std::string>& chosen);
  // Opens a signature file to append to, creating it when missing (the command line's `signatures add`).
  bool appendToFile(const std::string& path);
  // "Save": appends one record built from the fields. True when a record was written.
  bool onSave();
  // OK and Cancel close the dialog; the records already saved stay in the file.
  void onClose();

  bool fileOpen() const { return m_file.isOpen(); }
  // The record the last successful Save wrote.
  const std::optional<SignatureRecord>& lastRecord() const { return m_last; }
  // The file the Saves of this dialog wrote records into; none while no Save succeeded.
  std::optional<std::string> savedFile() const { return m_saves > 0 ? std::optional<std::string>(m_path) : std::nullopt; }

 private:
  std::optional<SignatureRecord> buildRecord();

  PageView& m_view;
  PageSink& m_sink;
  OutputFile m_file;
  std::uint64_t m_fileLength = 0;
  std::optional<SignatureRecord> m_last;
  std::string m_path;   // the open file's path
  int m_saves = 0;      // records saved into it
};

}  // namespace tessary
