// The platform layer: time conversions and list texts, text conversion, safe names, workers and sinks.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <memory>
#include <vector>
#include <thread>

#include "platform/bytes.h"
#include "platform/file_time.h"
#include "platform/files.h"
#include "platform/large_buffer.h"
#include "platform/page_sink.h"
#include "platform/text.h"
#include "platform/worker.h"
#include "support/fixtures.h"
#include "support/recording_sink.h"

namespace tessary {
namespace {

using test::ZoneGuard;

FileTime utcFileTime(int y, int mo, int d, int h, int mi) {
  char iso[32];
  std::snprintf(iso, sizeof iso, "%04d-%02d-%02dT%02d:%02d:00Z", y, mo, d, h, mi);
  return fileTimeFromUnix(test::unixFromIso(iso));
}

TEST(FileTimes, ListTextUsesTwelveHourClockWithNoonAsAmAndMidnightAsHourZero) {
  ZoneGuard utc("UTC0");
  EXPECT_EQ(formatListFileTime(utcFileTime(2024, 3, 9, 12, 5)), "03/09/2024  12:05 AM");
  EXPECT_EQ(formatListFileTime(utcFileTime(2024, 3, 9, 13, 5)), "03/09/2024  01:05 PM");
  EXPECT_EQ(formatListFileTime(utcFileTime(2024, 12, 31, 0, 5)), "12/31/2024  00:05 AM");
  EXPECT_EQ(formatListFileTime(utcFileTime(1999, 1, 1, 23, 59)), "01/01/1999  11:59 PM");
}

TEST(FileTimes, LocalZoneIsAppliedAfterUtc) {
  ZoneGuard zone("EST5EDT,M3.2.0,M11.1.0");
  // 17:05 UTC in July is 13:05 in New York (daylight time).
  EXPECT_EQ(formatListFileTime(utcFileTime(2023, 7, 1, 17, 5)), "07/01/2023  01:05 PM");
  // 17:05 UTC in January is 12:05 (standard time).
  EXPECT_EQ(formatListFileTime(utcFileTime(2023, 1, 1, 17, 5)), "01/01/2023  12:05 AM");
}

TEST(FileTimes, ConversionsAgreeOnTheEpochs) {
  EXPECT_EQ(fileTimeFromUnix(0), 116444736000000000ULL);
  EXPECT_EQ(unixNanosecondsFromFileTime(116444736000000000ULL + 15), 1500);
  // Stamps far outside what nanoseconds since 1970 hold saturate instead of overflowing.
  EXPECT_EQ(unixNanosecondsFromFileTime(0xFFFFFFFFFFFFFFFFULL), INT64_MAX);
  EXPECT_EQ(unixNanosecondsFromFileTime(0), INT64_MIN);
  EXPECT_EQ(fileTimeFromHfs(2082844800u), fileTimeFromUnix(0));
  const auto utc = calendarFromFileTime(0);
  ASSERT_TRUE(utc);
  EXPECT_EQ(utc->year, 1601);
  EXPECT_EQ(utc->month, 1);
  EXPECT_EQ(utc->day, 1);
  EXPECT_EQ(utc->dayOfWeek, 1);  // a Monday
  EXPECT_FALSE(calendarFromFileTime(0x8000000000000000ULL));
  EXPECT_EQ(formatListFileTime(0xFFFFFFFFFFFFFFFFULL), "");
}

TEST(FileTimes, DosDateAndTimeAreReadAsGivenAndInvalidOnesRefused) {
  // 2021-06-15 10:30:44 = date (41 << 9 | 6 << 5 | 15), time (10 << 11 | 30 << 5 | 22).
  const auto ft = fileTimeFromDos(static_cast<std::uint16_t>(41 << 9 | 6 << 5 | 15),
                                  static_cast<std::uint16_t>(10 << 11 | 30 << 5 | 22), 150);
  ASSERT_TRUE(ft);
  const auto c = calendarFromFileTime(*ft);
  ASSERT_TRUE(c);
  EXPECT_EQ(c->year, 2021);
  EXPECT_EQ(c->month, 6);
  EXPECT_EQ(c->day, 15);
  EXPECT_EQ(c->hour, 10);
  EXPECT_EQ(c->minute, 30);
  EXPECT_EQ(c->second, 45);  // 44 s plus 150 x 10 ms
  EXPECT_EQ(c->millisecond, 500);
  EXPECT_FALSE(fileTimeFromDos(0, 0));               // day 0, month 0
  EXPECT_FALSE(fileTimeFromDos(1 << 5 | 1, 24 << 11));  // hour 24
}

TEST(Text, Utf16RoundTripsAndBadSurrogatesBecomeReplacement) {
  const std::u16string name = u"r\u00e9sum\u00e9 \u65e5\u672c \U0001F600";
  EXPECT_EQ(utf8FromUtf16(name), "r\xC3\xA9sum\xC3\xA9 \xE6\x97\xA5\xE6\x9C\xAC \xF0\x9F\x98\x80");
  EXPECT_EQ(utf16FromAnsi(utf8FromUtf16(name)), name);
  EXPECT_EQ(utf8FromUtf16(std::u16string(1, char16_t(0xD800))), "\xEF\xBF\xBD");
  EXPECT_EQ(utf8FromUtf16(std::u16string(1, char16_t(0xDC00)) + u"a"), "\xEF\xBF\xBD" "a");
}

TEST(Text, AnsiBytesThatAreNotUtf8ReadAsWindows1252) {
  EXPECT_EQ(utf16FromAnsi("caf\xE9"), u"caf\u00e9");       // a lone Latin-1 byte
  EXPECT_EQ(utf16FromAnsi("\x80 \x9F"), u"\u20ac \u0178");  // the 0x80..0x9F block
  EXPECT_EQ(utf16FromAnsi("\xC3\xA9"), u"\u00e9");          // valid UTF-8 stays UTF-8
  EXPECT_EQ(utf16FromAnsi("\xE6\x97"), u"\u00e6\u2014");    // a cut sequence falls back byte by byte
  EXPECT_EQ(utf16FromAnsi("\xC0\x80"), u"\u00c0\u20ac");    // overlong NUL is not UTF-8
}

TEST(Text, DecimalFieldsGiveZeroForNonNumbers) {
  EXPECT_EQ(decimalValue("2048"), 2048);
  EXPECT_EQ(decimalValue("  -5x"), -5);
  EXPECT_EQ(decimalValue("abc"), 0);
  EXPECT_EQ(decimalValue(""), 0);
  EXPECT_EQ(decimalValue("99999999999999999999"), INT64_MAX);
  EXPECT_EQ(trimmed(std::string(" \tname \n")), "name");
  EXPECT_EQ(rightTrimmed(" a  "), " a");
  EXPECT_TRUE(equalsNoCase("NTFS", "ntfs"));
  EXPECT_TRUE(endsWithNoCase("disk.VHDX", "vhdx"));
  EXPECT_EQ(format("%lld   MB", 63LL), "63   MB");
}

TEST(Names, NamesFromAnImageCannotLeaveTheOutputFolder) {
  EXPECT_EQ(safeComponent("../../x"), ".._.._x");
  EXPECT_EQ(safeComponent(".."), "_");
  EXPECT_EQ(safeComponent("."), "_");
  EXPECT_EQ(safeComponent(""), "_");
  EXPECT_EQ(safeComponent(std::string("a\0b", 3)), "a_b");
  EXPECT_EQ(safeComponent("ok name.txt"), "ok name.txt");
}

TEST(Bytes, ReadsOutsideTheSpanGiveNothing) {
  const std::uint8_t raw[] = {0x01, 0x02, 0x03, 0x04, 0x05};
  const Bytes b = asBytes(raw, sizeof raw);
  EXPECT_EQ(le32(b, 0).value(), 0x04030201u);
  EXPECT_EQ(be16(b, 3).value(), 0x0405u);
  EXPECT_FALSE(le32(b, 2));
  EXPECT_FALSE(le16(b, SIZE_MAX));
  EXPECT_EQ(les16At(asBytes("\xFF\xFF", 2), 0), -1);
  EXPECT_FALSE(fits(10, 8, 3));
  EXPECT_TRUE(fits(10, 7, 3));
  EXPECT_FALSE(fits(10, 11, 0));
  EXPECT_FALSE(checkedMul(std::uint64_t{1} << 40, std::uint64_t{1} << 30));
  ByteCursor cursor(b);
  EXPECT_EQ(cursor.le16(), 0x0201);
  EXPECT_EQ(cursor.le16(), 0x0403);
  EXPECT_TRUE(cursor.ok());
  EXPECT_EQ(cursor.le16(), 0);
  EXPECT_FALSE(cursor.ok());
}

TEST(Files, OutputFilesAreEmptiedAndGetTheirTimes) {
  const std::string dir = test::makeTempDir("tessary-files-");
  const std::string path = dir + "/out.bin";
  {
    OutputFile out;
    ASSERT_TRUE(out.create(path));
    ASSERT_TRUE(out.write(asBytes("hello world", 11)));
    ASSERT_TRUE(out.setTimes(1000000000LL * 1600000000, 1000000000LL * 1500000000 + 5));
  }
  {
    OutputFile again;
    ASSERT_TRUE(again.create(path));
    ASSERT_TRUE(again.write(asBytes("hi", 2)));
    ASSERT_TRUE(again.setTimes(1000000000LL * 1600000000, 1000000000LL * 1500000000 + 5));
  }
  const auto times = test::hostEntry(path);
  ASSERT_TRUE(times);
  EXPECT_EQ(times->access, 1600000000);
  EXPECT_EQ(times->modification, 1500000000);
  EXPECT_EQ(test::readHostFile(path), "hi");
  ImageFile image;
  ASSERT_TRUE(image.open(path));
  std::byte buffer[8];
  EXPECT_EQ(image.readAt(0, buffer).value(), 2u);
  EXPECT_FALSE(image.readExact(0, buffer));
  EXPECT_FALSE(image.open(dir));  // a folder is not an image
  test::removeTree(dir);
}

TEST(Workers, PauseHoldsTheWorkerAtItsGateAndStopEndsIt) {
  Worker worker;
  StopFlag stop{0};
  WorkerControl control(&stop, &worker.gate());
  std::atomic<int> steps{0};
  worker.gate().pause();
  worker.start([&] {
    while (!control.shouldStop()) steps++;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(steps.load(), 0);
  EXPECT_TRUE(worker.running());
  worker.gate().resume();
  while (steps.load() < 10) std::this_thread::yield();
  stop = 1;
  worker.join();
  EXPECT_FALSE(worker.running());
}

TEST(Workers, AThrowingJobEndsQuietly) {
  Worker worker;
  worker.start([] { throw std::runtime_error("broken image"); });
  worker.join();
  EXPECT_FALSE(worker.running());
}

TEST(Sinks, RecordingSinkKeepsOrderAndAnswersFromItsQueue) {
  RecordingSink sink;
  sink.setStatus("a");
  sink.progressRange(0, 1000);
  sink.progressPosition(500);
  sink.showMessage("m");
  sink.queueAnswer(false);
  EXPECT_FALSE(sink.askYesNo("q?"));
  EXPECT_TRUE(sink.askYesNo("again?"));
  const auto events = sink.events();
  ASSERT_EQ(events.size(), 6u);
  EXPECT_EQ(events[1].id, kMsgProgressRange);
  EXPECT_EQ(events[1].second, 1000);
  EXPECT_EQ(events[2].id, kMsgProgressPosition);
  EXPECT_EQ(events[2].first, 500);
  EXPECT_EQ(sink.lastMessage(), "m");
}

TEST(ImageFiles, OverlayReplacesBytesInOrderAndReachesPastTheFilesEnd) {
  const std::string dir = test::makeTempDir("tessary-overlay-");
  const std::string path = dir + "/image.bin";
  {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    const std::string text(100, 'f');
    std::fwrite(text.data(), 1, text.size(), f);
    std::fclose(f);
  }
  auto overlay = std::make_shared<ReadOverlay>();
  auto bytes = [](char c, std::size_t n) { return std::vector<std::byte>(n, static_cast<std::byte>(c)); };
  overlay->write(10, bytes('a', 20));   // [10, 30)
  overlay->zero(20, 20);                // [20, 40): cuts the tail of the first write
  overlay->write(25, bytes('b', 5));    // [25, 30) inside the zeros
  overlay->write(5, bytes('c', 10));    // [5, 15): cuts the head of the first write
  overlay->write(110, bytes('d', 10));  // past the file's end
  ImageFile file;
  ASSERT_TRUE(file.open(path));
  file.setOverlay(overlay);
  EXPECT_EQ(file.size(), 120u);
  std::vector<std::byte> out(130, std::byte{0x77});
  ASSERT_EQ(file.readAt(0, out), std::optional<std::size_t>(120));
  std::string seen;
  for (std::size_t i = 0; i < 120; ++i) seen += out[i] == std::byte{0} ? '0' : static_cast<char>(out[i]);
  EXPECT_EQ(seen, std::string(5, 'f') + std::string(10, 'c') + std::string(5, 'a') + std::string(5, '0') + std::string(5, 'b') +
                      std::string(10, '0') + std::string(60, 'f') + std::string(10, '0') + std::string(10, 'd'));
  // A read that starts inside a piece sees the piece from there on.
  std::vector<std::byte> part(4);
  ASSERT_TRUE(file.readExact(27, part));
  EXPECT_EQ(part, (std::vector<std::byte>{std::byte{'b'}, std::byte{'b'}, std::byte{'b'}, std::byte{0}}));
  file.setOverlay(nullptr);
  EXPECT_EQ(file.size(), 100u);
  file.close();  // Windows removes no file that is open
  std::filesystem::remove_all(dir);
}

TEST(ImageFiles, FilesBesideAnImageAreOpenedBelowItsFolderOnly) {
  const std::string dir = test::makeTempDir("tessary-beside-");
  std::filesystem::create_directories(dir + "/vm/sub");
  std::filesystem::create_directories(dir + "/outside");
  for (const char* name : {"/vm/disk.vmdk", "/vm/sub/part.vmdk", "/outside/secret.bin"}) {
    std::FILE* f = std::fopen((dir + name).c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fclose(f);
  }
#ifndef _WIN32  // this build's C++ library makes no links on Windows
  std::filesystem::create_symlink(dir + "/outside/secret.bin", dir + "/vm/link.vmdk");
  std::filesystem::create_symlink(dir + "/outside", dir + "/vm/linked");
#endif
  const std::string image = dir + "/vm/disk.vmdk";
  ImageFile file;
  EXPECT_EQ(file.openBeside(image, "sub/part.vmdk"), "");
  EXPECT_TRUE(file.isOpen());
  EXPECT_EQ(file.openBeside(image, ".\\sub\\part.vmdk"), "");
#ifndef _WIN32
  EXPECT_EQ(file.openBeside(image, "link.vmdk"), "it is a link, which is never followed");
  EXPECT_FALSE(file.isOpen());
  EXPECT_EQ(file.openBeside(image, "linked/secret.bin"), "a folder on its way is a link or not a folder");
#endif
  EXPECT_EQ(file.openBeside(image, "../outside/secret.bin"), "it leads out of the image's folder");
  EXPECT_EQ(file.openBeside(image, dir + "/outside/secret.bin"), "it is not a name inside the image's folder");
  EXPECT_EQ(file.openBeside(image, "sub"), "it is not a regular file");
  EXPECT_EQ(file.openBeside(image, "absent.vmdk"), "it does not exist");
  file.close();
  std::filesystem::remove_all(dir);
}

// A table that grows from the heap onto huge-page memory and shrinks back keeps every value; the thread's
// read buffer is page-aligned and keeps its memory between calls.
TEST(LargeMemoryTest, TablesKeepTheirValuesAcrossTheStepToLargeMemory) {
  std::vector<std::uint64_t, LargeTableAllocator<std::uint64_t>> table;
  for (std::uint64_t i = 0; i < 600000; ++i) table.push_back(i * 2654435761ULL);
  for (std::uint64_t i = 0; i < table.size(); ++i) ASSERT_EQ(table[i], i * 2654435761ULL) << i;
  table.resize(1000);
  table.shrink_to_fit();
  EXPECT_EQ(table[999], 999 * 2654435761ULL);
  const std::span<std::byte> first = threadReadBuffer(100);
  ASSERT_EQ(first.size(), 100u);
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(first.data()) % 4096, 0u);
  first[0] = std::byte{7};
  const std::span<std::byte> again = threadReadBuffer(3 << 20);
  ASSERT_EQ(again.size(), std::size_t{3} << 20);
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(again.data()) % 4096, 0u);
  EXPECT_EQ(threadReadBuffer(10).data(), again.data());
}

}  // namespace
}  // namespace tessary
