// Signature files: the 177-byte record read and written field by field, the editor's Save with its checks
// and messages, and the loader that turns a file into the engine's tables.
#include <gtest/gtest.h>

#include <fstream>
#include <set>

#include "app/wizard_state.h"
#include "platform/files.h"
#include "platform/page_view.h"
#include "platform/text.h"
#include "raw/raw_recovery_dialog.h"
#include "raw/raw_setting_dlg.h"
#include "raw/signature_record.h"
#include "support/cli_runner.h"
#include "support/fixtures.h"
#include "support/recording_sink.h"

namespace tessary {
namespace {

std::uint8_t at(const SignatureRecordBytes& b, std::size_t i) { return std::to_integer<std::uint8_t>(b[i]); }

void writeFile(const std::string& path, const std::vector<std::byte>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

std::vector<std::byte> recordsFile(std::size_t count, std::int32_t lastBytesInSize = 4) {
  std::vector<std::byte> file;
  for (std::size_t k = 0; k < count; ++k) {
    SignatureRecord r;
    r.extension = {u'b', u'i', u'n', 0};
    r.extensionLength = 3;
    r.startSignature[0] = 0xAB;
    r.startSignature[1] = static_cast<std::uint8_t>(k);
    r.startLength = 2;
    r.recordIndex = static_cast<std::uint8_t>(k);
    r.bytesInSize = k + 1 == count ? lastBytesInSize : 0;
    const SignatureRecordBytes b = encodeSignatureRecord(r);
    file.insert(file.end(), b.begin(), b.end());
  }
  return file;
}

TEST(SignatureRecordTest, EveryFieldLandsAtItsOffsetLittleEndian) {
  SignatureRecord r;
  r.extension = {u'j', u'p', u'e', u'g'};
  r.startOffset = 0x0102;
  r.extensionLength = 5;
  r.startSignature = {0xFF, 0xD8, 0xFF};
  r.endSignature = {0xFF, 0xD9};
  r.startLength = 3;
  r.endLength = 2;
  r.recordIndex = 7;
  r.offsetToSize = -1;
  r.bytesInSize = 4;
  r.headerSize = 0x11223344;
  r.sizeIncludesHeader = 1;
  r.approximateSize = 0x0102030405060708;
  r.skipSize = 2097152;
  r.category = {u'I', u'm', u'g'};
  const SignatureRecordBytes b = encodeSignatureRecord(r);
  ASSERT_EQ(b.size(), 177u);
  EXPECT_EQ(at(b, 0), 'j');  // extension text, UTF-16LE
  EXPECT_EQ(at(b, 1), 0);
  EXPECT_EQ(at(b, 6), 'g');
  EXPECT_EQ(at(b, 8), 0);  // terminator
  EXPECT_EQ(at(b, 10), 0x02);  // start offset, u16
  EXPECT_EQ(at(b, 11), 0x01);
  EXPECT_EQ(at(b, 12), 5);  // extension length as typed
  EXPECT_EQ(at(b, 13), 0xFF);  // start signature
  EXPECT_EQ(at(b, 15), 0xFF);
  EXPECT_EQ(at(b, 16), 0);  // zero after its length
  EXPECT_EQ(at(b, 23), 0xFF);  // end signature
  EXPECT_EQ(at(b, 24), 0xD9);
  EXPECT_EQ(at(b, 33), 3);
  EXPECT_EQ(at(b, 34), 2);
  EXPECT_EQ(at(b, 35), 7);
  for (std::size_t i = 36; i < 40; ++i) EXPECT_EQ(at(b, i), 0xFF);  // offset to size -1
  EXPECT_EQ(at(b, 40), 4);
  EXPECT_EQ(at(b, 44), 0x44);  // header size
  EXPECT_EQ(at(b, 47), 0x11);
  EXPECT_EQ(at(b, 48), 1);
  for (std::size_t i = 49; i < 53; ++i) EXPECT_EQ(at(b, i), 0);  // reserved
  EXPECT_EQ(at(b, 53), 0x08);  // approximate size, i64
  EXPECT_EQ(at(b, 60), 0x01);
  EXPECT_EQ(at(b, 61), 0x00);  // skip size 0x200000
  EXPECT_EQ(at(b, 63), 0x20);
  EXPECT_EQ(at(b, 69), 'I');  // category
  EXPECT_EQ(at(b, 73), 'g');
  EXPECT_EQ(at(b, 75), 0);
  for (std::size_t i = 169; i < 177; ++i) EXPECT_EQ(at(b, i), 0);
  EXPECT_EQ(decodeSignatureRecord(b), r);
  EXPECT_FALSE(decodeSignatureRecord(Bytes(b.data(), 176)));
}

TEST(SignatureRecordTest, SignatureTextsReadAsTheEditorReadsThem) {
  using V = std::vector<std::uint8_t>;
  EXPECT_EQ(parseSignatureText(",0x89,,0x50,0x4E,0x47,"), (V{0x89, 0x50, 0x4E, 0x47}));
  EXPECT_EQ(parseSignatureText("89 50"), V{0x89});  // reading stops at the blank
  EXPECT_EQ(parseSignatureText("0x1FF"), V{0xFF});  // the low 8 bits
  EXPECT_EQ(parseSignatureText("zz,0X2a"), (V{0x00, 0x2A}));
  EXPECT_TRUE(parseSignatureText(",,,").empty());
  const std::uint8_t png[] = {0x89, 0x50};
  EXPECT_EQ(signatureText(png, 2), "0x89,0x50");
}

class SignatureEditorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_dir = test::makeTempDir("tessary-sig-");
    m_editor.onOpen();
  }
  void type(const char* field, const std::string& text) { m_view.setText(field, text); }
  void typeMinimal() {
    type(RawSettingDlg::kExtension, "png");
    type(RawSettingDlg::kStartSignature, "0x89,0x50,0x4E,0x47");
  }
  std::string file(const std::string& name) { return m_dir + "/" + name; }

  std::string m_dir;
  PageView m_view;
  RecordingSink m_sink;
  RawSettingDlg m_editor{m_view, m_sink};
};

TEST_F(SignatureEditorTest, SaveRefusesWithoutFileExtensionOrSignature) {
  typeMinimal();
  EXPECT_FALSE(m_editor.onSave());
  EXPECT_EQ(m_sink.lastMessage(), "Select valid file to save the entries.");
  m_editor.onChooseFile(std::nullopt);
  EXPECT_EQ(m_sink.lastMessage(), "File can not be created");
  m_editor.onChooseFile(file("a.txt"));
  EXPECT_EQ(m_view.text(RawSettingDlg::kPath), file("a.txt"));
  type(RawSettingDlg::kExtension, "");
  EXPECT_FALSE(m_editor.onSave());
  EXPECT_EQ(m_sink.lastMessage(), "extention length is zero..");
  type(RawSettingDlg::kExtension, "png");
  type(RawSettingDlg::kStartSignature, ", ,");
  // A blank token is a token: it reads as the byte 0.
  EXPECT_TRUE(m_editor.onSave());
  type(RawSettingDlg::kStartSignature, ",,");
  EXPECT_FALSE(m_editor.onSave());
  EXPECT_EQ(m_sink.lastMessage(), "signature length is zero..");
  EXPECT_EQ(fileSize(file("a.txt")), 177u);
}

TEST_F(SignatureEditorTest, LongSignaturesAndOffsetsPastTheBlockAreRefused) {
  m_editor.onChooseFile(file("a.txt"));
  typeMinimal();
  type(RawSettingDlg::kStartSignature, "1,2,3,4,5,6,7,8,9,10,11");
  EXPECT_FALSE(m_editor.onSave());
  EXPECT_EQ(m_sink.lastMessage(), "signature length is more than 10 bytes..");
  type(RawSettingDlg::kStartSignature, "1,2");
  type(RawSettingDlg::kEndSignature, "1,2,3,4,5,6,7,8,9,10,11");
  EXPECT_FALSE(m_editor.onSave());
  type(RawSettingDlg::kEndSignature, "");
  type(RawSettingDlg::kStartOffset, "512");
  EXPECT_FALSE(m_editor.onSave());
  EXPECT_EQ(m_sink.lastMessage(), "Starting Signature Offset should be less than 512..");
  type(RawSettingDlg::kStartOffset, "511");  // the two bytes would reach past the block
  EXPECT_FALSE(m_editor.onSave());
  type(RawSettingDlg::kStartOffset, "510");
  EXPECT_TRUE(m_editor.onSave());
  EXPECT_EQ(m_sink.lastMessage(), "everything initialized well.....");
  EXPECT_EQ(fileSize(file("a.txt")), 177u);
}

TEST_F(SignatureEditorTest, FieldsBecomeTheRecordAndIndicesFollowTheFileLength) {
  m_editor.onChooseFile(file("a.txt"));
  type(RawSettingDlg::kExtension, "mpeg4");
  type(RawSettingDlg::kStartSignature, "0x66,0x74,0x79,0x70");
  type(RawSettingDlg::kStartOffset, "4");
  type(RawSettingDlg::kOffsetToSize, "0");
  type(RawSettingDlg::kBytesInSize, "4");
  type(RawSettingDlg::kHeaderSize, "8x");
  type(RawSettingDlg::kSkipSize, "2097152");
  type(RawSettingDlg::kApproximateSize, "abc");
  m_view.setChecked(RawSettingDlg::kSizeIncludesHeader, true);
  type(RawSettingDlg::kCategory, std::string(60, 'c'));
  ASSERT_TRUE(m_editor.onSave());
  SignatureRecord r = *m_editor.lastRecord();
  EXPECT_EQ(recordExtension(r), u"mpeg");  // four kept,
  EXPECT_EQ(r.extensionLength, 5);         // five typed
  EXPECT_EQ(r.offsetToSize, -1);           // 0 means not given
  EXPECT_EQ(r.startOffset, 4);
  EXPECT_EQ(r.headerSize, 8);
  EXPECT_EQ(r.approximateSize, 0);
  EXPECT_EQ(r.skipSize, 2097152);
  EXPECT_EQ(r.sizeIncludesHeader, 1);
  EXPECT_EQ(recordCategory(r).size(), 50u);
  EXPECT_EQ(r.recordIndex, 0);
  ASSERT_TRUE(m_editor.onSave());
  EXPECT_EQ(m_editor.lastRecord()->recordIndex, 1);
  // Choosing the file again empties it: numbering starts over.
  m_editor.onChooseFile(file("a.txt"));
  ASSERT_TRUE(m_editor.onSave());
  EXPECT_EQ(m_editor.lastRecord()->recordIndex, 0);
  // Appending continues after what the file holds.
  m_editor.onClose();
  ASSERT_TRUE(m_editor.appendToFile(file("a.txt")));
  ASSERT_TRUE(m_editor.onSave());
  EXPECT_EQ(m_editor.lastRecord()->recordIndex, 1);
  EXPECT_EQ(fileSize(file("a.txt")), 2u * 177u);
}

TEST_F(SignatureEditorTest, HelpButtonsShowTheirTexts) {
  m_editor.onHelp(RawSettingDlg::kStartOffset);
  EXPECT_EQ(m_sink.lastMessage(),
            "Here enter offset of starting signature in File.Value should be less than 512.By default its zero.");
  m_editor.onHelp(RawSettingDlg::kCategory);
  EXPECT_EQ(m_sink.lastMessage(), "Enter the name of category you want to put these files under");
  EXPECT_EQ(RawSettingDlg::kFields.size(), 11u);
  EXPECT_STREQ(RawSettingDlg::kFields[6].label, "Size includes header size");
  EXPECT_TRUE(RawSettingDlg::kFields[6].checkBox);
}

TEST_F(SignatureEditorTest, AFileWrittenByTheEditorLoadsBackEqual) {
  m_editor.onChooseFile(file("sig.txt"));
  typeMinimal();
  type(RawSettingDlg::kEndSignature, "0x49,0x45,0x4E,0x44");
  type(RawSettingDlg::kApproximateSize, "1000");
  type(RawSettingDlg::kCategory, "Images");
  ASSERT_TRUE(m_editor.onSave());
  const SignatureRecord first = *m_editor.lastRecord();
  type(RawSettingDlg::kExtension, "bmp");
  type(RawSettingDlg::kStartSignature, "0x42,0x4D");
  type(RawSettingDlg::kEndSignature, "");
  type(RawSettingDlg::kOffsetToSize, "2");
  type(RawSettingDlg::kBytesInSize, "4");
  ASSERT_TRUE(m_editor.onSave());
  const SignatureRecord second = *m_editor.lastRecord();
  m_editor.onClose();

  WizardState state;
  PageView view;
  RecordingSink sink;
  RawRecoveryDialog page(state, view, sink, file("missing-default.txt"));
  ASSERT_TRUE(page.loadSignatureFile(file("sig.txt"), RawRecoveryDialog::FileKind::Chosen));
  ASSERT_EQ(page.engine()->signatureCount(), 2u);
  const SignatureEntry& e = page.engine()->signatures()[0];
  EXPECT_EQ(std::u16string(e.extension.data()), recordExtension(first));
  EXPECT_EQ(e.startLength, 4);
  EXPECT_EQ(e.startSignature, first.startSignature);
  EXPECT_EQ(e.endSignature, first.endSignature);
  EXPECT_EQ(e.signatureNumber, 0);
  const SizeRule& bmp = page.engine()->rules()[1];
  EXPECT_EQ(bmp.offsetToSize, second.offsetToSize);
  EXPECT_EQ(bmp.bytesInSize, 4);
  EXPECT_EQ(bmp.categoryNode, kNoItem);
  EXPECT_EQ(page.engine()->rules()[0].approximateSize, 1000);
  EXPECT_EQ(std::u16string(page.engine()->rules()[0].category.data()), u"Images");
}

class SignatureLoaderTest : public ::testing::Test {
 protected:
  void SetUp() override { m_dir = test::makeTempDir("tessary-load-"); }
  std::string path(const std::string& name) { return m_dir + "/" + name; }
  std::string m_dir;
  WizardState m_state;
  PageView m_view;
  RecordingSink m_sink;
};

TEST_F(SignatureLoaderTest, ShortAndOversizedFilesAreRefused) {
  RawRecoveryDialog page(m_state, m_view, m_sink, path("none"));
  writeFile(path("short.txt"), std::vector<std::byte>(176));
  EXPECT_FALSE(page.loadSignatureFile(path("short.txt"), RawRecoveryDialog::FileKind::Chosen));
  EXPECT_EQ(m_sink.lastMessage(), "Please select a valid file..");
  // The last record starts past 1 MiB.
  std::vector<std::byte> big(1048576 + 1 + 177);
  writeFile(path("big.txt"), big);
  m_sink.clear();
  EXPECT_FALSE(page.loadSignatureFile(path("big.txt"), RawRecoveryDialog::FileKind::Chosen));
  EXPECT_EQ(m_sink.lastMessage(), "Please select a valid file..");
  // A chosen file whose last record names a size field of 9 bytes or more; the default kind takes it.
  writeFile(path("wide.txt"), recordsFile(2, 9));
  EXPECT_FALSE(page.loadSignatureFile(path("wide.txt"), RawRecoveryDialog::FileKind::Chosen));
  EXPECT_TRUE(page.loadSignatureFile(path("wide.txt"), RawRecoveryDialog::FileKind::Default));
  EXPECT_EQ(page.engine()->signatureCount(), 2u);
  m_sink.clear();
  EXPECT_FALSE(page.loadSignatureFile(path("absent.txt"), RawRecoveryDialog::FileKind::Chosen));
  EXPECT_EQ(m_sink.lastMessage(), "Cannot open the selected file");
  m_sink.clear();
  EXPECT_FALSE(page.loadSignatureFile(path("absent.txt"), RawRecoveryDialog::FileKind::Default));
  EXPECT_TRUE(m_sink.messages().empty());
}

TEST_F(SignatureLoaderTest, CountComesFromTheLastRecordsEightBitIndex) {
  RawRecoveryDialog page(m_state, m_view, m_sink, path("none"));
  writeFile(path("300.txt"), recordsFile(300));
  ASSERT_TRUE(page.loadSignatureFile(path("300.txt"), RawRecoveryDialog::FileKind::Default));
  EXPECT_EQ(page.engine()->signatureCount(), 44u);  // (300 - 1) mod 256 + 1, from the start
  EXPECT_EQ(page.engine()->signatures()[43].startSignature[1], 43);
  // An index naming more records than the file holds loads only those it holds.
  std::vector<std::byte> lying = recordsFile(2);
  lying[177 + sigrec::kRecordIndex] = std::byte{200};
  writeFile(path("lying.txt"), lying);
  ASSERT_TRUE(page.loadSignatureFile(path("lying.txt"), RawRecoveryDialog::FileKind::Default));
  EXPECT_EQ(page.engine()->signatureCount(), 2u);
}

TEST_F(SignatureLoaderTest, NumbersContinueAcrossTheDefaultAndTheChosenFile) {
  writeFile(path("default.txt"), recordsFile(3));
  writeFile(path("chosen.txt"), recordsFile(2));
  RawRecoveryDialog page(m_state, m_view, m_sink, path("default.txt"));
  ASSERT_TRUE(page.loadSignatureFile(path("default.txt"), RawRecoveryDialog::FileKind::Default));
  ASSERT_TRUE(page.loadSignatureFile(path("chosen.txt"), RawRecoveryDialog::FileKind::Chosen));
  ASSERT_EQ(page.engine()->signatureCount(), 5u);
  EXPECT_EQ(page.engine()->signatures()[4].signatureNumber, 4);
  // A later default load starts a new engine.
  ASSERT_TRUE(page.loadSignatureFile(path("default.txt"), RawRecoveryDialog::FileKind::Default));
  EXPECT_EQ(page.engine()->signatureCount(), 3u);
}

// Records the carver can never match were once kept without a word: each is named by its index and why.
TEST_F(SignatureLoaderTest, RecordsThatCanNeverMatchAreNamedWithTheirIndexAndReason) {
  std::vector<std::byte> file = recordsFile(6);
  auto set = [&](std::size_t record, std::size_t field, std::vector<std::uint8_t> bytes) {
    for (std::size_t i = 0; i < bytes.size(); ++i) file[record * 177 + field + i] = std::byte{bytes[i]};
  };
  set(1, sigrec::kStartLength, {0});
  set(2, sigrec::kStartLength, {255});
  set(3, sigrec::kApproximateSize, {0xFB, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF});  // -5
  set(4, sigrec::kStartOffset, {0xFF, 0xFF});
  set(5, sigrec::kEndLength, {1});
  writeFile(path("bad.txt"), file);
  RawRecoveryDialog page(m_state, m_view, m_sink, path("none"));
  ASSERT_TRUE(page.loadSignatureFile(path("bad.txt"), RawRecoveryDialog::FileKind::Default));
  // Kept in their places, so that the records after them keep their numbers.
  EXPECT_EQ(page.engine()->signatureCount(), 6u);
  const std::string prefix = path("bad.txt") + ": record ";
  EXPECT_EQ(page.refusedRecords(),
            (std::vector<std::string>{prefix + "1 (bin): its start signature is 0 bytes long, not 2 to 10",
                                      prefix + "2 (bin): its start signature is 255 bytes long, not 2 to 10",
                                      prefix + "3 (bin): its approximate size -5 is negative",
                                      prefix + "4 (bin): its start signature at offset 65535 does not fit in a 512-byte block",
                                      prefix + "5 (bin): its end signature is 1 bytes long, not 0 or 2 to 10"}));
  EXPECT_TRUE(m_sink.sawStatus("5 signature records can never match; the first: " + page.refusedRecords().front()));

  const auto checked = test::runTessary({"signatures", "check", path("bad.txt")});
  EXPECT_EQ(checked.status, 1);
  EXPECT_EQ(checked.out, path("bad.txt") + ": record 1 (bin): its start signature is 0 bytes long, not 2 to 10\n" +
                             path("bad.txt") + ": record 2 (bin): its start signature is 255 bytes long, not 2 to 10\n" +
                             path("bad.txt") + ": record 3 (bin): its approximate size -5 is negative\n" + path("bad.txt") +
                             ": record 4 (bin): its start signature at offset 65535 does not fit in a 512-byte block\n" +
                             path("bad.txt") + ": record 5 (bin): its end signature is 1 bytes long, not 0 or 2 to 10\n");
  writeFile(path("good.txt"), recordsFile(3));
  const auto good = test::runTessary({"signatures", "check", path("good.txt")});
  EXPECT_EQ(good.status, 0);
  EXPECT_EQ(good.out, path("good.txt") + ": 3 records, each one usable\n");
}

TEST(DefaultSignatureFileTest, EveryRecordOfTheBuiltFileCanMatch) {
  const std::string path = std::string(TESSARY_BINARY_DIR) + "/FileSetting.txt";
  if (!isRegularFile(path)) GTEST_SKIP() << "FileSetting.txt not built";
  const auto checked = test::runTessary({"signatures", "check", path});
  EXPECT_EQ(checked.status, 0) << checked.out;
}

TEST(DefaultSignatureFileTest, TheBuiltFileHoldsEveryListedType) {
  const std::string path = std::string(TESSARY_BINARY_DIR) + "/FileSetting.txt";
  if (!isRegularFile(path)) GTEST_SKIP() << "FileSetting.txt not built";
  WizardState state;
  PageView view;
  RecordingSink sink;
  RawRecoveryDialog page(state, view, sink, path);
  ASSERT_TRUE(page.loadSignatureFile(path, RawRecoveryDialog::FileKind::Chosen));
  std::set<std::u16string> extensions;
  for (const SignatureEntry& e : page.engine()->signatures()) extensions.insert(e.extension.data());
  for (const char16_t* ext : {u"jpg", u"png", u"gif", u"bmp", u"tif", u"pdf", u"zip", u"rar", u"7z", u"gz", u"mp3",
                              u"wav", u"avi", u"mp4", u"mov", u"db", u"exe", u"psd", u"rtf", u"odt"})
    EXPECT_TRUE(extensions.count(ext)) << utf8FromUtf16(ext);
  for (const SizeRule& rule : page.engine()->rules()) {
    EXPECT_GT(rule.approximateSize, 0);
    EXPECT_NE(rule.category[0], 0);
  }
}

}  // namespace
}  // namespace tessary
