// Detection written once: every volume of every fixture whose boot record its file system's parser takes
// is found at its start by the boot-record (advanced) scan.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <filesystem>
#include <set>

#include "disk/image_format.h"
#include "fs/registry.h"
#include "support/fixtures.h"
#include "support/recording_sink.h"
#include "volumes/partition.h"

namespace tessary {
namespace {

std::vector<VolumeEntry> scan(readWriteInterface& reader, std::uint64_t diskSectors, std::uint32_t sectorBytes,
                              bool advanced, std::int64_t first = 0, std::int64_t last = 0, bool gpt = false) {
  RecordingSink sink;
  std::vector<VolumeEntry> found;
  Partition partition(sink, [&](const VolumeEntry& e) { found.push_back(e); });
  partition.sectorBytes = sectorBytes;
  partition.useGpt = gpt ? 1 : 0;
  partition.startSector = first;
  partition.endSector = last;
  if (advanced)
    partition.advancedScan(reader, diskSectors);
  else
    partition.standardScan(reader, diskSectors);
  return found;
}

// Every disk image among the fixtures: the flat ones, the image formats, the chains' children.
std::vector<std::string> fixtureImages() {
  static const std::set<std::string> kExtensions{".vhdx", ".avhdx", ".vhd", ".vdi", ".vmdk", ".qcow2", ".img"};
  std::vector<std::string> out;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(TESSARY_FIXTURE_DIR, error))
    if (entry.is_regular_file() && kExtensions.count(entry.path().extension().string()))
      out.push_back(entry.path().string());
  std::sort(out.begin(), out.end());
  return out;
}

TEST(FileSystemDetection, EveryFixtureVolumeAParserTakesTheBootRecordScanFindsAtItsStart) {
  const std::vector<std::string> images = fixtureImages();
  if (images.empty()) GTEST_SKIP() << "no fixtures";
  int checked = 0;
  for (const std::string& path : images) {
    DiskContext context;
    const std::unique_ptr<readWriteInterface> reader = createDiskReader(imageFormatOf(path), context);
    // Split extents and parents without their children are no disks of their own.
    if (!reader || !reader->open(path) || context.diskSectorCount == 0) continue;
    const std::uint32_t sectorBytes = logicalSectorBytes(context);
    std::array<std::byte, kSectorSize> first{};
    reader->readAt(0, first);
    const bool gpt = mbrHoldsOnlyProtectiveEntry(first);
    for (const VolumeEntry& volume : scan(*reader, context.diskSectorCount, sectorBytes, false, 0, 0, gpt)) {
      const FileSystemRow* row = fileSystemForLabel(volume.fileSystem);
      if (!row || !row->parserTakes) continue;
      std::vector<std::byte> start(kParserTestBytes);
      const std::int64_t offset = volume.startSector * static_cast<std::int64_t>(sectorBytes);
      if (!reader->readAt(offset, start) || !row->parserTakes(start)) continue;
      ++checked;
      // A range of a few sectors from the volume's start: the scan reads the piece it lies in.
      const std::vector<VolumeEntry> found =
          scan(*reader, context.diskSectorCount, sectorBytes, true, volume.startSector, volume.startSector + 8);
      const bool atStart = std::any_of(found.begin(), found.end(), [&](const VolumeEntry& e) {
        return e.startSector == volume.startSector && fileSystemForLabel(e.fileSystem) == row;
      });
      EXPECT_TRUE(atStart) << path << ": " << volume.fileSystem << " volume at sector " << volume.startSector;
    }
  }
  // The fixtures hold volumes of every file system with a parser.
  EXPECT_GE(checked, 20);
}

}  // namespace
}  // namespace tessary
