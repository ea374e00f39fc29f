// Signature files: fixed 177-byte records, little-endian, no header, no padding between records. One record
// says what a file type looks like to the carver (start and end signatures, a size field in its header,
// sizes to assume and to skip, the category its finds are listed under).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/bytes.h"

namespace tessary {

constexpr std::size_t kSignatureRecordSize = 177;
// Room for a start or an end signature in a record.
constexpr std::size_t kSignatureBytes = 10;
// UTF-16 code units of the extension kept in a record, and of its category.
constexpr std::size_t kExtensionUnits = 4;
constexpr std::size_t kCategoryUnits = 50;
// The signature byte that matches any byte of a block ("*").
constexpr std::uint8_t kWildcardByte = 0x2A;

// Field offsets inside a record.
namespace sigrec {
constexpr std::size_t kExtension = 0;
constexpr std::size_t kExtensionTerminator = 8;
constexpr std::size_t kStartOffset = 10;
constexpr std::size_t kExtensionLength = 12;
constexpr std::size_t kStartSignature = 13;
constexpr std::size_t kEndSignature = 23;
constexpr std::size_t kStartLength = 33;
constexpr std::size_t kEndLength = 34;
constexpr std::size_t kRecordIndex = 35;
constexpr std::size_t kOffsetToSize = 36;
constexpr std::size_t kBytesInSize = 40;
constexpr std::size_t kHeaderSize = 44;
constexpr std::size_t kSizeIncludesHeader = 48;
constexpr std::size_t kReserved = 49;
constexpr std::size_t kApproximateSize = 53;
constexpr std::size_t kSkipSize = 61;
constexpr std::size_t kCategory = 69;
constexpr std::size_t kReservedTail = 169;
}  // namespace sigrec
static_assert(sigrec::kReservedTail + 8 == kSignatureRecordSize);
static_assert(sigrec::kCategory + 2 * kCategoryUnits == sigrec::kReservedTail);

struct SignatureRecord {
  std::array<char16_t, kExtensionUnits> extension{};
  std::uint16_t extensionTerminator = 0;
  std::uint16_t startOffset = 0;
  std::uint8_t extensionLength = 0;
  std::array<std::uint8_t, kSignatureBytes> startSignature{};
  std::array<std::uint8_t, kSignatureBytes> endSignature{};
  std::uint8_t startLength = 0;
  std::uint8_t endLength = 0;
  std::uint8_t recordIndex = 0;
  std::int32_t offsetToSize = -1;
  std::int32_t bytesInSize = 0;
  std::int32_t headerSize = 0;
  std::uint8_t sizeIncludesHeader = 0;
  std::int32_t reserved = 0;
  std::int64_t approximateSize = 0;
  std::int64_t skipSize = 0;
  std::array<char16_t, kCategoryUnits> category{};
  std::uint64_t reservedTail = 0;

  bool operator==(const SignatureRecord&) const = default;
};

using SignatureRecordBytes = std::array<std::byte, kSignatureRecordSize>;

SignatureRecordBytes encodeSignatureRecord(const SignatureRecord& record);
// Reads one record from the first 177 bytes of `bytes`; none when fewer are there.
std::optional<SignatureRecord> decodeSignatureRecord(Bytes bytes);

// Why the carver can never use a record (its start signature is not 2 to 10 bytes, or does not fit in a
// 512-byte block at its offset; its end signature is 1 or more than 10 bytes; its approximate size is
// negative), or none when it can.
std::optional<std::string> signatureRecordRefusal(const SignatureRecord& record);

// The signature text as the editor reads it: split at ",", empty tokens skipped, each token read as a
// hexadecimal number with an optional "0x" prefix up to its first character that is not a hex digit (none
// gives 0); each value's low 8 bits are one byte.
std::vector<std::uint8_t> parseSignatureText(std::string_view text);
// The bytes as the editor's fields show them ("0x89,0x50,0x4E,0x47").
std::string signatureText(const std::uint8_t* bytes, std::size_t length);

// The record's extension and category as text (up to the first zero code unit).
std::u16string recordExtension(const SignatureRecord& record);
std::u16string recordCategory(const SignatureRecord& record);

}  // namespace tessary
