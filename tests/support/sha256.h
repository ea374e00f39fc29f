// SHA-256, for comparing what a reader delivers with the hashes in the fixture manifests.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace tessary::test {

class Sha256 {
 public:
  Sha256();
  void update(std::span<const std::byte> data);
  // The digest as 64 lowercase hex digits; the object is spent afterwards.
  std::string finishHex();

 private:
  void compress(const std::byte* block);

  std::array<std::uint32_t, 8> m_state{};
  std::array<std::byte, 64> m_pending{};
  std::size_t m_pendingSize = 0;
  std::uint64_t m_totalBytes = 0;
};

std::string sha256Hex(std::span<const std::byte> data);
std::string sha256Hex(const std::string& data);

}  // namespace tessary::test
