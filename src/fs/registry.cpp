// The file-system registry: the rows in their order, and the look-ups the scans and the pages make.
#include "fs/registry.h"

#include <algorithm>
#include <array>
#include <cstdlib>

#include "platform/text.h"
#include "fs/candidate_scan.h"
#include "fs/parser_slot.h"

namespace tessary {

namespace {

// The raw page's row: no file system, the volume goes to signature carving.
FileSystemRow rawPage() {
  FileSystemRow r;
  r.family = "RAW";
  r.labels = {"raw"};
  r.treatAs = "RAW";
  r.treatAsLabel = "RAW";
  r.rawPage = true;
  return r;
}

// The bytes a sector's byte at `offset` can hold to pass some row's boot-record test.
struct Lead {
  std::size_t offset = 0;
  std::array<bool, 256> bytes{};
};

// Rows a test may add; the rows' storage is reserved for them, so no row moves.
constexpr std::size_t kMaxAddedRows = 4;

struct Registry {
  std::vector<FileSystemRow> rows;
  std::vector<Lead> leads;

  void gatherLeads() {
    leads.clear();
    for (const FileSystemRow& row : rows) {
      if (row.leadBytes.empty()) continue;
      auto at = std::find_if(leads.begin(), leads.end(), [&](const Lead& l) { return l.offset == row.leadOffset; });
      if (at == leads.end()) at = leads.insert(leads.end(), Lead{row.leadOffset, {}});
      for (char c : row.leadBytes) at->bytes[static_cast<std::uint8_t>(c)] = true;
    }
  }
};

Registry& registry() {
  static Registry r = [] {
    Registry made;
    // One line per file system, in the order the scans test boot records.
    made.rows = {
        ntfsFileSystem(),
        fat32FileSystem(),
        fat16FileSystem(),
        exfatFileSystem(),
        extFileSystem(),
        hfsPlusFileSystem(),
        rawPage(),
    };
    made.rows.reserve(made.rows.size() + kMaxAddedRows);
    made.gatherLeads();
    return made;
  }();
  return r;
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

std::uint64_t bootVolumeBytes(std::uint64_t sectors, std::uint64_t sectorBytes) {
  return checkedMul(sectors, sectorBytes).value_or(UINT64_MAX);
}
std::uint64_t bootVolumeMib(std::uint64_t sectors, std::uint64_t sectorBytes) {
  return sectorBytes == 0 ? 0 : sectors / ((std::uint64_t{1} << 20) / sectorBytes);
}
std::string bootSizeText(const char* fmt, std::uint64_t mib) { return format(fmt, static_cast<long long>(mib)); }

const std::vector<FileSystemRow>& fileSystemRows() { return registry().rows; }

AddedFileSystem::AddedFileSystem(FileSystemRow row) {
  Registry& r = registry();
  if (r.rows.size() == r.rows.capacity()) std::abort();  // more made-up rows than reserved
  r.rows.push_back(std::move(row));
  r.gatherLeads();
}

AddedFileSystem::~AddedFileSystem() {
  Registry& r = registry();
  r.rows.pop_back();
  r.gatherLeads();
}

const MbrTypeEntry* mbrTypeEntry(std::uint8_t type) {
  for (const FileSystemRow& row : fileSystemRows())
    for (const MbrTypeEntry& entry : row.mbrTypes)
      if (entry.type == type) return &entry;
  return nullptr;
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
  for (const Lead& lead : registry().leads)
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
