// Span helpers of the reader interface.
#include "disk/read_write_interface.h"

#include <algorithm>

namespace tessary {

namespace {
bool diskSectorSize(std::uint32_t bytes) { return bytes >= 512 && bytes <= 4096 && (bytes & (bytes - 1)) == 0; }
}  // namespace

std::uint32_t logicalSectorBytes(const DiskContext& context) {
  if (diskSectorSize(context.userLogicalSectorSize)) return context.userLogicalSectorSize;
  if (diskSectorSize(context.imageLogicalSectorSize)) return context.imageLogicalSectorSize;
  return kSectorSize;
}

bool readWriteInterface::readAt(std::int64_t offset, std::span<std::byte> out) {
  if (!seek(offset, 0)) return false;
  return readSpan(out);
}

bool readWriteInterface::readSpan(std::span<std::byte> out) {
  constexpr std::size_t kMaxPiece = 0xFFFFFE00u;
  bool ok = true;
  while (!out.empty()) {
    const std::size_t piece = std::min(out.size(), kMaxPiece);
    ok = read(out.data(), static_cast<std::uint32_t>(piece)) && ok;
    out = out.subspan(piece);
  }
  return ok;
}

}  // namespace tessary
