// Reads a whole virtual disk through the VHDX reader; with OUT it also writes the bytes to a flat file.
#include <cstdio>
#include <vector>

#include "disk/vhdx_reader.h"
#include "platform/files.h"
#include "platform/page_sink.h"

int main(int argc, char** argv) {
  if (argc != 2 && argc != 3) {
    std::fprintf(stderr, "usage: %s IMAGE.vhdx [OUT.raw]\n", argv[0]);
    return 2;
  }
  tessary::NullSink sink;
  tessary::DiskContext context;
  context.messages = &sink;
  tessary::FileReadSeekVHDX reader(context);
  if (!reader.open(argv[1])) {
    std::fprintf(stderr, "cannot open %s\n", argv[1]);
    return 1;
  }
  tessary::OutputFile out;
  if (argc == 3 && !out.create(argv[2])) return 1;
  constexpr std::size_t kPiece = 4u << 20;
  std::vector<std::byte> buffer(kPiece);
  const std::uint64_t total = context.diskSectorCount * 512;
  if (!reader.seek(0)) return 1;
  for (std::uint64_t done = 0; done < total;) {
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(kPiece, total - done));
    if (!reader.read(buffer.data(), static_cast<std::uint32_t>(n))) return 1;
    if (out.isOpen() && !out.write(std::span<const std::byte>(buffer.data(), n))) return 1;
    done += n;
  }
  return 0;
}
