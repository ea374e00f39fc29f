// HFS+ in the file-system registry: its volume-header test, its modes and its parser.
#include "disk/read_write_interface.h"
#include "fs/hfsplus/hfsplus_layout.h"
#include "fs/registry.h"

namespace tessary {

std::unique_ptr<ParserSlot> createHfsPlusParser();

namespace {

using namespace hfsplus_layout;

// The header sits 1024 bytes into the volume.
constexpr std::uint64_t kHeaderSector = kVolumeHeaderOffset / kSectorSize;
// HFS+ volumes above this many MiB are taken for noise.
constexpr std::uint64_t kMaxMib = 20971519;

BootRecordFind hfsPlusHeader(Bytes s, BootSite site) {
  BootRecordFind find;
  // The parser's own test of the header.
  if (site == BootSite::MbrType07 || !usableVolumeHeader(s)) return find;
  find.claimed = true;
  find.label = "HFS+";
  if (site == BootSite::Gpt) {
    // The partition table gives the size.
    find.listed = true;
    return find;
  }
  const std::uint64_t bytes = std::uint64_t{be32At(s, kBlockSize)} * be32At(s, kTotalBlocks);
  const std::uint64_t mib = bytes >> 20;
  // A header whose volume could not hold its own header is noise, and so is one past 20 TiB.
  if (bytes < (kHeaderSector + 1) * kSectorSize || mib > kMaxMib) return find;
  find.listed = true;
  find.sizeText = bootSizeText("%lld  MB", mib);
  find.status = "found HFS+...";
  // Counted from the header, the volume ends two sectors earlier than its size says.
  find.sizeSectors = bytes / kSectorSize - kHeaderSector;
  return find;
}

bool hfsPlusParserTakes(Bytes v) { return usableVolumeHeader(slice(v, kVolumeHeaderOffset, kVolumeHeaderSize)); }

}  // namespace

FileSystemRow hfsPlusFileSystem() {
  FileSystemRow r;
  r.family = "HFS+";
  r.labels = {"hfs+"};
  r.treatAs = "HFS+";
  r.treatAsLabel = "HFS+";
  r.offersDeep = true;
  r.headerSector = kHeaderSector;
  r.leadBytes = "H";
  r.testBootRecord = hfsPlusHeader;
  r.parserTakes = hfsPlusParserTakes;
  r.createParser = createHfsPlusParser;
  return r;
}

}  // namespace tessary
