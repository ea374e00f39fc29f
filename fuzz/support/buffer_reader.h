// A disk reader over a byte buffer the fuzzer owns: the buffer is the whole virtual disk. Nothing is copied.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "disk/read_write_interface.h"

namespace tessary::fuzz {

class BufferReader : public readWriteInterface {
 public:
  explicit BufferReader(std::span<const std::uint8_t> bytes) : m_bytes(bytes) {}

  bool open(const std::string&) override { return true; }
  // Positions outside the buffer fail, as a reader's do past its block table.
  bool seek(std::int64_t offset, std::uint32_t origin = 0) override;
  // Whatever lies past the buffer's end reads as zeros, and the read fails.
  bool read(void* buffer, std::uint32_t length) override;
  // Past the buffer's end no block holds data, so scans stop where the input ends instead of walking the
  // zeros of a volume larger than the input sector by sector.
  std::optional<std::uint64_t> nextDataOffset(std::uint64_t offset) const override;
  // The disk's size in whole sectors (a last partial sector is still read, its missing bytes as zeros).
  std::uint64_t sectorCount() const { return (m_bytes.size() + kSectorSize - 1) / kSectorSize; }

 private:
  std::span<const std::uint8_t> m_bytes;
  std::uint64_t m_position = 0;
};

}  // namespace tessary::fuzz
