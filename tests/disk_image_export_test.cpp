// The disk image export: the target's name, the transfers with their progress and status texts, Stop,
// writes and reads that fail midway, the space check, and the scan-mode page's Save Image with its worker.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "app/drive_parsing_modes.h"
#include "app/wizard_state.h"
#include "disk/disk_image_export.h"
#include "disk/vhdx_reader.h"
#include "support/cli_runner.h"
#include "support/fixtures.h"
#include "support/recording_sink.h"
#include "support/sha256.h"
#include "support/vhdx_builder.h"

namespace tessary {
namespace {

namespace fs = std::filesystem;
constexpr std::uint64_t kMiB = 1u << 20;

// A disk held in memory; `dataFrom` and `dataTo` bound the only stretch said to hold data (all of it when
// unset), and a read at or past `failAt` fails.
class MemoryDisk : public readWriteInterface {
 public:
  explicit MemoryDisk(std::uint64_t size) : m_bytes(size) {
    for (std::size_t i = 0; i < m_bytes.size(); ++i) m_bytes[i] = std::byte(static_cast<std::uint8_t>(i / 512 + 1));
  }
  bool open(const std::string&) override { return true; }
  bool seek(std::int64_t offset, std::uint32_t) override {
    m_at = static_cast<std::uint64_t>(offset);
    return m_at <= m_bytes.size();
  }
  bool read(void* buffer, std::uint32_t length) override {
    if (m_at >= failAt || m_at + length > m_bytes.size()) return false;
    std::memcpy(buffer, m_bytes.data() + m_at, length);
    m_at += length;
    return true;
  }
  std::optional<std::uint64_t> nextDataOffset(std::uint64_t offset) const override {
    if (!dataTo) return offset;
    if (offset >= *dataTo) return std::nullopt;
    return std::max(offset, dataFrom);
  }
  std::uint64_t failAt = UINT64_MAX;
  std::uint64_t dataFrom = 0;
  std::optional<std::uint64_t> dataTo;
  std::vector<std::byte> m_bytes;

 private:
  std::uint64_t m_at = 0;
};

class RecordingTarget : public ExportTarget {
 public:
  bool write(std::span<const std::byte> data) override { return step("write", data.size()); }
  bool skip(std::uint64_t bytes) override { return step("skip", bytes); }
  int error() const override { return failError; }
  std::vector<std::string> steps;
  // Every step's exact length, writes positive and skips negative.
  std::vector<std::int64_t> lengths;
  std::size_t failStep = SIZE_MAX;
  int failError = ENOSPC;

 private:
  bool step(const char* kind, std::uint64_t bytes) {
    const bool ok = steps.size() != failStep;
    lengths.push_back(kind[0] == 'w' ? static_cast<std::int64_t>(bytes) : -static_cast<std::int64_t>(bytes));
    steps.push_back(std::string(kind) + " " + std::to_string(bytes / kMiB) + (ok ? "" : " failed"));
    return ok;
  }
};

class ExportTest : public ::testing::Test {
 protected:
  void SetUp() override { m_dir = test::makeTempDir("tessary-export-"); }
  void TearDown() override { fs::remove_all(m_dir); }
  ExportOutcome copy(MemoryDisk& disk, RecordingTarget& target, std::uint8_t stop = 0) {
    m_stop = stop;
    DiskImageExport exporter(m_sink, m_stop, WorkerControl{});
    return exporter.copy(disk, disk.m_bytes.size(), target);
  }
  std::vector<std::int64_t> positions() const {
    std::vector<std::int64_t> out;
    for (const auto& e : m_sink.events())
      if (e.kind == RecordingSink::Kind::Post && e.id == kMsgProgressPosition) out.push_back(e.first);
    return out;
  }

  std::string m_dir;
  RecordingSink m_sink;
  StopFlag m_stop{0};
};

TEST_F(ExportTest, TargetIsTheImagesNameWithImgAndANumberInFrontWhileTaken) {
  std::vector<std::string> taken;
  auto isTaken = [&](const std::string& path) { return std::find(taken.begin(), taken.end(), path) != taken.end(); };
  EXPECT_EQ(diskImageTargetPath("/out/", "/images/disk.vhdx", isTaken), "/out/disk.vhdx.img");
  taken = {"/out/disk.vhdx.img"};
  EXPECT_EQ(diskImageTargetPath("/out/", "/images/disk.vhdx", isTaken), "/out/1disk.vhdx.img");
  taken.push_back("/out/1disk.vhdx.img");
  EXPECT_EQ(diskImageTargetPath("/out/", "/images/disk.vhdx", isTaken), "/out/2disk.vhdx.img");
  // A path without a folder gives the fixed name.
  taken = {"/out/Recovered_diskimg.img"};
  EXPECT_EQ(diskImageTargetPath("/out/", "disk.vhdx", isTaken), "/out/1Recovered_diskimg.img");
  EXPECT_EQ(diskImageTargetPath("/out/", "disk.vhdx", [](const std::string&) { return true; }), std::nullopt);
}

TEST_F(ExportTest, TwelveMiBAreTwoTransfersOfFiveAndOneOfTwoWithOneProgressStepAtTenMiB) {
  MemoryDisk disk(12 * kMiB);
  RecordingTarget target;
  const ExportOutcome outcome = copy(disk, target);
  EXPECT_EQ(outcome.result, ExportOutcome::Result::Saved);
  EXPECT_EQ(outcome.bytesWritten, 12 * kMiB);
  EXPECT_EQ(target.steps, (std::vector<std::string>{"write 5", "write 5", "write 2"}));
  // Every 10 MiB, then the full bar at the end, which no step of 10 MiB reached.
  EXPECT_EQ(positions(), (std::vector<std::int64_t>{0, 20480, 24576}));
  EXPECT_EQ(m_sink.statuses(), (std::vector<std::string>{"5 MB of 12 MB or 0.004883 GB of 0.011719 GB Saved",
                                                         "10 MB of 12 MB or 0.009766 GB of 0.011719 GB Saved",
                                                         "12 MB of 12 MB or 0.011719 GB of 0.011719 GB Saved"}));
  const auto events = m_sink.events();
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(events.front().id, kMsgProgressRange);
  EXPECT_EQ(events.front().second, 24576);
}

TEST_F(ExportTest, StretchesWithoutDataAreSkippedNotWrittenAndNothingElseIs) {
  MemoryDisk disk(15 * kMiB);
  disk.dataFrom = 7 * kMiB;  // data only in the second transfer
  disk.dataTo = 8 * kMiB;
  RecordingTarget target;
  EXPECT_EQ(copy(disk, target).result, ExportOutcome::Result::Saved);
  EXPECT_EQ(target.steps, (std::vector<std::string>{"skip 5", "write 5", "skip 5"}));
}

TEST_F(ExportTest, ZeroPagesInsideDataBecomeHolesAndEachRunOfDataIsOneWrite) {
  MemoryDisk disk(12 * kMiB);
  auto zero = [&](std::uint64_t from, std::uint64_t count) {
    std::fill_n(disk.m_bytes.begin() + static_cast<std::ptrdiff_t>(from), count, std::byte{0});
  };
  zero(kMiB, 2 * kMiB);            // two MiB of zero pages inside the first transfer
  zero(6 * kMiB + 4096, 4096);     // one zero page in the second
  zero(6 * kMiB + 3 * 4096, 4000); // zeros short of a page stay data
  zero(10 * kMiB, 2 * kMiB);       // the whole last transfer
  RecordingTarget target;
  ASSERT_EQ(copy(disk, target).result, ExportOutcome::Result::Saved);
  const std::int64_t mib = kMiB;
  EXPECT_EQ(target.lengths, (std::vector<std::int64_t>{mib, -2 * mib, 2 * mib,           // first transfer
                                                       mib + 4096, -4096, 4 * mib - 8192,  // second
                                                       -2 * mib}));

  // Through the file target the holes read back as the zeros they stand for, and take no room.
  const std::string image = m_dir + "/disk.vhdx";
  test::writeBytes(image, std::vector<std::byte>(512, std::byte{1}));
  const std::string out = m_dir + "/disk.vhdx.img";
  DiskImageExport exporter(m_sink, m_stop, WorkerControl{});
  ASSERT_EQ(exporter.run(disk, 12 * kMiB, image, out).result, ExportOutcome::Result::Saved);
  EXPECT_EQ(test::readHostFile(out), std::string(reinterpret_cast<const char*>(disk.m_bytes.data()), disk.m_bytes.size()));
  const auto saved = test::hostEntry(out);
  ASSERT_TRUE(saved);
  EXPECT_LT(saved->allocated, 9 * kMiB);
}

TEST_F(ExportTest, StopAfterTheFirstTransferLeavesFiveMiB) {
  MemoryDisk disk(12 * kMiB);
  RecordingTarget target;
  const ExportOutcome outcome = copy(disk, target, 1);
  EXPECT_EQ(outcome.result, ExportOutcome::Result::Stopped);
  EXPECT_EQ(outcome.bytesWritten, 5 * kMiB);
  EXPECT_EQ(target.steps, (std::vector<std::string>{"write 5"}));
  EXPECT_TRUE(m_sink.messages().empty());
}

TEST_F(ExportTest, AWriteThatFailsMidwayStopsWithItsMessageAndKeepsWhatWasWritten) {
  for (const auto& [error, message] : {std::pair{ENOSPC, "Insufficient Disk Space in saving Location"},
                                       std::pair{EIO, "Error 5 while writing in File"}}) {
    MemoryDisk disk(12 * kMiB);
    RecordingTarget target;
    target.failStep = 1;
    target.failError = error;
    m_sink.clear();
    const ExportOutcome outcome = copy(disk, target);
    EXPECT_EQ(outcome.result, ExportOutcome::Result::WriteFailed);
    EXPECT_EQ(outcome.bytesWritten, 5 * kMiB);
    EXPECT_EQ(outcome.message, message);
    EXPECT_EQ(m_sink.messages(), std::vector<std::string>{message});
    EXPECT_EQ(target.steps, (std::vector<std::string>{"write 5", "write 5 failed"}));
  }
}

TEST_F(ExportTest, AReadThatFailsIsReportedNotSavedAsIfWhole) {
  MemoryDisk disk(12 * kMiB);
  disk.failAt = 5 * kMiB;
  RecordingTarget target;
  const ExportOutcome outcome = copy(disk, target);
  EXPECT_EQ(outcome.result, ExportOutcome::Result::ReadFailed);
  EXPECT_EQ(outcome.bytesWritten, 5 * kMiB);
  EXPECT_EQ(m_sink.messages().size(), 1u);
}

TEST_F(ExportTest, RunRefusesTooLittleSpaceAndTheImageItselfBeforeWritingAnything) {
  MemoryDisk disk(12 * kMiB);
  const std::string image = m_dir + "/disk.vhdx";
  test::writeBytes(image, std::vector<std::byte>(4096, std::byte{7}));
  DiskImageExport exporter(m_sink, m_stop, WorkerControl{});
  exporter.freeSpaceOf = [](const std::string&) { return std::optional<std::uint64_t>(kMiB); };
  const std::string target = m_dir + "/disk.vhdx.img";
  ExportOutcome outcome = exporter.run(disk, 12 * kMiB, image, target);
  EXPECT_EQ(outcome.message, "Insufficient Disk Space in saving Location");
  EXPECT_FALSE(fs::exists(target)) << "the space check leaves no file behind";

  exporter.freeSpaceOf = {};
  outcome = exporter.run(disk, 12 * kMiB, image, image);
  EXPECT_EQ(outcome.message, "Disk Image file cannot be created");
  EXPECT_EQ(fs::file_size(image), 4096u) << "the image was emptied";

  outcome = exporter.run(disk, 12 * kMiB, image, m_dir + "/no/such/folder/x.img");
  EXPECT_EQ(outcome.message, "File cannot be Created");

  m_sink.clear();
  outcome = exporter.run(disk, 12 * kMiB, image, target);
  EXPECT_EQ(outcome.result, ExportOutcome::Result::Saved);
  EXPECT_EQ(test::readHostFile(target), std::string(reinterpret_cast<const char*>(disk.m_bytes.data()), disk.m_bytes.size()));
  EXPECT_EQ(m_sink.lastStatus(), "Image Saved, click next to continue recovery proess.");
}

TEST_F(ExportTest, SaveImageOnTheScanModePageCopiesTheDiskOnItsWorkerAndLeavesNoReader) {
  test::VhdxShape shape;
  shape.diskSize = 12 * kMiB;
  shape.blocks[1] = test::patternBlock(1, shape.blockSize);
  shape.blocks[11] = test::patternBlock(11, shape.blockSize);
  const std::string image = m_dir + "/disk.vhdx";
  test::writeBytes(image, test::buildVhdx(shape));

  WizardState state;
  state.imagePath = image;
  PageView imageView;
  imageView.setText("Size of HDD:", "12");
  PageView view;
  DriveParsingModes page(state, imageView, view, m_sink);
  page.onOpen();
  EXPECT_FALSE(view.enabled(DriveParsingModes::kSaveImage));
  EXPECT_FALSE(page.onSaveImage([&] { return std::optional<std::string>(m_dir); })) << "Save Disk Image is not ticked";
  page.onSaveDiskImage(true);
  EXPECT_FALSE(page.onSaveImage([] { return std::nullopt; })) << "no folder chosen";
  ASSERT_TRUE(page.onSaveImage([&] { return std::optional<std::string>(m_dir); }));
  page.waitForExport();
  EXPECT_EQ(page.exportOutcome().result, ExportOutcome::Result::Saved);
  EXPECT_EQ(view.text(DriveParsingModes::kImagePath), m_dir + "/disk.vhdx.img");
  EXPECT_EQ(m_sink.messages().front(), "Make sure you have sufficient disk space at saving location of Image File");
  EXPECT_EQ(m_sink.lastStatus(), "Image Saved, click next to continue recovery proess.");
  EXPECT_FALSE(state.diskReader) << "the volume list page makes the next reader";
  EXPECT_EQ(state.disk.diskSectorCount, 0u);
  EXPECT_TRUE(view.enabled(DriveParsingModes::kNext));
  EXPECT_TRUE(view.enabled(DriveParsingModes::kSaveImage));
  EXPECT_FALSE(view.shown(DriveParsingModes::kProgress));

  // The file is the disk as the VHDX reader sees it.
  DiskContext context;
  FileReadSeekVHDX reader(context);
  ASSERT_TRUE(reader.open(image));
  std::vector<std::byte> disk(12 * kMiB);
  ASSERT_TRUE(reader.readAt(0, disk));
  EXPECT_EQ(test::sha256Hex(test::readHostFile(m_dir + "/disk.vhdx.img")), test::sha256Hex(disk));

  // Saving again into the same folder puts a number in front of the name.
  ASSERT_TRUE(page.onSaveImage([&] { return std::optional<std::string>(m_dir + "/"); }));
  page.waitForExport();
  EXPECT_EQ(page.exportTarget(), m_dir + "/1disk.vhdx.img");
  EXPECT_EQ(fs::file_size(m_dir + "/1disk.vhdx.img"), 12 * kMiB);

  const auto run = test::runTessary({"export", image, "--out", m_dir, "--quiet", "--json"});
  ASSERT_EQ(run.status, 0) << run.err;
  const auto objects = run.objects();  // (the path as JSON writes it: a Windows path's '\\' is escaped)
  ASSERT_EQ(objects.size(), 1u) << run.out;
  EXPECT_EQ(objects[0]["path"], m_dir + "/2disk.vhdx.img");
  EXPECT_EQ(objects[0]["written"], 12582912);
  // A missing output folder is made, as recover makes its own.
  const auto made = test::runTessary({"export", image, "--out", m_dir + "/absent/below", "--quiet"});
  ASSERT_EQ(made.status, 0) << made.err;
  EXPECT_EQ(fs::file_size(m_dir + "/absent/below/disk.vhdx.img"), 12 * kMiB);
}

}  // namespace
}  // namespace tessary
