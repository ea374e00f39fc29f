// Where a carved file ends by its own structure: for the default types the carver walks the format (a
// JPEG's marker segments, a PNG's chunks, a ZIP's end-of-central-directory record, ...) from the file's
// first byte and takes the exact length it finds. Every length is bounded by a limit (the room left in
// the volume and the type's approximate size); a structure that breaks or runs past the limit gives none.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "platform/bytes.h"

namespace tessary {

// The structure rule a signature's files follow. The number is kept in a signature record's first
// reserved field, which the signature editor writes as 0: a user's own signature has no rule.
enum class StructureRule : std::int32_t {
  None = 0,
  Jpeg,
  Png,
  Gif,
  Zip,
  Pdf,
  Bmp,
  Riff,
  Sqlite,
  IsoMedia,
  Gzip,
  SevenZip,
  Rar,
  Pe,
  Tiff,
  Psd,
  Mp3,
  Rtf,
};

// The rule's name as the default signature list writes it ("jpeg", "zip", ...; "-" for none).
std::string_view structureRuleName(StructureRule rule);
// The rule of that name; none for a name no rule has.
std::optional<StructureRule> structureRuleNamed(std::string_view name);
// The rule a record's reserved field names; a number no rule has counts as none.
StructureRule structureRuleOf(std::int32_t number);

// The bytes of one candidate file, read on demand from its first byte up to a limit, in cached pieces.
class FileBytes {
 public:
  // Reads `out.size()` bytes at the offset from the file's first byte; false when they cannot be had.
  using Reader = std::function<bool(std::int64_t, std::span<std::byte>)>;
  static constexpr std::int64_t kPiece = 65536;
  static constexpr std::int64_t kFirstPiece = 4096;

  FileBytes(Reader read, std::int64_t limit);
  std::int64_t limit() const { return m_limit; }
  // Set by a walk once the type's own header has checked out: a block that merely begins with the start
  // bytes is no file of the type, while a recognised file whose structure breaks later is a damaged one.
  bool recognised = false;

  std::optional<std::uint8_t> u8(std::int64_t pos);
  std::optional<std::uint16_t> le16(std::int64_t pos) { return number<std::uint16_t>(pos, false); }
  std::optional<std::uint32_t> le32(std::int64_t pos) { return number<std::uint32_t>(pos, false); }
  std::optional<std::uint64_t> le64(std::int64_t pos) { return number<std::uint64_t>(pos, false); }
  std::optional<std::uint16_t> be16(std::int64_t pos) { return number<std::uint16_t>(pos, true); }
  std::optional<std::uint32_t> be32(std::int64_t pos) { return number<std::uint32_t>(pos, true); }
  std::optional<std::uint64_t> be64(std::int64_t pos) { return number<std::uint64_t>(pos, true); }
  // Whether the bytes at `pos` are `text`.
  bool holds(std::int64_t pos, std::string_view text);
  // The first position in [from, to) where `needle` begins (to is cut to the limit); none when none does.
  std::optional<std::int64_t> find(std::string_view needle, std::int64_t from, std::int64_t to);
  // The bytes from `pos` to the end of the piece that holds it (within the limit); empty past the limit or
  // when the read fails.
  Bytes run(std::int64_t pos);

 private:
  template <typename T>
  std::optional<T> number(std::int64_t pos, bool big) {
    T value = 0;
    for (std::size_t i = 0; i < sizeof(T); ++i) {
      const std::optional<std::uint8_t> b = u8(pos + static_cast<std::int64_t>(i));
      if (!b) return std::nullopt;
      const std::size_t shift = big ? (sizeof(T) - 1 - i) * 8 : i * 8;
      value = static_cast<T>(value | static_cast<T>(static_cast<T>(*b) << shift));
    }
    return value;
  }
  // The cached piece holding `pos`, or none.
  const std::vector<std::byte>* piece(std::int64_t pos, std::int64_t& pieceStart);

  Reader m_read;
  std::int64_t m_limit = 0;
  struct Cached {
    std::int64_t start = -1;
    std::vector<std::byte> bytes;
    bool good = false;
  };
  std::array<Cached, 2> m_cache;
  std::size_t m_newest = 0;
};

// The exact length of the file whose first byte the source begins with, by the rule; none when the
// structure is broken, the rule is None, or the file would reach past the limit.
std::optional<std::int64_t> structureLength(StructureRule rule, FileBytes& file);

}  // namespace tessary
