// Decompression through zlib and libzstd.
#include "disk/decompress.h"

#include <zlib.h>
#ifdef TESSARY_WITH_ZSTD
#include <zstd.h>
#endif

#include <array>
#include <climits>
#include <memory>

namespace tessary {

namespace {

// windowBits -15 reads a raw stream of any window size; 15 a zlib stream with its header.
bool inflateWith(int windowBits, std::span<const std::byte> input, std::span<std::byte> out) {
  if (input.size() > UINT_MAX || out.size() > UINT_MAX) return false;
  z_stream stream{};
  if (inflateInit2(&stream, windowBits) != Z_OK) return false;
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<std::byte*>(input.data()));
  stream.avail_in = static_cast<uInt>(input.size());
  stream.next_out = reinterpret_cast<Bytef*>(out.data());
  stream.avail_out = static_cast<uInt>(out.size());
  int result = inflate(&stream, Z_FINISH);
  bool good = stream.avail_out == 0 && (result == Z_STREAM_END || result == Z_BUF_ERROR || result == Z_OK);
  if (good && result != Z_STREAM_END) {
    // The output is full but the stream has not ended: it must not hold a single byte more.
    std::array<Bytef, 1> spare{};
    stream.next_out = spare.data();
    stream.avail_out = static_cast<uInt>(spare.size());
    result = inflate(&stream, Z_FINISH);
    good = stream.avail_out == spare.size() && result == Z_STREAM_END;
  }
  inflateEnd(&stream);
  return good;
}

#ifdef TESSARY_WITH_ZSTD
struct ZstdFree {
  void operator()(ZSTD_DCtx* context) const { ZSTD_freeDCtx(context); }
};
#endif

}  // namespace

bool inflateRawDeflate(std::span<const std::byte> input, std::span<std::byte> out) {
  return inflateWith(-15, input, out);
}

bool inflateZlib(std::span<const std::byte> input, std::span<std::byte> out) { return inflateWith(15, input, out); }

#ifndef TESSARY_WITH_ZSTD
bool zstdAvailable() { return false; }

bool inflateZstd(std::span<const std::byte>, std::span<std::byte>) { return false; }
#else
bool zstdAvailable() { return true; }

bool inflateZstd(std::span<const std::byte> input, std::span<std::byte> out) {
  std::unique_ptr<ZSTD_DCtx, ZstdFree> context(ZSTD_createDCtx());
  if (!context) return false;
  ZSTD_inBuffer in{input.data(), input.size(), 0};
  ZSTD_outBuffer target{out.data(), out.size(), 0};
  std::size_t result = 1;
  // Every turn consumes input or fills output; a bound keeps a stalled decoder from spinning.
  for (int turn = 0; turn < 1 << 20 && target.pos < target.size; ++turn) {
    const std::size_t before = in.pos + target.pos;
    result = ZSTD_decompressStream(context.get(), &target, &in);
    if (ZSTD_isError(result)) return false;
    if (result == 0 || in.pos + target.pos == before) break;
  }
  if (target.pos != target.size) return false;
  if (result == 0) return true;
  // The output is full but the frame goes on: it must not hold a single byte more.
  std::array<std::byte, 1> spare{};
  ZSTD_outBuffer extra{spare.data(), spare.size(), 0};
  for (int turn = 0; turn < 1 << 20; ++turn) {
    const std::size_t before = in.pos;
    result = ZSTD_decompressStream(context.get(), &extra, &in);
    if (ZSTD_isError(result) || extra.pos != 0) return false;
    if (result == 0) return true;
    if (in.pos == before) return false;  // the frame is cut short
  }
  return false;
}
#endif

}  // namespace tessary
