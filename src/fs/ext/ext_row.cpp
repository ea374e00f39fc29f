// ext2/3/4 in the file-system registry: its superblock test, its MBR type, its modes and its parser.
#include "disk/read_write_interface.h"
#include "fs/ext/ext_layout.h"
#include "fs/registry.h"

namespace tessary {

std::unique_ptr<ParserSlot> createExtParser();

namespace {

using namespace ext_layout;

// The primary superblock sits 1024 bytes into the volume.
constexpr std::uint64_t kPrimaryOffset = 1024;
constexpr std::uint64_t kHeaderSector = kPrimaryOffset / kSectorSize;

// The parser's superblock test for the primary copy, and of those only the revisions and first data block
// a formatter writes (the superblock lies in block 1 of a volume with 1 KiB blocks, in block 0 otherwise).
std::uint64_t primaryVolumeBytes(Bytes s) {
  const std::optional<SuperblockShape> shape = superblockShape(s, kPrimaryOffset);
  if (!shape || le32At(s, kSbRevLevel) > 1) return 0;
  if (shape->firstDataBlock != (shape->blockSize == 1024 ? 1u : 0u)) return 0;
  return shape->volumeBytes;
}

BootRecordFind extSuperblock(Bytes s, BootSite site) {
  BootRecordFind find;
  if (site == BootSite::MbrType07) return find;
  const std::uint64_t bytes = primaryVolumeBytes(s);
  if (bytes == 0) return find;
  find.claimed = true;
  find.listed = true;
  find.label = "extX";
  find.status = "found ext2...";
  if (site == BootSite::Gpt) return find;  // the partition table gives the size
  find.sizeText = bootSizeText("%lld  MB", bytes >> 20);
  // Counted from the superblock, the volume ends two sectors earlier than its size says.
  find.sizeSectors = bytes / kSectorSize > kHeaderSector ? bytes / kSectorSize - kHeaderSector : 1;
  return find;
}

bool extParserTakes(Bytes v) {
  return superblockShape(slice(v, kPrimaryOffset, kSuperblockSize), kPrimaryOffset).has_value();
}

}  // namespace

FileSystemRow extFileSystem() {
  FileSystemRow r;
  r.family = "ext";
  r.labels = {"extx"};
  r.treatAs = "EXTX";
  r.treatAsLabel = "extX";
  // Type 0x83 is any Linux file system: the boot records say which; without one it stays ext.
  r.mbrTypes = {{0x83, "extX", "found ext2...", false, MbrTypeProbe::AnyRow}};
  r.headerSector = kHeaderSector;
  r.leadOffset = kSbMagic;
  r.leadBytes = "\x53";
  r.testBootRecord = extSuperblock;
  r.parserTakes = extParserTakes;
  r.createParser = createExtParser;
  return r;
}

}  // namespace tessary
