#include "support/made_up_file_system.h"

#include "support/disk_image_builder.h"
#include "support/memory_parser.h"

namespace tessary::test {

namespace {

bool testFsTakes(Bytes v) { return hasMagic(v, 0, kMadeUpMagic); }

BootRecordFind testFsBootRecord(Bytes s, BootSite site) {
  BootRecordFind find;
  if (site == BootSite::MbrType07 || !testFsTakes(s)) return find;
  const std::uint64_t mib = le32At(s, 8);
  find.claimed = true;
  find.listed = true;
  find.label = "TESTFS";
  find.status = "found TESTFS...";
  find.sizeText = bootSizeText("%lld  MB", mib);
  find.sizeSectors = mib << 11;
  return find;
}

std::unique_ptr<ParserSlot> createTestFsParser() {
  auto parser = std::make_unique<MemoryParser>();
  parser->add(1, "hello.txt", false, "hello");
  return parser;
}

}  // namespace

FileSystemRow madeUpFileSystemRow() {
  FileSystemRow r;
  r.family = "TESTFS";
  r.labels = {"testfs"};
  r.treatAs = "TESTFS";
  r.treatAsLabel = "TESTFS";
  r.leadBytes = "T";
  r.testBootRecord = testFsBootRecord;
  r.parserTakes = testFsTakes;
  r.createParser = createTestFsParser;
  return r;
}

void writeMadeUpDisk(const std::string& path) {
  DiskImage disk(32768);
  disk.tableEntry(0, 0, 0x83, 2048, 8192);   // a loose type: the boot records name the volume
  disk.tableEntry(0, 1, 0x99, 16384, 8192);  // no boot record: "Unknown", read with --fs
  disk.putText(2048, 0, kMadeUpMagic);
  disk.put32(2048, 8, 4);
  writeDiskVhdx(path, disk);
}

}  // namespace tessary::test
