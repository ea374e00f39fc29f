// Differencing images over their parents and the VHDX log replay: the input is a child and a parent
// (split where its first two bytes say), of the format its third byte picks. The parent stands beside the
// child under the names "base.vhdx", "base.avhdx", "base.vhd", "base.vdi" and "base.vmdk", which the
// child may record; the merged disk is read as a command reads it.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "disk/image_format.h"
#include "disk_reader_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tessary;
  if (size < 3) return 0;
  const std::size_t split = std::min<std::size_t>(size - 3, std::size_t{data[0]} << 12 | std::size_t{data[1]} << 4);
  static constexpr ImageFormat kFormats[] = {ImageFormat::Vhdx, ImageFormat::Vhd, ImageFormat::Vdi, ImageFormat::Vmdk};
  static constexpr const char* kExtensions[] = {"avhdx", "vhd", "vdi", "vmdk"};
  const std::size_t pick = data[2] % 4;
  const std::uint8_t* child = data + 3;
  const std::uint8_t* parent = child + split;
  const std::string folder = fuzz::fuzzFolder();
  const std::string image = folder + "/child." + kExtensions[pick];
  fuzz::putFile(image, child, split);
  for (const char* name : {"base.vhdx", "base.avhdx", "base.vhd", "base.vdi", "base.vmdk"})
    fuzz::putFile(folder + "/" + name, parent, size - 3 - split);

  DiskContext context;
  auto reader = createDiskReader(kFormats[pick], context);
  if (!reader->open(image)) return 0;
  const std::uint64_t diskBytes = context.diskSectorCount * kSectorSize;
  std::vector<std::byte> buffer(64 * 1024 + 512);
  if (reader->seek(0))
    for (int i = 0; i < 32; ++i)
      if (!reader->read(buffer.data(), static_cast<std::uint32_t>(buffer.size()))) break;
  std::uint64_t at = 0;
  for (int step = 0; step < 32 && at < diskBytes; ++step) {
    const auto next = reader->nextDataOffset(at);
    if (!next || *next < at) break;
    if (reader->seek(static_cast<std::int64_t>(*next))) reader->read(buffer.data(), 64 * 1024);
    at = *next + 64 * 1024;
  }
  reader->baseOffset = 1 << 20;
  if (reader->seek(100)) reader->read(buffer.data(), 700);
  return 0;
}
