// Test volumes for raw carving: seeded noise with files planted at chosen offsets, a reader over the bytes
// in memory, and small files of each common type laid out as their published formats describe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "disk/read_write_interface.h"

namespace tessary::test {

using ByteVector = std::vector<std::byte>;

class NoiseVolume {
 public:
  // `bytes` of noise from `seed`.
  NoiseVolume(std::size_t bytes, std::uint32_t seed);

  struct Planted {
    std::uint64_t offset = 0;
    ByteVector bytes;
    std::string ext;
  };
  // Copies `file` over the noise at `offset` and remembers it.
  void plant(std::uint64_t offset, const ByteVector& file, const std::string& ext);
  const std::vector<Planted>& planted() const { return m_planted; }
  ByteVector& bytes() { return m_bytes; }
  const ByteVector& bytes() const { return m_bytes; }

 private:
  ByteVector m_bytes;
  std::vector<Planted> m_planted;
};

// A disk held in memory, positioned in whole sectors; reads past its end fail and deliver zeros.
class BufferReader : public readWriteInterface {
 public:
  explicit BufferReader(const ByteVector& disk) : m_disk(disk) {}
  bool open(const std::string&) override { return true; }
  bool seek(std::int64_t offset, std::uint32_t origin = 0) override;
  bool read(void* buffer, std::uint32_t length) override;

 private:
  const ByteVector& m_disk;
  std::int64_t m_position = 0;
};

ByteVector textBytes(const std::string& text);
// Seeded filler without 0xFF bytes (so no JPEG marker appears inside it).
ByteVector filler(std::size_t size, std::uint32_t seed);

// A small file of the type `ext` (jpg, png, gif, bmp, tif, psd, pdf, rtf, odt, db, zip, rar, 7z, gz, mp3,
// wav, avi, mov, mp4, exe) of about `size` bytes. With `withEnd` false the type's end marker is left off
// (a truncated file).
ByteVector makeTypedFile(const std::string& ext, std::size_t size, std::uint32_t seed, bool withEnd = true);
// The length a file of `ext` needs so that its end signature begins a 512-byte block when the file does.
std::size_t lengthWithEndAtBlockStart(const std::string& ext, std::size_t aboutSize);

}  // namespace tessary::test
