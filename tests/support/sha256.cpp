// SHA-256 as FIPS 180-4 gives it.
#include "support/sha256.h"

#include <algorithm>
#include <cstring>

namespace tessary::test {

namespace {

constexpr std::array<std::uint32_t, 64> kRound = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

constexpr std::uint32_t rotr(std::uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

}  // namespace

Sha256::Sha256()
    : m_state{0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19} {}

void Sha256::compress(const std::byte* block) {
  auto at = [block](std::size_t i) { return std::to_integer<std::uint32_t>(block[i]); };
  std::array<std::uint32_t, 64> w{};
  for (std::size_t i = 0; i < 16; ++i)
    w[i] = (at(4 * i) << 24) | (at(4 * i + 1) << 16) | (at(4 * i + 2) << 8) | at(4 * i + 3);
  for (std::size_t i = 16; i < 64; ++i) {
    const std::uint32_t s0 = rotr(w[i - 15], 7) ^ rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
    const std::uint32_t s1 = rotr(w[i - 2], 17) ^ rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
    w[i] = w[i - 16] + s0 + w[i - 7] + s1;
  }
  auto [a, b, c, d, e, f, g, h] = m_state;
  for (std::size_t i = 0; i < 64; ++i) {
    const std::uint32_t t1 = h + (rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25)) + ((e & f) ^ (~e & g)) + kRound[i] + w[i];
    const std::uint32_t t2 = (rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
    h = g;
    g = f;
    f = e;
    e = d + t1;
    d = c;
    c = b;
    b = a;
    a = t1 + t2;
  }
  const std::array<std::uint32_t, 8> add{a, b, c, d, e, f, g, h};
  for (std::size_t i = 0; i < 8; ++i) m_state[i] += add[i];
}

void Sha256::update(std::span<const std::byte> data) {
  // An empty span may carry no pointer at all, which memcpy must not be given.
  if (data.empty()) return;
  m_totalBytes += data.size();
  const std::byte* in = data.data();
  std::size_t left = data.size();
  if (m_pendingSize > 0) {
    const std::size_t take = std::min(left, m_pending.size() - m_pendingSize);
    std::memcpy(m_pending.data() + m_pendingSize, in, take);
    m_pendingSize += take;
    in += take;
    left -= take;
    if (m_pendingSize < m_pending.size()) return;
    compress(m_pending.data());
    m_pendingSize = 0;
  }
  for (; left >= 64; in += 64, left -= 64) compress(in);
  std::memcpy(m_pending.data(), in, left);
  m_pendingSize = left;
}

std::string Sha256::finishHex() {
  const std::uint64_t bits = m_totalBytes * 8;
  std::array<std::byte, 72> tail{};
  tail[0] = std::byte{0x80};
  // Pad to 56 bytes past a block boundary, then the message length in bits, big-endian.
  const std::size_t padding = (m_pendingSize < 56 ? 56 : 120) - m_pendingSize;
  for (std::size_t i = 0; i < 8; ++i) tail[padding + i] = static_cast<std::byte>(bits >> (56 - 8 * i));
  const std::uint64_t keep = m_totalBytes;
  update(std::span<const std::byte>(tail.data(), padding + 8));
  m_totalBytes = keep;
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  for (std::uint32_t word : m_state)
    for (int shift = 28; shift >= 0; shift -= 4) out += kHex[(word >> shift) & 0xF];
  return out;
}

std::string sha256Hex(std::span<const std::byte> data) {
  Sha256 sha;
  sha.update(data);
  return sha.finishHex();
}

std::string sha256Hex(const std::string& data) {
  return sha256Hex(std::as_bytes(std::span<const char>(data.data(), data.size())));
}

}  // namespace tessary::test
