// FAT32 and FAT12/16 in the file-system registry: the boot-record test they share, their MBR types, their
// modes and their parsers.
#include "disk/read_write_interface.h"
#include "fs/fat/fat_layout.h"
#include "fs/registry.h"

namespace tessary {

std::unique_ptr<ParserSlot> createFat16Parser();
std::unique_ptr<ParserSlot> createFat32Parser();
std::unique_ptr<CandidateScan> createFat16CandidateScan();
std::unique_ptr<CandidateScan> createFat32CandidateScan();

namespace {

// FAT32 and FAT12/16 share the boot record; the sectors-per-FAT field tells them apart. Any maker's record
// with a sound geometry is taken.
BootRecordFind fatBootRecord(Bytes s, BootSite site, bool fat32) {
  BootRecordFind find;
  if (site == BootSite::MbrType07) return find;
  const std::optional<fat_layout::Geometry> geometry = fat_layout::scanGeometry(s);
  if (!geometry || (geometry->bits == 32) != fat32) return find;
  find.claimed = true;
  const std::uint64_t bytes = bootVolumeBytes(geometry->totalSectors, geometry->bytesPerSector);
  find.listed = true;
  // FAT12 volumes go to the FAT16 parser, which reads 12-bit entries by the cluster count.
  find.label = fat32 ? "FAT32" : "FAT16";
  find.sizeText = bootSizeText("%lld  MB", bootVolumeMib(geometry->totalSectors, geometry->bytesPerSector));
  find.status = fat32 ? "found FAT 32..." : "found FAT 16...";
  find.sizeSectors = bytes / kSectorSize;
  return find;
}

BootRecordFind fat32BootRecord(Bytes s, BootSite site) { return fatBootRecord(s, site, true); }
BootRecordFind fat16BootRecord(Bytes s, BootSite site) { return fatBootRecord(s, site, false); }
bool fat32ParserTakes(Bytes v) { return fat_layout::parserTakes(v, true); }
bool fat16ParserTakes(Bytes v) { return fat_layout::parserTakes(v, false); }

}  // namespace

FileSystemRow fat32FileSystem() {
  FileSystemRow r;
  r.family = "FAT32";
  r.labels = {"fat32"};
  r.treatAs = "FAT32";
  r.treatAsLabel = "fat32";
  r.offersAdvanced = true;
  r.asksFormatted = true;
  r.mbrTypes = {{0x0B, "FAT32", "found FAT 32..."}, {0x0C, "FAT32", "found FAT 32..."}};
  r.leadBytes = "\xEB";
  r.testBootRecord = fat32BootRecord;
  r.parserTakes = fat32ParserTakes;
  r.createParser = createFat32Parser;
  r.createCandidateScan = createFat32CandidateScan;
  r.restoresRecycleBinNames = true;
  return r;
}

FileSystemRow fat16FileSystem() {
  FileSystemRow r;
  r.family = "FAT16";
  r.labels = {"fat16", "fat", "fat12"};
  r.treatAs = "FAT16";
  r.treatAsLabel = "fat16";
  r.offersAdvanced = true;
  r.asksFormatted = true;
  // Type 0x01 volumes are listed as FAT12 (the FAT16 parser reads them) without a status line.
  r.mbrTypes = {{0x01, "FAT12"},
                {0x04, "FAT16", "found FAT 16..."},
                {0x06, "FAT16", "found FAT 16..."},
                {0x0E, "FAT16", "found FAT 16..."}};
  r.leadBytes = "\xEB";
  r.testBootRecord = fat16BootRecord;
  r.parserTakes = fat16ParserTakes;
  r.createParser = createFat16Parser;
  r.createCandidateScan = createFat16CandidateScan;
  return r;
}

}  // namespace tessary
