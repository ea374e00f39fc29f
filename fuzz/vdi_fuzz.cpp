// Fuzzes the VDI reader: any bytes as an image file, opened, read and walked by nextDataOffset.
#include "disk/vdi_reader.h"
#include "disk_reader_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  return tessary::fuzz::readWholeImage<tessary::FileReadSeekVdi>(data, size, "vdi");
}
