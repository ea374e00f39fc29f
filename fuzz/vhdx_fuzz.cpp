// The VHDX layer: the image page's reading of the file's values and warnings, then the reader's open and
// reads through the block table (the first sectors, each block that holds data, reads across block ends,
// the disk's last sector and past it), also with the image page's corrections of the block size.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "disk/vhdx_reader.h"
#include "platform/page_sink.h"
#include "support/memory_image_file.h"

namespace {

using tessary::DiskContext;
using tessary::FileReadSeekVHDX;
using tessary::kSectorSize;

constexpr std::size_t kMaxBlocksRead = 64;

bool allZero(const std::vector<std::byte>& bytes) {
  return std::all_of(bytes.begin(), bytes.end(), [](std::byte b) { return b == std::byte{0}; });
}

void readThrough(FileReadSeekVHDX& reader, std::uint64_t diskBytes) {
  std::vector<std::byte> buffer(64 * 1024);
  (void)reader.readAt(0, buffer);
  const std::uint64_t blockBytes = std::uint64_t{reader.blockSectors} * kSectorSize;
  std::uint64_t at = 0;
  for (std::size_t n = 0; n < kMaxBlocksRead && at < diskBytes; ++n) {
    const auto next = reader.nextDataOffset(at);
    // What lies before the next block with data reads as zeros.
    if (next && *next > at) {
      std::vector<std::byte> gap(static_cast<std::size_t>(std::min<std::uint64_t>(*next - at, kSectorSize)));
      (void)reader.readAt(static_cast<std::int64_t>(at), gap);
      if (!allZero(gap)) {
        std::fprintf(stderr, "bytes at %llu, before the next data block, are not zeros\n",
                     static_cast<unsigned long long>(at));
        std::abort();
      }
    }
    if (!next || *next >= diskBytes || *next > static_cast<std::uint64_t>(INT64_MAX) - blockBytes) break;
    std::vector<std::byte> piece(4096);
    (void)reader.readAt(static_cast<std::int64_t>(*next), piece);
    // The block's last sector and the next block's first in one read.
    const std::uint64_t blockEnd = (*next / blockBytes + 1) * blockBytes;
    std::vector<std::byte> across(2 * kSectorSize);
    (void)reader.readAt(static_cast<std::int64_t>(blockEnd - kSectorSize), across);
    at = blockEnd;
  }
  if (diskBytes >= kSectorSize && diskBytes <= static_cast<std::uint64_t>(INT64_MAX)) {
    std::vector<std::byte> last(2 * kSectorSize, std::byte{0x5A});
    (void)reader.readAt(static_cast<std::int64_t>(diskBytes - kSectorSize), last);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static tessary::fuzz::MemoryImageFile file("vhdx");
  file.fill({data, size});
  tessary::NullSink page;
  {
    DiskContext context;
    context.messages = &page;
    FileReadSeekVHDX reader(context);
    tessary::ImageInfo info;
    (void)tessary::readImageInfo(page, context, &reader, file.path(), info);
  }
  // As read, then with the image page's block-size correction (the last input byte picks one).
  for (int pass = 0; pass < 2; ++pass) {
    DiskContext context;
    context.messages = &page;
    if (pass == 1) {
      if (size == 0) break;
      context.userBlockSize = std::uint32_t{512} << (data[size - 1] % 16);
    }
    FileReadSeekVHDX reader(context);
    if (!reader.open(file.path())) continue;
    readThrough(reader, context.diskSectorCount * kSectorSize);
  }
  return 0;
}
