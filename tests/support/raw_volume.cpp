// Noise volumes and typed test files for raw carving.
#include "support/raw_volume.h"

#include <algorithm>
#include <cstring>
#include <random>
#include <stdexcept>

namespace tessary::test {

namespace {

void le32(ByteVector& out, std::size_t at, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) out[at + static_cast<std::size_t>(i)] = static_cast<std::byte>((value >> (8 * i)) & 0xFF);
}

void append(ByteVector& out, const ByteVector& more) { out.insert(out.end(), more.begin(), more.end()); }

ByteVector hex(std::initializer_list<int> values) {
  ByteVector out;
  for (int v : values) out.push_back(static_cast<std::byte>(v));
  return out;
}

// The end marker each type closes with (what the default list's end signature looks for).
ByteVector endMarker(const std::string& ext) {
  if (ext == "jpg") return hex({0xFF, 0xD9});
  if (ext == "png") return hex({0x49, 0x45, 0x4E, 0x44, 0xAE, 0x42, 0x60, 0x82});
  if (ext == "gif") return hex({0x00, 0x3B});
  if (ext == "pdf") return textBytes("%%EOF");
  if (ext == "zip" || ext == "odt") return hex({0x50, 0x4B, 0x05, 0x06});
  return {};
}

// The bytes a file of the type begins with.
ByteVector header(const std::string& ext, std::size_t total) {
  if (ext == "jpg") return hex({0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10, 'J', 'F', 'I', 'F', 0x00, 0x01, 0x01, 0x00, 0x00, 0x01, 0x00, 0x01, 0x00, 0x00});
  if (ext == "png") {
    ByteVector h = hex({0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A, 0, 0, 0, 13, 'I', 'H', 'D', 'R', 0, 0, 0, 16, 0, 0, 0, 16, 8, 2, 0, 0, 0,
                        0x90, 0x91, 0x68, 0x36});
    append(h, hex({0x00, 0x00, 0x10, 0x00, 'I', 'D', 'A', 'T'}));
    return h;
  }
  if (ext == "gif") return hex({'G', 'I', 'F', '8', '9', 'a', 0x10, 0x00, 0x10, 0x00, 0x00, 0x00, 0x00});
  if (ext == "bmp") {
    ByteVector h(54, std::byte{0});
    h[0] = std::byte{'B'};
    h[1] = std::byte{'M'};
    le32(h, 2, static_cast<std::uint32_t>(total));
    le32(h, 10, 54);
    le32(h, 14, 40);
    return h;
  }
  if (ext == "tif") return hex({'I', 'I', 0x2A, 0x00, 0x08, 0x00, 0x00, 0x00});
  if (ext == "psd") return hex({'8', 'B', 'P', 'S', 0x00, 0x01, 0, 0, 0, 0, 0, 0, 0, 3});
  if (ext == "pdf") return textBytes("%PDF-1.4\n");
  if (ext == "rtf") return textBytes("{\\rtf1\\ansi ");
  if (ext == "odt" || ext == "zip") {
    const std::string name = ext == "odt" ? "mimetype" : "data.bin";
    // The 30-byte local file header: signature, version 20, stored, the name's length at 26, no extra.
    ByteVector h(30, std::byte{0});
    h[0] = std::byte{'P'};
    h[1] = std::byte{'K'};
    h[2] = std::byte{3};
    h[3] = std::byte{4};
    h[4] = std::byte{20};
    h[26] = static_cast<std::byte>(name.size());
    append(h, textBytes(name));
    if (ext == "odt") append(h, textBytes("application/vnd.oasis.opendocument.text"));
    return h;
  }
  if (ext == "db") {
    ByteVector h = textBytes("SQLite format 3");
    h.push_back(std::byte{0});
    append(h, hex({0x10, 0x00, 0x01, 0x01}));
    return h;
  }
  if (ext == "rar") return hex({'R', 'a', 'r', '!', 0x1A, 0x07, 0x00});
  if (ext == "7z") return hex({'7', 'z', 0xBC, 0xAF, 0x27, 0x1C, 0x00, 0x04});
  if (ext == "gz") return hex({0x1F, 0x8B, 0x08, 0x00, 0, 0, 0, 0, 0x00, 0x03});
  if (ext == "mp3") return hex({'I', 'D', '3', 0x03, 0x00, 0x00, 0x00, 0x00, 0x00, 0x0A});
  if (ext == "wav" || ext == "avi") {
    ByteVector h = textBytes("RIFF");
    append(h, hex({0, 0, 0, 0}));
    le32(h, 4, static_cast<std::uint32_t>(total - 8));
    append(h, textBytes(ext == "wav" ? "WAVEfmt " : "AVI LIST"));
    append(h, hex({16, 0, 0, 0}));
    return h;
  }
  if (ext == "mov") return hex({0, 0, 0, 0x14, 'f', 't', 'y', 'p', 'q', 't', ' ', ' ', 0, 0, 0, 0, 'q', 't', ' ', ' '});
  if (ext == "mp4") return hex({0, 0, 0, 0x18, 'f', 't', 'y', 'p', 'i', 's', 'o', 'm', 0, 0, 2, 0, 'i', 's', 'o', 'm', 'm', 'p', '4', '1'});
  if (ext == "exe") return hex({'M', 'Z', 0x90, 0x00, 0x03, 0x00, 0x00, 0x00});
  throw std::invalid_argument("no test file of type " + ext);
}

}  // namespace

NoiseVolume::NoiseVolume(std::size_t bytes, std::uint32_t seed) : m_bytes(bytes) {
  std::mt19937 random(seed);
  for (std::size_t i = 0; i < bytes; i += 4) {
    const std::uint32_t word = random();
    for (std::size_t k = 0; k < 4 && i + k < bytes; ++k) m_bytes[i + k] = static_cast<std::byte>((word >> (8 * k)) & 0xFF);
  }
}

void NoiseVolume::plant(std::uint64_t offset, const ByteVector& file, const std::string& ext) {
  if (offset + file.size() > m_bytes.size()) throw std::out_of_range("planted file past the volume");
  std::copy(file.begin(), file.end(), m_bytes.begin() + static_cast<std::ptrdiff_t>(offset));
  m_planted.push_back({offset, file, ext});
}

bool BufferReader::seek(std::int64_t offset, std::uint32_t) {
  // As the image readers do, a position inside a sector reads from that sector's first byte.
  m_position = (offset + baseOffset) / 512 * 512;
  return m_position >= 0 && static_cast<std::uint64_t>(m_position) <= m_disk.size();
}

bool BufferReader::read(void* buffer, std::uint32_t length) {
  std::memset(buffer, 0, length);
  if (m_position < 0 || static_cast<std::uint64_t>(m_position) >= m_disk.size()) return false;
  const std::size_t have = std::min<std::size_t>(length, m_disk.size() - static_cast<std::size_t>(m_position));
  std::memcpy(buffer, m_disk.data() + m_position, have);
  m_position += length;
  return have == length;
}

ByteVector textBytes(const std::string& text) {
  ByteVector out(text.size());
  std::memcpy(out.data(), text.data(), text.size());
  return out;
}

ByteVector filler(std::size_t size, std::uint32_t seed) {
  std::mt19937 random(seed);
  ByteVector out(size);
  for (std::byte& b : out) b = static_cast<std::byte>(random() % 0xFF);
  return out;
}

ByteVector makeTypedFile(const std::string& ext, std::size_t size, std::uint32_t seed, bool withEnd) {
  ByteVector file = header(ext, size);
  const ByteVector end = withEnd ? endMarker(ext) : ByteVector{};
  const std::size_t used = file.size() + end.size();
  if (size > used) append(file, filler(size - used, seed));
  append(file, end);
  // Types whose header states the file's size get it right.
  if (ext == "bmp") le32(file, 2, static_cast<std::uint32_t>(file.size()));
  if (ext == "wav" || ext == "avi") le32(file, 4, static_cast<std::uint32_t>(file.size() - 8));
  return file;
}

std::size_t lengthWithEndAtBlockStart(const std::string& ext, std::size_t aboutSize) {
  const std::size_t end = endMarker(ext).size();
  return (aboutSize / 512 + 1) * 512 + end;
}

}  // namespace tessary::test
