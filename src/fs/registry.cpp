// The file-system registry's rows and the boot-record tests the volume scans share.
#include "fs/registry.h"

#include <algorithm>
#include <array>

#include "platform/text.h"
#include "results/candidate_scan.h"
#include "results/parser_slot.h"
#include "volumes/boot_record.h"

namespace tessary {

std::unique_ptr<ParserSlot> createNtfsParser();
std::unique_ptr<CandidateScan> createNtfsCandidateScan();
std::unique_ptr<ParserSlot> createFat64Parser();
std::unique_ptr<CandidateScan> createFat64CandidateScan();
std::unique_ptr<ParserSlot> createFat16Parser();
std::unique_ptr<ParserSlot> createFat32Parser();
std::unique_ptr<CandidateScan> createFat16CandidateScan();
std::unique_ptr<CandidateScan> createFat32CandidateScan();
std::unique_ptr<ParserSlot> createHfsPlusParser();
std::unique_ptr<ParserSlot> createExtParser();

namespace {

using namespace volumes;

// HFS+ volumes above this many MiB are taken for noise.
constexpr std::uint64_t kMaxHfsPlusMib = 20971519;

std::string mibText(const char* fmt, std::uint64_t mib) { return format(fmt, static_cast<long long>(mib)); }

constexpr std::uint64_t kMib = 1 << 20;

// A boot record's size in bytes: its count of its own sectors times their size (512 to 4096), saturated.
std::uint64_t volumeBytes(std::uint64_t sectors, std::uint64_t sectorBytes) {
  return checkedMul(sectors, sectorBytes).value_or(UINT64_MAX);
}
// The same size in whole MiB, exact however large the count.
std::uint64_t volumeMib(std::uint64_t sectors, std::uint64_t sectorBytes) { return sectors / (kMib / sectorBytes); }

BootRecordFind ntfsBootRecord(Bytes s, BootSite site) {
  BootRecordFind find;
  // NTFS is the default of MBR type 0x07: only exFAT claims such a sector.
  if (site == BootSite::MbrType07) return find;
  // The sector scan also wants the OEM name; a partition's first sector is taken on its jump alone.
  if (!boot::ntfsBootRecord(s, site == BootSite::SectorScan)) return find;
  find.claimed = true;
  const std::uint64_t total = le64At(s, boot::kNtfsTotalSectors);
  // The NTFS total counts the volume's own sectors and leaves out its last one (the backup boot sector).
  const std::uint64_t bytes = volumeBytes(checkedAdd(total, std::uint64_t{1}).value_or(UINT64_MAX),
                                          le16At(s, boot::kBytesPerSector));
  find.listed = true;
  find.label = "NTFS";
  find.sizeText = mibText("%lld   MB", volumeMib(total, le16At(s, boot::kBytesPerSector)));
  find.status = "found NTFS %d...";
  find.numberedStatus = true;
  find.sizeSectors = bytes / kSectorSize;
  return find;
}

// FAT32 and FAT12/16 share the boot record; the sectors-per-FAT field tells them apart. Any maker's record
// with a sound geometry is taken, as the FAT parser takes it.
BootRecordFind fatBootRecord(Bytes s, BootSite site, bool fat32) {
  BootRecordFind find;
  if (site == BootSite::MbrType07) return find;
  const std::optional<boot::FatGeometry> geometry = boot::fatGeometry(s);
  if (!geometry || (geometry->bits == 32) != fat32) return find;
  find.claimed = true;
  const std::uint64_t bytes = volumeBytes(geometry->totalSectors, geometry->bytesPerSector);
  find.listed = true;
  // FAT12 volumes go to the FAT16 parser, which reads 12-bit entries by the cluster count.
  find.label = fat32 ? "FAT32" : "FAT16";
  find.sizeText = mibText("%lld  MB", volumeMib(geometry->totalSectors, geometry->bytesPerSector));
  find.status = fat32 ? "found FAT 32..." : "found FAT 16...";
  find.sizeSectors = bytes / kSectorSize;
  return find;
}

BootRecordFind fat32BootRecord(Bytes s, BootSite site) { return fatBootRecord(s, site, true); }
BootRecordFind fat16BootRecord(Bytes s, BootSite site) { return fatBootRecord(s, site, false); }

BootRecordFind exfatBootRecord(Bytes s, BootSite site) {
  BootRecordFind find;
  if (!boot::exfatBootRecord(s)) return find;
  find.claimed = true;
  find.label = "FAT64";
  if (site == BootSite::MbrType07) {
    // The partition table gives the size; only the label and the status come from the boot record.
    find.listed = true;
    find.status = "found FAT64...";
    return find;
  }
  // The volume length counts sectors of 2^shift bytes (512 to 4096).
  const std::uint8_t shift = u8At(s, boot::kExfatSectorShift);
  const std::uint64_t sectorBytes = shift >= 9 && shift <= 12 ? std::uint64_t{1} << shift : kSectorSize;
  const std::uint64_t length = le64At(s, boot::kExfatVolumeLength);
  const std::uint64_t bytes = volumeBytes(length, sectorBytes);
  // exFAT volumes are 1 MiB at the least.
  if (bytes < kMib) return find;
  find.listed = true;
  find.sizeText = mibText("%lld  MB", volumeMib(length, sectorBytes));
  find.status = "found FAT 64...";
  find.sizeSectors = bytes / kSectorSize;
  return find;
}

BootRecordFind hfsPlusHeader(Bytes s, BootSite site) {
  BootRecordFind find;
  if (site == BootSite::MbrType07 || !hfsplus::volumeHeader(s)) return find;
  find.claimed = true;
  find.label = "HFS+";
  if (site == BootSite::Gpt) {
    // The partition table gives the size.
    find.listed = true;
    return find;
  }
  const std::uint64_t bytes = hfsplus::volumeBytes(s);
  const std::uint64_t mib = bytes >> 20;
  // A header whose volume could not hold its own header is noise, and so is one past 20 TiB.
  if (bytes < (hfsplus::kHeaderOffsetSectors + 1) * kSectorSize || mib > kMaxHfsPlusMib) return find;
  find.listed = true;
  find.sizeText = mibText("%lld  MB", mib);
  find.status = "found HFS+...";
  // Counted from the header, the volume ends two sectors earlier than its size says.
  find.sizeSectors = bytes / kSectorSize - hfsplus::kHeaderOffsetSectors;
  return find;
}

BootRecordFind extSuperblock(Bytes s, BootSite site) {
  BootRecordFind find;
  if (site == BootSite::MbrType07) return find;
  const std::uint64_t bytes = ext::volumeBytes(s);
  if (bytes == 0) return find;
  find.claimed = true;
  find.listed = true;
  find.label = "extX";
  find.status = "found ext2...";
  if (site == BootSite::Gpt) return find;  // the partition table gives the size
  find.sizeText = mibText("%lld  MB", bytes >> 20);
  // Counted from the superblock, the volume ends two sectors earlier than its size says.
  find.sizeSectors = bytes / kSectorSize > ext::kHeaderOffsetSectors ? bytes / kSectorSize - ext::kHeaderOffsetSectors : 1;
  return find;
}

std::vector<FileSystemRow> makeRows() {
  std::vector<FileSystemRow> rows;
  {
    FileSystemRow r;
    r.family = "NTFS";
    r.labels = {"ntfs"};
    r.treatAs = "NTFS";
    r.treatAsLabel = "ntfs";
    r.offersAdvanced = true;
    r.offersDeep = true;
    r.leadBytes = "\xEB";
    r.testBootRecord = ntfsBootRecord;
    r.createParser = createNtfsParser;
    r.createCandidateScan = createNtfsCandidateScan;
    r.restoresRecycleBinNames = true;
    rows.push_back(std::move(r));
  }
  {
    FileSystemRow r;
    r.family = "FAT32";
    r.labels = {"fat32"};
    r.treatAs = "FAT32";
    r.treatAsLabel = "fat32";
    r.offersAdvanced = true;
    r.leadBytes = "\xEB";
    r.testBootRecord = fat32BootRecord;
    r.createParser = createFat32Parser;
    r.createCandidateScan = createFat32CandidateScan;
    r.restoresRecycleBinNames = true;
    rows.push_back(std::move(r));
  }
  {
    FileSystemRow r;
    r.family = "FAT16";
    r.labels = {"fat16", "fat", "fat12"};
    r.treatAs = "FAT16";
    r.treatAsLabel = "fat16";
    r.offersAdvanced = true;
    r.leadBytes = "\xEB";
    r.testBootRecord = fat16BootRecord;
    r.createParser = createFat16Parser;
    r.createCandidateScan = createFat16CandidateScan;
    rows.push_back(std::move(r));
  }
  {
    FileSystemRow r;
    r.family = "exFAT";
    r.labels = {"fat64", "exfat"};
    r.treatAs = "FAT64";
    r.treatAsLabel = "fat64";
    r.offersAdvanced = true;
    r.leadBytes = "\xEB";
    r.testBootRecord = exfatBootRecord;
    r.createParser = createFat64Parser;
    r.createCandidateScan = createFat64CandidateScan;
    r.restoresRecycleBinNames = true;
    rows.push_back(std::move(r));
  }
  {
    FileSystemRow r;
    r.family = "ext";
    r.labels = {"extx"};
    r.treatAs = "EXTX";
    r.treatAsLabel = "extX";
    r.headerSector = ext::kHeaderOffsetSectors;
    r.leadOffset = ext::kMagic;
    r.leadBytes = "\x53";
    r.testBootRecord = extSuperblock;
    r.createParser = createExtParser;
    rows.push_back(std::move(r));
  }
  {
    FileSystemRow r;
    r.family = "HFS+";
    r.labels = {"hfs+"};
    r.treatAs = "HFS+";
    r.treatAsLabel = "HFS+";
    r.offersDeep = true;
    r.headerSector = hfsplus::kHeaderOffsetSectors;
    r.leadBytes = "H";
    r.testBootRecord = hfsPlusHeader;
    r.createParser = createHfsPlusParser;
    rows.push_back(std::move(r));
  }
  {
    FileSystemRow r;
    r.family = "RAW";
    r.labels = {"raw"};
    r.treatAs = "RAW";
    r.treatAsLabel = "RAW";
    r.rawPage = true;
    rows.push_back(std::move(r));
  }
  return rows;
}

BootRecordFind firstClaim(Bytes sector, BootSite site, const std::uint64_t* headerSector) {
  for (const FileSystemRow& row : fileSystemRows()) {
    if (!row.testBootRecord || (headerSector && row.headerSector != *headerSector)) continue;
    BootRecordFind find = row.testBootRecord(sector, site);
    if (!find.claimed) continue;
    find.headerSector = row.headerSector;
    return find;
  }
  return {};
}

}  // namespace

const std::vector<FileSystemRow>& fileSystemRows() {
  static const std::vector<FileSystemRow> rows = makeRows();
  return rows;
}

const FileSystemRow* fileSystemForLabel(std::string_view label) {
  for (const FileSystemRow& row : fileSystemRows())
    for (const std::string& name : row.labels)
      if (equalsNoCase(label, name)) return &row;
  return nullptr;
}

std::vector<std::string> treatAsEntries() {
  std::vector<std::string> entries;
  for (const FileSystemRow& row : fileSystemRows())
    if (row.treatAs) entries.emplace_back(row.treatAs);
  // The drop-down list is sorted.
  std::sort(entries.begin(), entries.end());
  return entries;
}

const FileSystemRow* fileSystemForTreatAs(std::string_view entry) {
  for (const FileSystemRow& row : fileSystemRows())
    if (row.treatAs && equalsNoCase(entry, row.treatAs)) return &row;
  return nullptr;
}

BootRecordFind testBootRecords(Bytes sector, BootSite site, std::uint64_t headerSector) {
  return firstClaim(sector, site, &headerSector);
}

BootRecordFind testBootRecordsAnywhere(Bytes sector, BootSite site) { return firstClaim(sector, site, nullptr); }

bool mayHoldBootRecord(Bytes sector) {
  struct Lead {
    std::size_t offset = 0;
    std::array<bool, 256> bytes{};
  };
  static const std::vector<Lead> leads = [] {
    std::vector<Lead> out;
    for (const FileSystemRow& row : fileSystemRows()) {
      if (row.leadBytes.empty()) continue;
      auto at = std::find_if(out.begin(), out.end(), [&](const Lead& l) { return l.offset == row.leadOffset; });
      if (at == out.end()) at = out.insert(out.end(), Lead{row.leadOffset, {}});
      for (char c : row.leadBytes) at->bytes[static_cast<std::uint8_t>(c)] = true;
    }
    return out;
  }();
  for (const Lead& lead : leads)
    if (lead.offset < sector.size() && lead.bytes[std::to_integer<std::uint8_t>(sector[lead.offset])]) return true;
  return false;
}

std::vector<std::uint64_t> laterHeaderSectors() {
  std::vector<std::uint64_t> sectors;
  for (const FileSystemRow& row : fileSystemRows())
    if (row.headerSector > 0 && std::find(sectors.begin(), sectors.end(), row.headerSector) == sectors.end())
      sectors.push_back(row.headerSector);
  return sectors;
}

std::unique_ptr<ParserSlot> createParserForLabel(const std::string& label) {
  const FileSystemRow* row = fileSystemForLabel(label);
  if (!row || !row->createParser) return nullptr;
  return row->createParser();
}

bool modeBuilt(const std::string& label, int mode) {
  const FileSystemRow* row = fileSystemForLabel(label);
  if (!row || !row->createParser) return false;
  if (mode == 2 && !row->createCandidateScan) return false;
  return row->createParser()->supportsMode(mode);
}

}  // namespace tessary
