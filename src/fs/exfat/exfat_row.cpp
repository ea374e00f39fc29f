// exFAT in the file-system registry: its boot-record test, its modes and its parser. It shares MBR type
// 0x07 with NTFS, whose row names that type.
#include "disk/read_write_interface.h"
#include "fs/exfat/exfat_layout.h"
#include "fs/registry.h"

namespace tessary {

std::unique_ptr<ParserSlot> createFat64Parser();
std::unique_ptr<CandidateScan> createFat64CandidateScan();

namespace {

using namespace exfat_layout;

constexpr std::uint64_t kMib = 1 << 20;

// The parser's boot-sector test, and a short jump (exFAT formats with 0x76; the FAT targets are taken too).
bool exfatBootRecord(Bytes s) {
  const std::uint8_t target = u8At(s, kBootJump + 1);
  return u8At(s, kBootJump) == 0xEB && (target == 0x76 || target == 0x3C || target == 0x58) && usableBootSector(s);
}

BootRecordFind exfatFind(Bytes s, BootSite site) {
  BootRecordFind find;
  if (!exfatBootRecord(s)) return find;
  find.claimed = true;
  find.label = "FAT64";
  if (site == BootSite::MbrType07) {
    // The partition table gives the size; only the label and the status come from the boot record.
    find.listed = true;
    find.status = "found FAT64...";
    return find;
  }
  // The volume length counts sectors of 2^shift bytes (512 to 4096).
  const std::uint64_t sectorBytes = std::uint64_t{1} << u8At(s, kBootBytesPerSectorShift);
  const std::uint64_t length = le64At(s, kBootVolumeLength);
  const std::uint64_t bytes = bootVolumeBytes(length, sectorBytes);
  // exFAT volumes are 1 MiB at the least.
  if (bytes < kMib) return find;
  find.listed = true;
  find.sizeText = bootSizeText("%lld  MB", bootVolumeMib(length, sectorBytes));
  find.status = "found FAT 64...";
  find.sizeSectors = bytes / kSectorSize;
  return find;
}

bool exfatParserTakes(Bytes v) { return usableBootSector(v); }

}  // namespace

FileSystemRow exfatFileSystem() {
  FileSystemRow r;
  r.family = "exFAT";
  r.labels = {"fat64", "exfat"};
  r.treatAs = "FAT64";
  r.treatAsLabel = "fat64";
  r.offersAdvanced = true;
  r.asksFormatted = true;
  r.leadBytes = "\xEB";
  r.testBootRecord = exfatFind;
  r.parserTakes = exfatParserTakes;
  r.createParser = createFat64Parser;
  r.createCandidateScan = createFat64CandidateScan;
  r.restoresRecycleBinNames = true;
  return r;
}

}  // namespace tessary
