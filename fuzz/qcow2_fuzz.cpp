// Fuzzes the qcow2 reader: any bytes as an image file, opened, read (compressed clusters inflated) and
// walked by nextDataOffset.
#include "disk/qcow2_reader.h"
#include "disk_reader_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  return tessary::fuzz::readWholeImage<tessary::FileReadSeekQcow2>(data, size, "qcow2");
}
