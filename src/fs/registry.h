// The file systems the system knows, one row each: the labels that name it, the boot-record test the
// volume scans and its parser share, the MBR types that name it, the recovery modes it offers, its "Treat
// file system as:" entry, the factories of its results parser and of its advanced-input candidate scan,
// and whether recycle-bin names are restored. Each row is made in its file system's own folder under fs/
// (fs/<x>/<x>_row.cpp); adding a file system is that folder and one line in fs/registry.cpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/bytes.h"

namespace tessary {

class ParserSlot;
class CandidateScan;

// Where a volume scan tests a sector for a boot record.
enum class BootSite {
  SectorScan,  // the advanced scan, every sector of the range
  // A partition's first sector (and, for headers that sit further in, the sector they sit at) when the
  // table's type does not name the file system: every GPT entry, and MBR entries of other types. The table
  // gives the size.
  Gpt,
  MbrType07,   // the first sector of an MBR entry of type 0x07, which NTFS and exFAT share
};

// What a row's boot-record test makes of one sector.
struct BootRecordFind {
  bool claimed = false;  // the row recognises the record: no later row tests this sector
  bool listed = false;   // a volume is listed (false: too small, or refused with `status`)
  std::string label;     // the volume's file-system label ("NTFS", "FAT32", ...)
  std::string sizeText;  // the size as the volume list shows it
  std::string status;    // the status line the find shows (also when nothing is listed); none when empty
  // The status holds one "%d" that the scan fills with its running count of this family's finds.
  bool numberedStatus = false;
  std::uint64_t sizeSectors = 0;  // from the tested sector to the first sector after the volume
  std::uint64_t headerSector = 0;  // the claiming row's: the volume starts this many sectors earlier
};

// How an MBR partition type names a row's file system.
enum class MbrTypeProbe {
  None,        // the type names the file system; the partition's sectors are not read
  SharedType,  // another file system shares the type: its first sector is tested at BootSite::MbrType07
  AnyRow,      // a loose type: every row's boot record is tested, as for a GPT entry
};

// One MBR partition type a row's file system is made with, and what the volume list shows for it.
struct MbrTypeEntry {
  std::uint8_t type = 0;
  const char* label = "";            // the volume's label
  const char* status = nullptr;      // the status line of the find; none when null
  bool numberedStatus = false;       // the status holds a "%d" (see BootRecordFind)
  // With a probe, this entry names the volume only when no row claims its boot records.
  MbrTypeProbe probe = MbrTypeProbe::None;
};

// How much of a volume's start the parsers' boot-record tests read.
constexpr std::size_t kParserTestBytes = 4096;

struct FileSystemRow {
  // The family's name as people call it ("NTFS", "FAT16", "exFAT", "ext", "HFS+", "RAW").
  const char* family = "";
  // Labels and aliases that name this row, compared without regard to case.
  std::vector<std::string> labels;
  // The entry of "Treat file system as:" and the label choosing it gives a volume; none when not offered.
  const char* treatAs = nullptr;
  const char* treatAsLabel = nullptr;
  // Modes the recovery-mode page offers (Standard always, when a parser exists).
  bool offersAdvanced = false;
  bool offersDeep = false;
  // The recovery-mode page asks "Is Drive Formated..?" (the advanced candidate search reads it).
  bool asksFormatted = false;
  // The MBR partition types made for this file system.
  std::vector<MbrTypeEntry> mbrTypes;
  // Sectors from the volume's first sector to the sector the boot-record test reads (HFS+: 2).
  std::uint64_t headerSector = 0;
  // The bytes the sector's byte at `leadOffset` can hold to pass the boot-record test (the sector scan's
  // fast path).
  std::size_t leadOffset = 0;
  std::string_view leadBytes;
  // The boot-record test of the three scans; null when the family has no boot record to find. It takes only
  // records that the parser's own test (below) takes too.
  BootRecordFind (*testBootRecord)(Bytes sector, BootSite site) = nullptr;
  // The parser's test of a volume's boot record, on the volume's first kParserTestBytes bytes; null when
  // the family has none. Whatever it takes at a volume's start, the sector scan finds there.
  bool (*parserTakes)(Bytes volumeStart) = nullptr;
  // The results page's parser; null while this build has none.
  std::unique_ptr<ParserSlot> (*createParser)() = nullptr;
  // The advanced-input page's candidate scan; null when the family has no Advanced mode yet.
  std::unique_ptr<CandidateScan> (*createCandidateScan)() = nullptr;
  // Whether Save gives the files of its recycle bins their former names back.
  bool restoresRecycleBinNames = false;
  // The volume goes to the raw page instead of the recovery-mode page.
  bool rawPage = false;
};

// Each file system's row, made in its own folder.
FileSystemRow ntfsFileSystem();
FileSystemRow fat32FileSystem();
FileSystemRow fat16FileSystem();
FileSystemRow exfatFileSystem();
FileSystemRow extFileSystem();
FileSystemRow hfsPlusFileSystem();

// Helpers of the boot-record tests: a record's size in bytes from its count of its own sectors and their
// size (512 to 4096), saturated; the same size in whole MiB, exact however large the count; the volume
// list's size text for a count of MiB ("%lld  MB").
std::uint64_t bootVolumeBytes(std::uint64_t sectors, std::uint64_t sectorBytes);
std::uint64_t bootVolumeMib(std::uint64_t sectors, std::uint64_t sectorBytes);
std::string bootSizeText(const char* fmt, std::uint64_t mib);

// Every row, in the order the scans test boot records.
const std::vector<FileSystemRow>& fileSystemRows();

// A row after the built-in ones for as long as this lives: a file system made up by a test, with the same
// reach as one line of fs/registry.cpp. Made and destroyed while no scan or page runs, the last made first.
class AddedFileSystem {
 public:
  explicit AddedFileSystem(FileSystemRow row);
  ~AddedFileSystem();
  AddedFileSystem(const AddedFileSystem&) = delete;
  AddedFileSystem& operator=(const AddedFileSystem&) = delete;
};
// The first row's entry for an MBR partition type, or none when no row is made with that type.
const MbrTypeEntry* mbrTypeEntry(std::uint8_t type);
// The row whose label or alias equals `label` without regard to case, or none.
const FileSystemRow* fileSystemForLabel(std::string_view label);
// The "Treat file system as:" entries, sorted, as the drop-down list shows them.
std::vector<std::string> treatAsEntries();
// The row chosen by a "Treat file system as:" entry (case ignored), or none.
const FileSystemRow* fileSystemForTreatAs(std::string_view entry);
// The first row that claims the sector at this site, with what it found; an empty find when none does.
// Only rows whose record sits `headerSector` sectors into the volume are asked; the sector scan, which
// does not know where a volume starts, asks every row (testBootRecordsAnywhere).
BootRecordFind testBootRecords(Bytes sector, BootSite site, std::uint64_t headerSector);
BootRecordFind testBootRecordsAnywhere(Bytes sector, BootSite site);
// Whether the sector can pass any row's boot-record test (a test of one or two bytes).
bool mayHoldBootRecord(Bytes sector);
// The distinct header sectors above 0 of the rows (where the GPT path reads a second sector).
std::vector<std::uint64_t> laterHeaderSectors();

// Creates the results parser for a volume label, or none when no parser takes that label.
std::unique_ptr<ParserSlot> createParserForLabel(const std::string& label);
// Whether this build has the worker `mode` (1 standard, 2 advanced, 3 deep) needs for the label: a parser
// that runs the mode and, for Advanced, the advanced-input page's candidate scan.
bool modeBuilt(const std::string& label, int mode);

}  // namespace tessary
