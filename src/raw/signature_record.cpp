// Encoding and decoding of the 177-byte signature records, and the editor's reading of signature texts.
#include "raw/signature_record.h"

#include <cctype>

#include "platform/text.h"

namespace tessary {

namespace {

void put(SignatureRecordBytes& out, std::size_t at, std::uint64_t value, std::size_t width) {
  for (std::size_t i = 0; i < width; ++i) out[at + i] = static_cast<std::byte>((value >> (8 * i)) & 0xFF);
}

template <std::size_t N>
void putUnits(SignatureRecordBytes& out, std::size_t at, const std::array<char16_t, N>& units) {
  for (std::size_t i = 0; i < N; ++i) put(out, at + 2 * i, units[i], 2);
}

template <std::size_t N>
std::array<char16_t, N> units(Bytes bytes, std::size_t at) {
  std::array<char16_t, N> out{};
  for (std::size_t i = 0; i < N; ++i) out[i] = static_cast<char16_t>(le16At(bytes, at + 2 * i));
  return out;
}

template <std::size_t N>
std::u16string untilZero(const std::array<char16_t, N>& units) {
  std::u16string out;
  for (char16_t unit : units) {
    if (unit == 0) break;
    out.push_back(unit);
  }
  return out;
}

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// One token as a signed long conversion in base 16 reads it: blanks, a sign, an optional "0x", then hex
// digits up to the first other character. Only the low 8 bits are kept, so larger values wrap harmlessly.
std::uint8_t tokenByte(std::string_view token) {
  std::size_t i = 0;
  while (i < token.size() && std::isspace(static_cast<unsigned char>(token[i]))) ++i;
  bool negative = false;
  if (i < token.size() && (token[i] == '+' || token[i] == '-')) negative = token[i++] == '-';
  // "0x" alone reads as 0 either way.
  if (i + 1 < token.size() && token[i] == '0' && (token[i + 1] == 'x' || token[i + 1] == 'X')) i += 2;
  std::uint64_t value = 0;
  for (; i < token.size() && hexDigit(token[i]) >= 0; ++i) value = (value << 4) | static_cast<std::uint64_t>(hexDigit(token[i]));
  if (negative) value = ~value + 1;
  return static_cast<std::uint8_t>(value & 0xFF);
}

}  // namespace

SignatureRecordBytes encodeSignatureRecord(const SignatureRecord& r) {
  SignatureRecordBytes out{};
  putUnits(out, sigrec::kExtension, r.extension);
  put(out, sigrec::kExtensionTerminator, r.extensionTerminator, 2);
  put(out, sigrec::kStartOffset, r.startOffset, 2);
  put(out, sigrec::kExtensionLength, r.extensionLength, 1);
  for (std::size_t i = 0; i < kSignatureBytes; ++i) {
    out[sigrec::kStartSignature + i] = static_cast<std::byte>(r.startSignature[i]);
    out[sigrec::kEndSignature + i] = static_cast<std::byte>(r.endSignature[i]);
  }
  put(out, sigrec::kStartLength, r.startLength, 1);
  put(out, sigrec::kEndLength, r.endLength, 1);
  put(out, sigrec::kRecordIndex, r.recordIndex, 1);
  put(out, sigrec::kOffsetToSize, static_cast<std::uint32_t>(r.offsetToSize), 4);
  put(out, sigrec::kBytesInSize, static_cast<std::uint32_t>(r.bytesInSize), 4);
  put(out, sigrec::kHeaderSize, static_cast<std::uint32_t>(r.headerSize), 4);
  put(out, sigrec::kSizeIncludesHeader, r.sizeIncludesHeader, 1);
  put(out, sigrec::kReserved, static_cast<std::uint32_t>(r.reserved), 4);
  put(out, sigrec::kApproximateSize, static_cast<std::uint64_t>(r.approximateSize), 8);
  put(out, sigrec::kSkipSize, static_cast<std::uint64_t>(r.skipSize), 8);
  putUnits(out, sigrec::kCategory, r.category);
  put(out, sigrec::kReservedTail, r.reservedTail, 8);
  return out;
}

std::optional<std::string> signatureRecordRefusal(const SignatureRecord& record) {
  // The carver compares whole signatures inside one 512-byte block.
  constexpr int kBlock = 512;
  const int start = record.startLength;
  if (start < 2 || start > static_cast<int>(kSignatureBytes))
    return "its start signature is " + std::to_string(start) + " bytes long, not 2 to 10";
  if (record.startOffset + start > kBlock)
    return "its start signature at offset " + std::to_string(record.startOffset) + " does not fit in a 512-byte block";
  if (record.endLength == 1 || record.endLength > kSignatureBytes)
    return "its end signature is " + std::to_string(record.endLength) + " bytes long, not 0 or 2 to 10";
  if (record.approximateSize < 0)
    return "its approximate size " + std::to_string(record.approximateSize) + " is negative";
  return std::nullopt;
}

std::optional<SignatureRecord> decodeSignatureRecord(Bytes bytes) {
  if (bytes.size() < kSignatureRecordSize) return std::nullopt;
  SignatureRecord r;
  r.extension = units<kExtensionUnits>(bytes, sigrec::kExtension);
  r.extensionTerminator = le16At(bytes, sigrec::kExtensionTerminator);
  r.startOffset = le16At(bytes, sigrec::kStartOffset);
  r.extensionLength = u8At(bytes, sigrec::kExtensionLength);
  for (std::size_t i = 0; i < kSignatureBytes; ++i) {
    r.startSignature[i] = u8At(bytes, sigrec::kStartSignature + i);
    r.endSignature[i] = u8At(bytes, sigrec::kEndSignature + i);
  }
  r.startLength = u8At(bytes, sigrec::kStartLength);
  r.endLength = u8At(bytes, sigrec::kEndLength);
  r.recordIndex = u8At(bytes, sigrec::kRecordIndex);
  r.offsetToSize = les32At(bytes, sigrec::kOffsetToSize);
  r.bytesInSize = les32At(bytes, sigrec::kBytesInSize);
  r.headerSize = les32At(bytes, sigrec::kHeaderSize);
  r.sizeIncludesHeader = u8At(bytes, sigrec::kSizeIncludesHeader);
  r.reserved = les32At(bytes, sigrec::kReserved);
  r.approximateSize = les64At(bytes, sigrec::kApproximateSize);
  r.skipSize = les64At(bytes, sigrec::kSkipSize);
  r.category = units<kCategoryUnits>(bytes, sigrec::kCategory);
  r.reservedTail = le64At(bytes, sigrec::kReservedTail);
  return r;
}

std::vector<std::uint8_t> parseSignatureText(std::string_view text) {
  std::vector<std::uint8_t> bytes;
  std::size_t start = 0;
  while (start <= text.size()) {
    const std::size_t comma = text.find(',', start);
    const std::string_view token = text.substr(start, comma == std::string_view::npos ? text.size() - start : comma - start);
    if (!token.empty()) bytes.push_back(tokenByte(token));
    if (comma == std::string_view::npos) break;
    start = comma + 1;
  }
  return bytes;
}

std::string signatureText(const std::uint8_t* bytes, std::size_t length) {
  std::string out;
  for (std::size_t i = 0; i < length; ++i) out += format("%s0x%02X", i ? "," : "", bytes[i]);
  return out;
}

std::u16string recordExtension(const SignatureRecord& record) { return untilZero(record.extension); }
std::u16string recordCategory(const SignatureRecord& record) { return untilZero(record.category); }

}  // namespace tessary
