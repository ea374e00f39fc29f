// LZNT1, the compression of NTFS compressed files: one compression unit of chunks at a time.
#include <cstring>

#include "fs/ntfs/ntfs_data.h"
#include "platform/bytes.h"

namespace tessary::ntfs_detail {

namespace {
constexpr std::uint64_t kChunkData = 4096;
constexpr std::uint64_t kStoredChunkSize = kChunkData + 2;
}  // namespace

bool DataWriter::ntfs_uncompress_setup(Lznt1State& state, std::uint16_t unitClusters, std::span<const std::byte> input,
                                 std::span<std::byte> output) const {
  state = Lznt1State{};
  state.capacity = static_cast<std::uint64_t>(unitClusters) * static_cast<std::uint64_t>(m_clusterSize > 0 ? m_clusterSize : 0);
  if (input.empty() || output.empty()) return false;
  // Both buffers must hold a whole unit, or the capacity would let the decoder run past them.
  if (output.size() < state.capacity || input.size() < state.capacity) return false;
  state.output = output.data();
  state.input = input.data();
  ntfs_uncompress_reset(state);
  return true;
}

void DataWriter::ntfs_uncompress_reset(Lznt1State& state) {
  if (state.output) std::memset(state.output, 0, static_cast<std::size_t>(state.capacity));
  state.outputPosition = 0;
  state.inputLength = 0;
}

void DataWriter::ntfs_uncompress_compunit(Lznt1State& state) {
  if (!state.output || !state.input) return;
  const std::uint64_t inputLength = std::min(state.inputLength, state.capacity);
  const Bytes in(state.input, static_cast<std::size_t>(inputLength));
  std::byte* out = state.output;
  std::uint64_t& position = state.outputPosition;
  std::uint64_t at = 0;
  // Every chunk moves the input on by at least three bytes, so the walk ends within the input.
  while (at + 2 <= inputLength) {
    const std::uint16_t header = le16At(in, static_cast<std::size_t>(at));
    if ((header & 0x0FFF) == 0) return;
    const std::uint64_t chunkSize = static_cast<std::uint64_t>(header & 0x0FFF) + 3;
    if (at + chunkSize > inputLength) return;
    const std::uint64_t dataStart = at + 2;
    const std::uint64_t chunkEnd = at + chunkSize;
    if ((header & 0x8000) == 0 && chunkSize == kStoredChunkSize) {
      if (position + kChunkData > state.capacity) return;
      std::memcpy(out + position, state.input + dataStart, kChunkData);
      position += kChunkData;
      at = chunkEnd;
      continue;
    }
    const std::uint64_t chunkOutputStart = position;
    std::uint64_t cursor = dataStart;
    while (cursor < chunkEnd) {
      const std::uint8_t flags = std::to_integer<std::uint8_t>(in[static_cast<std::size_t>(cursor)]);
      ++cursor;
      for (int bit = 0; bit < 8 && cursor < chunkEnd; ++bit) {
        // A chunk stands for at most 4096 bytes; more items than that are not LZNT1.
        if (position - chunkOutputStart >= kChunkData) return;
        if ((flags & (1u << bit)) == 0) {
          if (position >= state.capacity) return;
          out[position++] = in[static_cast<std::size_t>(cursor)];
          ++cursor;
          continue;
        }
        if (cursor + 2 > chunkEnd) return;
        const std::uint16_t token = le16At(in, static_cast<std::size_t>(cursor));
        cursor += 2;
        const std::uint64_t produced = position - chunkOutputStart;
        // The split between displacement and length bits follows the bytes produced so far in the chunk.
        unsigned lengthBits = 0;
        for (std::int64_t d = static_cast<std::int64_t>(produced) - 1; d > 15; d >>= 1) ++lengthBits;
        const std::uint64_t displacement = (static_cast<std::uint64_t>(token) >> (12 - lengthBits)) + 1;
        const std::uint64_t length = (static_cast<std::uint64_t>(token) & (0x0FFFu >> lengthBits)) + 3;
        // A reference reaches back only into what this chunk has produced.
        if (displacement > produced) return;
        if (position + length > state.capacity) return;
        for (std::uint64_t i = 0; i < length; ++i) {
          out[position] = out[position - displacement];
          ++position;
        }
      }
    }
    at = chunkEnd;
  }
}

}  // namespace tessary::ntfs_detail
