// Fuzzes the VHD reader: any bytes as an image file, opened, read and walked by nextDataOffset.
#include "disk/vhd_reader.h"
#include "disk_reader_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  return tessary::fuzz::readWholeImage<tessary::FileReadSeekVHD>(data, size, "vhd");
}
