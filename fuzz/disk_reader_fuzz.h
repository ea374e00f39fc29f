// Shared body of the disk reader fuzzers: the input becomes an image file in a private folder (for a VMDK
// that mentions them, the same bytes also stand beside it as "extent.vmdk" and "extent-flat.vmdk", so that
// a descriptor can name them), the reader opens it, reads the start of the disk, across block ends, and
// follows nextDataOffset.
#pragma once

#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "disk/read_write_interface.h"
#include "platform/files.h"

namespace tessary::fuzz {

inline const std::string& fuzzFolder() {
  static const std::string folder = [] {
    std::string pattern = temporaryDirectory() + "/tessary-fuzz-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    const char* made = ::mkdtemp(name.data());
    return std::string(made ? made : ".");
  }();
  return folder;
}

inline void putFile(const std::string& path, const std::uint8_t* data, std::size_t size) {
  if (std::FILE* file = std::fopen(path.c_str(), "wb")) {
    if (size > 0) std::fwrite(data, 1, size, file);
    std::fclose(file);
  }
}

// Whether a VMDK descriptor among the bytes may name one of the extent files.
inline bool namesExtent(const std::uint8_t* data, std::size_t size) {
  static constexpr char kName[] = "extent";
  return size > 0 && ::memmem(data, size, kName, sizeof kName - 1) != nullptr;
}

template <typename Reader>
int readWholeImage(const std::uint8_t* data, std::size_t size, const char* extension) {
  const std::string folder = fuzzFolder();
  const std::string image = folder + "/image." + extension;
  putFile(image, data, size);
  // Only a descriptor reads other files; writing the copies for every input would cost more than the read.
  if (std::string_view(extension) == "vmdk" && namesExtent(data, size)) {
    putFile(folder + "/extent.vmdk", data, size);
    putFile(folder + "/extent-flat.vmdk", data, size);
  }
  DiskContext context;
  Reader reader(context);
  if (!reader.open(image)) return 0;
  constexpr std::uint32_t kPiece = 64 * 1024;
  std::vector<std::byte> buffer(kPiece + 512);
  // The first 256 KiB, in pieces that do not line up with grains.
  if (reader.seek(0)) {
    for (int i = 0; i < 4; ++i)
      if (!reader.read(buffer.data(), kPiece + 512)) break;
  }
  // Across every power-of-two boundary from 64 KiB to 4 MiB: the ends of grains and blocks of every size
  // these formats use.
  for (std::int64_t boundary = 64 * 1024; boundary <= 4 * 1024 * 1024; boundary *= 2)
    if (reader.seek(boundary - 512)) reader.read(buffer.data(), 1024);
  // Up to 64 stretches that are said to hold data, the first 4 KiB of each, through seek and read.
  std::uint64_t at = 0;
  for (int step = 0; step < 64; ++step) {
    const auto next = reader.nextDataOffset(at);
    if (!next || *next < at || *next > UINT64_MAX - kPiece) break;
    if (reader.seek(static_cast<std::int64_t>(*next))) reader.read(buffer.data(), 4096);
    at = *next + kPiece;
  }
  // An offset inside a sector and one far past the disk.
  if (reader.seek(100)) reader.read(buffer.data(), 700);
  reader.seek(INT64_MAX - 1);
  return 0;
}

}  // namespace tessary::fuzz
