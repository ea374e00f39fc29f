// NTFS in the file-system registry: its boot-record test, its MBR types, its modes and its parser.
#include "disk/read_write_interface.h"
#include "fs/ntfs/ntfs_layout.h"
#include "fs/registry.h"

namespace tessary {

std::unique_ptr<ParserSlot> createNtfsParser();
std::unique_ptr<CandidateScan> createNtfsCandidateScan();

namespace {

using namespace ntfs_detail;

BootRecordFind ntfsBootRecord(Bytes s, BootSite site) {
  BootRecordFind find;
  // NTFS is the default of MBR type 0x07: only exFAT claims such a sector.
  if (site == BootSite::MbrType07) return find;
  // The sector scan also wants the OEM name; a partition's first sector is taken on its jump alone.
  if (!soundBootSector(s, site == BootSite::SectorScan)) return find;
  find.claimed = true;
  const std::uint64_t total = le64At(s, kBootTotalSectors);
  const std::uint64_t sectorBytes = le16At(s, kBootBytesPerSector);
  // The NTFS total counts the volume's own sectors and leaves out its last one (the backup boot sector).
  const std::uint64_t bytes = bootVolumeBytes(checkedAdd(total, std::uint64_t{1}).value_or(UINT64_MAX), sectorBytes);
  find.listed = true;
  find.label = "NTFS";
  find.sizeText = bootSizeText("%lld   MB", bootVolumeMib(total, sectorBytes));
  find.status = "found NTFS %d...";
  find.numberedStatus = true;
  find.sizeSectors = bytes / kSectorSize;
  return find;
}

// The parser takes the boot sector's sizes when it names NTFS.
bool ntfsParserTakes(Bytes v) { return hasMagic(v, kBootOemId, "NTFS"); }

}  // namespace

FileSystemRow ntfsFileSystem() {
  FileSystemRow r;
  r.family = "NTFS";
  r.labels = {"ntfs"};
  r.treatAs = "NTFS";
  r.treatAsLabel = "ntfs";
  r.offersAdvanced = true;
  r.offersDeep = true;
  // Type 0x07 is NTFS unless the exFAT boot record claims the partition.
  r.mbrTypes = {{0x07, "NTFS", "found NTFS %d...", true, MbrTypeProbe::SharedType}, {0x42, "NTFS", "NTFS..."}};
  r.leadBytes = "\xEB";
  r.testBootRecord = ntfsBootRecord;
  r.parserTakes = ntfsParserTakes;
  r.createParser = createNtfsParser;
  r.createCandidateScan = createNtfsCandidateScan;
  r.restoresRecycleBinNames = true;
  return r;
}

}  // namespace tessary
