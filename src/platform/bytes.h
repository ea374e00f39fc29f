// Bounds-checked little- and big-endian reads over byte spans: the only way image bytes become numbers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <span>
#include <string_view>

namespace tessary {

using Bytes = std::span<const std::byte>;

inline Bytes asBytes(const void* data, std::size_t size) {
  return Bytes(static_cast<const std::byte*>(data), size);
}

// True when [offset, offset + size) lies inside a buffer of `length` bytes, without overflow.
constexpr bool fits(std::uint64_t length, std::uint64_t offset, std::uint64_t size) {
  return offset <= length && size <= length - offset;
}

namespace detail {
template <typename T, bool Big>
std::optional<T> load(Bytes data, std::size_t at) {
  if (!fits(data.size(), at, sizeof(T))) return std::nullopt;
  std::make_unsigned_t<T> value = 0;
  for (std::size_t i = 0; i < sizeof(T); ++i) {
    const auto byte = static_cast<std::make_unsigned_t<T>>(std::to_integer<std::uint8_t>(data[at + i]));
    const std::size_t shift = Big ? (sizeof(T) - 1 - i) * 8 : i * 8;
    value = static_cast<std::make_unsigned_t<T>>(value | static_cast<std::make_unsigned_t<T>>(byte << shift));
  }
  return static_cast<T>(value);
}
}  // namespace detail

// Reads that return nothing when the value does not lie wholly inside the span.
inline std::optional<std::uint8_t> u8(Bytes d, std::size_t at) { return detail::load<std::uint8_t, false>(d, at); }
inline std::optional<std::uint16_t> le16(Bytes d, std::size_t at) { return detail::load<std::uint16_t, false>(d, at); }
inline std::optional<std::uint32_t> le32(Bytes d, std::size_t at) { return detail::load<std::uint32_t, false>(d, at); }
inline std::optional<std::uint64_t> le64(Bytes d, std::size_t at) { return detail::load<std::uint64_t, false>(d, at); }
inline std::optional<std::int16_t> les16(Bytes d, std::size_t at) { return detail::load<std::int16_t, false>(d, at); }
inline std::optional<std::int32_t> les32(Bytes d, std::size_t at) { return detail::load<std::int32_t, false>(d, at); }
inline std::optional<std::int64_t> les64(Bytes d, std::size_t at) { return detail::load<std::int64_t, false>(d, at); }
inline std::optional<std::uint16_t> be16(Bytes d, std::size_t at) { return detail::load<std::uint16_t, true>(d, at); }
inline std::optional<std::uint32_t> be32(Bytes d, std::size_t at) { return detail::load<std::uint32_t, true>(d, at); }
inline std::optional<std::uint64_t> be64(Bytes d, std::size_t at) { return detail::load<std::uint64_t, true>(d, at); }

// The same reads with a fallback of zero, for buffers whose size was checked once up front
// (a 512-byte sector, a 1024-byte record): a field outside the buffer reads as 0.
inline std::uint8_t u8At(Bytes d, std::size_t at) { return u8(d, at).value_or(0); }
inline std::uint16_t le16At(Bytes d, std::size_t at) { return le16(d, at).value_or(0); }
inline std::uint32_t le32At(Bytes d, std::size_t at) { return le32(d, at).value_or(0); }
inline std::uint64_t le64At(Bytes d, std::size_t at) { return le64(d, at).value_or(0); }
inline std::int16_t les16At(Bytes d, std::size_t at) { return les16(d, at).value_or(0); }
inline std::int32_t les32At(Bytes d, std::size_t at) { return les32(d, at).value_or(0); }
inline std::int64_t les64At(Bytes d, std::size_t at) { return les64(d, at).value_or(0); }
inline std::uint16_t be16At(Bytes d, std::size_t at) { return be16(d, at).value_or(0); }
inline std::uint32_t be32At(Bytes d, std::size_t at) { return be32(d, at).value_or(0); }
inline std::uint64_t be64At(Bytes d, std::size_t at) { return be64(d, at).value_or(0); }

// True when the bytes at `at` equal the ASCII text `magic`.
inline bool hasMagic(Bytes d, std::size_t at, std::string_view magic) {
  if (!fits(d.size(), at, magic.size())) return false;
  return std::memcmp(d.data() + at, magic.data(), magic.size()) == 0;
}

// A sub-span, empty when it does not lie wholly inside.
inline Bytes slice(Bytes d, std::size_t at, std::size_t size) {
  if (!fits(d.size(), at, size)) return {};
  return d.subspan(at, size);
}

// A cursor that reads consecutive fields and remembers whether any read ran short.
class ByteCursor {
 public:
  explicit ByteCursor(Bytes data, std::size_t at = 0) : m_data(data), m_at(at) {}

  std::uint8_t u8() { return take<std::uint8_t>(tessary::u8(m_data, m_at)); }
  std::uint16_t le16() { return take<std::uint16_t>(tessary::le16(m_data, m_at)); }
  std::uint32_t le32() { return take<std::uint32_t>(tessary::le32(m_data, m_at)); }
  std::uint64_t le64() { return take<std::uint64_t>(tessary::le64(m_data, m_at)); }
  std::uint16_t be16() { return take<std::uint16_t>(tessary::be16(m_data, m_at)); }
  std::uint32_t be32() { return take<std::uint32_t>(tessary::be32(m_data, m_at)); }
  std::uint64_t be64() { return take<std::uint64_t>(tessary::be64(m_data, m_at)); }
  Bytes bytes(std::size_t size) {
    Bytes out = slice(m_data, m_at, size);
    if (out.size() != size) m_short = true;
    m_at += size;
    return out;
  }
  void skip(std::size_t size) { m_at += size; }

  std::size_t position() const { return m_at; }
  bool ok() const { return !m_short; }

 private:
  template <typename T>
  T take(std::optional<T> value) {
    if (!value) m_short = true;
    m_at += sizeof(T);
    return value.value_or(0);
  }

  Bytes m_data;
  std::size_t m_at;
  bool m_short = false;
};

// Whether `v` is a power of two from `low` to `high`.
constexpr bool powerOfTwoIn(std::uint64_t v, std::uint64_t low, std::uint64_t high) {
  return v >= low && v <= high && (v & (v - 1)) == 0;
}

// Overflow-checked arithmetic for sizes taken from an image.
inline std::optional<std::uint64_t> checkedMul(std::uint64_t a, std::uint64_t b) {
  std::uint64_t out = 0;
  if (__builtin_mul_overflow(a, b, &out)) return std::nullopt;
  return out;
}
inline std::optional<std::uint64_t> checkedAdd(std::uint64_t a, std::uint64_t b) {
  std::uint64_t out = 0;
  if (__builtin_add_overflow(a, b, &out)) return std::nullopt;
  return out;
}
inline std::optional<std::int64_t> checkedMul(std::int64_t a, std::int64_t b) {
  std::int64_t out = 0;
  if (__builtin_mul_overflow(a, b, &out)) return std::nullopt;
  return out;
}
inline std::optional<std::int64_t> checkedAdd(std::int64_t a, std::int64_t b) {
  std::int64_t out = 0;
  if (__builtin_add_overflow(a, b, &out)) return std::nullopt;
  return out;
}

}  // namespace tessary
