// The decompression of clusters and grains that images store compressed: a piece of the disk of a known
// size, inflated whole or not at all.
#pragma once

#include <cstddef>
#include <span>

namespace tessary {

// Each fills exactly out.size() bytes from `input`, which may carry unused bytes after the stream (the
// rest of its last sector). False when the stream is broken, ends before `out` is full, or holds more
// than fits in `out`.
// A raw deflate stream (no zlib header), as qcow2 stores it.
bool inflateRawDeflate(std::span<const std::byte> input, std::span<std::byte> out);
// A deflate stream with its zlib header and checksum, as VMDK grains store it.
bool inflateZlib(std::span<const std::byte> input, std::span<std::byte> out);
// A zstd frame. Always false in a build without libzstd (see zstdAvailable).
bool inflateZstd(std::span<const std::byte> input, std::span<std::byte> out);

// Whether this build reads zstd frames (a Windows build has no libzstd).
bool zstdAvailable();

}  // namespace tessary
