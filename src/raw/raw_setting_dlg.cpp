// The signature editor's logic: help texts, the signature file it appends to, and the record it builds.
#include "raw/raw_setting_dlg.h"

#include <algorithm>
#include <limits>

#include "platform/text.h"

namespace tessary {

const std::array<RawSettingDlg::Field, 11> RawSettingDlg::kFields = {{
    {kExtension, false, false,
     "Enter file extention .\n Example 'jpg','mp3','avi',..etc.\n Do not put a dot(.) before extention(i.e .mp3)"},
    {kStartSignature, false, false,
     "here enter the file signature that happens to be in the starting of the file.\n example 0x89,0x50,0x4E,0x47  for png File"},
    {kStartOffset, true, false,
     "Here enter offset of starting signature in File.Value should be less than 512.By default its zero."},
    {kEndSignature, false, false,
     "here enter the file signature that happens to be in the end of the file.\n Example "
     "0x49,0x45,0x4E,0x44,0xAE,0x42,0x60,0x82 for png File.\n its optional Field .you can leave it if you dont know ."},
    {kOffsetToSize, true, false,
     "if  the size of file is given in the header and you know its offset please enter that offset here.\n its "
     "optional Field .you can leave it if you don't know."},
    {kBytesInSize, true, false,
     "if  you know how many bytes represents size please enter that number of bytes  here.\n its optional Field "
     ".you can leave it ifyou  don't know."},
    {kSizeIncludesHeader, false, true,
     "check this checkbox if the size alkso includes the header size else leave it.\n its optional Field .you can "
     "leave it if you don't know."},
    {kHeaderSize, true, false,
     "please enter the header size in bytes here.\n its optional Field .you can leave it if you don't know."},
    {kSkipSize, true, false,
     "when we find the file signature you mentioned  above we can skip further file scanning by an amount you enter "
     "here.\n For example mp3 are generally greater then 2 mb .so you can enter 2097152 bytes here.\n its optional "
     "Field .you can leave it ."},
    {kApproximateSize, true, false, "Enter approx file size here.\n its optional Field .you can leave it if you don't know."},
    {kCategory, false, false, "Enter the name of category you want to put these files under"},
}};

namespace {

// A signature longer than a record holds would be cut and then match more than was asked for.
constexpr const char* kTooLong = "signature length is more than 10 bytes..";
// The matcher only looks inside the first 512-byte block of a file.
constexpr const char* kOffsetTooLarge = "Starting Signature Offset should be less than 512..";

std::int32_t asInt32(std::int64_t value) {
  return static_cast<std::int32_t>(
      std::clamp<std::int64_t>(value, std::numeric_limits<std::int32_t>::min(), std::numeric_limits<std::int32_t>::max()));
}

}  // namespace

RawSettingDlg::RawSettingDlg(PageView& view, PageSink& sink) : m_view(view), m_sink(sink) {}

void RawSettingDlg::onOpen() {
  for (const Field& field : kFields) {
    if (field.checkBox) m_view.setChecked(field.label, false);
    else m_view.setText(field.label, "");
  }
  m_view.setText(kPath, "");
}

void RawSettingDlg::onHelp(const std::string& field) {
  for (const Field& f : kFields)
    if (field == f.label) m_sink.showMessage(f.help);
}

void RawSettingDlg::onChooseFile(const std::optional<std::string>& chosen) {
  m_file.close();
  m_fileLength = 0;
  m_path.clear();
  m_saves = 0;
  if (!chosen || chosen->empty() || !m_file.create(*chosen)) {
    m_sink.showMessage("File can not be created");
    m_view.setText(kPath, "");
    return;
  }
  m_path = *chosen;
  m_view.setText(kPath, *chosen);
}

bool RawSettingDlg::appendToFile(const std::string& path) {
  m_file.close();
  m_fileLength = 0;
  m_path.clear();
  m_saves = 0;
  if (path.empty() || !m_file.openForAppend(path)) {
    m_sink.showMessage("File can not be created");
    return false;
  }
  m_fileLength = m_file.written();
  m_path = path;
  m_view.setText(kPath, path);
  return true;
}

void RawSettingDlg::onClose() { m_file.close(); }

std::optional<SignatureRecord> RawSettingDlg::buildRecord() {
  if (!m_file.isOpen()) {
    m_sink.showMessage("Select valid file to save the entries.");
    return std::nullopt;
  }
  SignatureRecord record;
  record.recordIndex = static_cast<std::uint8_t>(m_fileLength / kSignatureRecordSize);

  const std::u16string extension = utf16FromAnsi(m_view.text(kExtension));
  if (extension.empty()) {
    m_sink.showMessage("extention length is zero..");
    return std::nullopt;
  }
  record.extensionLength = static_cast<std::uint8_t>(extension.size());
  std::copy_n(extension.begin(), std::min(extension.size(), kExtensionUnits), record.extension.begin());
  record.extensionTerminator = 0;

  const std::vector<std::uint8_t> start = parseSignatureText(m_view.text(kStartSignature));
  if (start.empty()) {
    m_sink.showMessage("signature length is zero..");
    return std::nullopt;
  }
  const std::vector<std::uint8_t> end = parseSignatureText(m_view.text(kEndSignature));
  if (start.size() > kSignatureBytes || end.size() > kSignatureBytes) {
    m_sink.showMessage(kTooLong);
    return std::nullopt;
  }
  std::copy(start.begin(), start.end(), record.startSignature.begin());
  std::copy(end.begin(), end.end(), record.endSignature.begin());
  record.startLength = static_cast<std::uint8_t>(start.size());
  record.endLength = static_cast<std::uint8_t>(end.size());

  const std::int64_t offsetToSize = decimalValue(m_view.text(kOffsetToSize));
  record.offsetToSize = offsetToSize == 0 ? -1 : asInt32(offsetToSize);
  const std::int64_t startOffset = decimalValue(m_view.text(kStartOffset));
  if (startOffset < 0 || startOffset + static_cast<std::int64_t>(start.size()) > 512) {
    m_sink.showMessage(kOffsetTooLarge);
    return std::nullopt;
  }
  record.startOffset = static_cast<std::uint16_t>(startOffset);
  record.skipSize = decimalValue(m_view.text(kSkipSize));
  record.bytesInSize = asInt32(decimalValue(m_view.text(kBytesInSize)));
  record.headerSize = asInt32(decimalValue(m_view.text(kHeaderSize)));
  record.approximateSize = decimalValue(m_view.text(kApproximateSize));
  record.sizeIncludesHeader = m_view.checked(kSizeIncludesHeader) ? 1 : 0;

  const std::u16string category = utf16FromAnsi(m_view.text(kCategory));
  std::copy_n(category.begin(), std::min(category.size(), kCategoryUnits), record.category.begin());
  record.reserved = 0;
  record.reservedTail = 0;
  return record;
}

bool RawSettingDlg::onSave() {
  const std::optional<SignatureRecord> record = buildRecord();
  if (!record) return false;
  const SignatureRecordBytes bytes = encodeSignatureRecord(*record);
  if (!m_file.write(bytes)) {
    // A record that did not reach the file is never reported as saved.
    m_sink.showMessage("entry could not be written to the file..");
    return false;
  }
  m_fileLength += kSignatureRecordSize;
  m_last = record;
  ++m_saves;
  m_sink.showMessage("everything initialized well.....");
  return true;
}

}  // namespace tessary
