// The structure walks of the default types. Each walk reads only through FileBytes, so every count, offset
// and size it takes from the file is checked against the limit before it is followed, and every loop is
// bounded by the bytes it moves past or by a fixed count.
#include "raw/structure_ends.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <utility>
#include <set>
#include <zlib.h>

namespace tessary {

namespace {

constexpr std::int64_t kSector = 512;

struct RuleName {
  StructureRule rule;
  std::string_view name;
};

constexpr RuleName kRuleNames[] = {
    {StructureRule::None, "-"},         {StructureRule::Jpeg, "jpeg"},     {StructureRule::Png, "png"},
    {StructureRule::Gif, "gif"},        {StructureRule::Zip, "zip"},       {StructureRule::Pdf, "pdf"},
    {StructureRule::Bmp, "bmp"},        {StructureRule::Riff, "riff"},     {StructureRule::Sqlite, "sqlite"},
    {StructureRule::IsoMedia, "boxes"}, {StructureRule::Gzip, "gzip"},     {StructureRule::SevenZip, "7z"},
    {StructureRule::Rar, "rar"},        {StructureRule::Pe, "pe"},         {StructureRule::Tiff, "tiff"},
    {StructureRule::Psd, "psd"},        {StructureRule::Mp3, "mp3"},       {StructureRule::Rtf, "rtf"},
};

using Length = std::optional<std::int64_t>;

// A length is only taken when it lies within the limit.
Length within(FileBytes& file, std::int64_t length) {
  if (length <= 0 || length > file.limit()) return std::nullopt;
  return length;
}

// JPEG: marker segments from SOI on, each marker's length skipped (so an FF D9 inside a comment, an Exif
// block or an ICC profile is never taken for the end), the entropy-coded data after SOS read up to the
// next marker that is not a restart or a stuffed FF; EOI ends the file.
Length jpegLength(FileBytes& file) {
  if (file.be16(0) != 0xFFD8) return std::nullopt;
  std::int64_t pos = 2;
  while (pos < file.limit()) {
    if (file.u8(pos) != 0xFF) return std::nullopt;
    // Fill bytes: any number of FF before the marker code.
    std::optional<std::uint8_t> code = file.u8(pos + 1);
    while (code == 0xFF) {
      ++pos;
      code = file.u8(pos + 1);
    }
    if (!code) return std::nullopt;
    const std::uint8_t m = *code;
    if (m == 0xD9) return within(file, pos + 2);
    if (m == 0x00 || m == 0xD8) return std::nullopt;
    if ((m >= 0xD0 && m <= 0xD7) || m == 0x01) {
      pos += 2;
      continue;
    }
    const std::optional<std::uint16_t> length = file.be16(pos + 2);
    if (!length || *length < 2) return std::nullopt;
    file.recognised = true;
    pos += 2 + *length;
    if (m != 0xDA) continue;
    // Entropy-coded data: FF 00 is a stuffed byte, FF D0..D7 a restart, anything else the next marker.
    while (true) {
      const std::optional<std::int64_t> ff = file.find("\xFF", pos, file.limit());
      if (!ff) return std::nullopt;
      const std::optional<std::uint8_t> next = file.u8(*ff + 1);
      if (!next) return std::nullopt;
      if (*next == 0x00 || (*next >= 0xD0 && *next <= 0xD7) || *next == 0xFF) {
        pos = *ff + 1;
        continue;
      }
      pos = *ff;
      break;
    }
  }
  return std::nullopt;
}

bool chunkTypeByte(std::uint8_t b) { return (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z'); }

// PNG: chunks (length, type, data, CRC) from the signature on, to IEND.
Length pngLength(FileBytes& file) {
  file.recognised = file.holds(0, "\x89PNG\r\n\x1A\n");
  std::int64_t pos = 8;
  while (pos < file.limit()) {
    const std::optional<std::uint32_t> length = file.be32(pos);
    if (!length || *length > 0x7FFFFFFFu) return std::nullopt;
    for (std::int64_t i = 4; i < 8; ++i) {
      const std::optional<std::uint8_t> b = file.u8(pos + i);
      if (!b || !chunkTypeByte(*b)) return std::nullopt;
    }
    const bool end = file.holds(pos + 4, "IEND");
    pos += 12 + static_cast<std::int64_t>(*length);
    if (end) return within(file, pos);
  }
  return std::nullopt;
}

// A GIF's data sub-blocks from `pos`: each a size byte and that many bytes, to the empty one.
std::optional<std::int64_t> gifSubBlocks(FileBytes& file, std::int64_t pos) {
  while (pos < file.limit()) {
    const std::optional<std::uint8_t> size = file.u8(pos);
    if (!size) return std::nullopt;
    pos += 1 + *size;
    if (*size == 0) return pos;
  }
  return std::nullopt;
}

// GIF: the screen descriptor and its colour table, then extensions and images (each a run of sub-blocks)
// to the trailer 0x3B.
Length gifLength(FileBytes& file) {
  const std::optional<std::uint8_t> flags = file.u8(10);
  if (!flags || !file.holds(0, "GIF8")) return std::nullopt;
  file.recognised = true;
  std::int64_t pos = 13 + ((*flags & 0x80) ? 3 * (std::int64_t{2} << (*flags & 7)) : 0);
  while (pos < file.limit()) {
    const std::optional<std::uint8_t> block = file.u8(pos);
    if (!block) return std::nullopt;
    std::optional<std::int64_t> next;
    if (*block == 0x3B) return within(file, pos + 1);
    if (*block == 0x21) {
      next = gifSubBlocks(file, pos + 2);
    } else if (*block == 0x2C) {
      const std::optional<std::uint8_t> local = file.u8(pos + 9);
      if (!local) return std::nullopt;
      const std::int64_t table = (*local & 0x80) ? 3 * (std::int64_t{2} << (*local & 7)) : 0;
      // The descriptor, the local colour table, the LZW code size, then the image's sub-blocks.
      next = gifSubBlocks(file, pos + 10 + table + 1);
    }
    if (!next) return std::nullopt;
    pos = *next;
  }
  return std::nullopt;
}

// ZIP and its kin: the end-of-central-directory record whose central directory ends right before it and
// begins with a central header (a look-alike inside a member's data fails that test), plus its comment.
// Local headers met on the way are members of this file, not new files.
Length zipLength(FileBytes& file) {
  // A local header (or the spanning marker) where the file begins.
  file.recognised = file.holds(0, "PK\x03\x04") || file.holds(0, "PK\x07\x08");
  std::int64_t from = 4;
  while (true) {
    const std::optional<std::int64_t> eocd = file.find("PK\x05\x06", from, file.limit());
    if (!eocd) return std::nullopt;
    from = *eocd + 1;
    const std::optional<std::uint32_t> cdSize = file.le32(*eocd + 12);
    const std::optional<std::uint32_t> cdOffset = file.le32(*eocd + 16);
    const std::optional<std::uint16_t> comment = file.le16(*eocd + 20);
    if (!cdSize || !cdOffset || !comment) return std::nullopt;
    const std::int64_t end = *eocd + 22 + *comment;
    if (*cdOffset == 0xFFFFFFFFu || *cdSize == 0xFFFFFFFFu) {
      // ZIP64: the locator right before the record points at the ZIP64 end record.
      if (!file.holds(*eocd - 20, "PK\x06\x07")) continue;
      const std::optional<std::uint64_t> record = file.le64(*eocd - 20 + 8);
      if (!record || *record >= static_cast<std::uint64_t>(*eocd) || !file.holds(static_cast<std::int64_t>(*record), "PK\x06\x06"))
        continue;
      return within(file, end);
    }
    const std::int64_t cdEnd = static_cast<std::int64_t>(*cdOffset) + *cdSize;
    if (cdEnd != *eocd) continue;
    if (*cdSize == 0 || file.holds(*cdOffset, "PK\x01\x02")) return within(file, end);
  }
}

bool pdfSpace(std::uint8_t b) { return b == ' ' || b == '\r' || b == '\n' || b == '\t' || b == '\f' || b == 0; }

// PDF: "%%EOF" and the line end after it; an incremental update (or the rest of a linearized file) follows
// an "%%EOF" at once with an object, a cross-reference section or a comment, and moves the end on to its
// own "%%EOF". Another "%PDF-" ends the search.
Length pdfLength(FileBytes& file) {
  file.recognised = file.holds(0, "%PDF-");
  std::int64_t from = 5;
  std::optional<std::int64_t> end;
  while (from < file.limit()) {
    const std::optional<std::int64_t> eof = file.find("%%EOF", from, file.limit());
    if (!eof) break;
    const std::optional<std::int64_t> another = file.find("%PDF-", from, *eof);
    if (another) break;
    std::int64_t pos = *eof + 5;
    if (file.u8(pos) == '\r') ++pos;
    if (file.u8(pos) == '\n') ++pos;
    end = pos;
    // What follows: blanks, then a digit (an object), "xref", "trailer" or "%" (not "%PDF-") continue.
    std::int64_t look = pos;
    std::optional<std::uint8_t> b = file.u8(look);
    for (int k = 0; b && pdfSpace(*b) && k < 64; ++k) b = file.u8(++look);
    if (!b) break;
    const bool more = (*b >= '0' && *b <= '9') || file.holds(look, "xref") || file.holds(look, "trailer") ||
                      (*b == '%' && !file.holds(look, "%PDF-"));
    if (!more) break;
    from = look;
  }
  if (!end) return std::nullopt;
  return within(file, *end);
}

// BMP: the file size in the header, checked against the pixel data offset and a known DIB header size.
Length bmpLength(FileBytes& file) {
  const std::optional<std::uint32_t> size = file.le32(2);
  const std::optional<std::uint32_t> dataAt = file.le32(10);
  const std::optional<std::uint32_t> dib = file.le32(14);
  if (!size || !dataAt || !dib) return std::nullopt;
  static constexpr std::uint32_t kDib[] = {12, 16, 40, 52, 56, 64, 108, 124};
  if (std::find(std::begin(kDib), std::end(kDib), *dib) == std::end(kDib)) return std::nullopt;
  if (*dataAt < 14 + *dib || *dataAt > *size) return std::nullopt;
  file.recognised = true;
  return within(file, *size);
}

// RIFF (WAV, AVI, ...): "RIFF" and the size of what follows the first 8 bytes, padded to an even length.
Length riffLength(FileBytes& file) {
  if (!file.holds(0, "RIFF")) return std::nullopt;
  file.recognised = true;
  const std::optional<std::uint32_t> size = file.le32(4);
  if (!size || *size < 4) return std::nullopt;
  return within(file, 8 + static_cast<std::int64_t>(*size) + (*size & 1));
}

// SQLite: page size times the page count, trusted only when the header says the count is current (its
// change counter equals the "version valid for" number).
Length sqliteLength(FileBytes& file) {
  if (!file.holds(0, std::string_view("SQLite format 3\0", 16))) return std::nullopt;
  file.recognised = true;
  const std::optional<std::uint16_t> raw = file.be16(16);
  const std::optional<std::uint32_t> pages = file.be32(28);
  const std::optional<std::uint32_t> changes = file.be32(24);
  const std::optional<std::uint32_t> validFor = file.be32(92);
  if (!raw || !pages || !changes || !validFor || *changes != *validFor || *pages == 0) return std::nullopt;
  const std::int64_t pageSize = *raw == 1 ? 65536 : *raw;
  if (pageSize < 512 || (pageSize & (pageSize - 1)) != 0) return std::nullopt;
  return within(file, pageSize * *pages);
}

bool boxTypeByte(std::uint8_t b) { return b >= 0x20 && b <= 0x7E; }

// MP4, QuickTime and other ISO media: the top-level boxes from "ftyp" on, each size (or 64-bit large size)
// skipped; the file ends before the first bytes that are not a known top-level box, and holds a "moov".
Length boxesLength(FileBytes& file) {
  static constexpr std::string_view kTopLevel[] = {"ftyp", "moov", "mdat", "free", "skip", "wide", "uuid", "pdin",
                                                   "moof", "mfra", "meta", "styp", "sidx", "ssix", "prft", "pnot",
                                                   "PICT", "emsg", "junk", "udta", "uuid", "bxml", "xml "};
  const std::optional<std::uint32_t> first = file.be32(0);
  if (!file.holds(4, "ftyp") || !first || *first < 8 || *first > 4096) return std::nullopt;
  file.recognised = true;
  std::int64_t pos = 0;
  bool movie = false;
  for (int boxes = 0; boxes < 100000 && pos < file.limit(); ++boxes) {
    const std::optional<std::uint32_t> size = file.be32(pos);
    std::array<char, 4> type{};
    bool printable = size.has_value();
    for (std::size_t i = 0; i < 4 && printable; ++i) {
      const std::optional<std::uint8_t> b = file.u8(pos + 4 + static_cast<std::int64_t>(i));
      printable = b && boxTypeByte(*b);
      if (printable) type[i] = static_cast<char>(*b);
    }
    const std::string_view name(type.data(), 4);
    const bool known = printable && std::find(std::begin(kTopLevel), std::end(kTopLevel), name) != std::end(kTopLevel);
    if (!known) break;
    std::int64_t length = *size;
    if (*size == 1) {
      const std::optional<std::uint64_t> large = file.be64(pos + 8);
      if (!large || *large < 16 || *large > static_cast<std::uint64_t>(file.limit())) return std::nullopt;
      length = static_cast<std::int64_t>(*large);
    } else if (*size < 8) {
      // Size 0 runs to the end of the file, which is what is being looked for.
      return std::nullopt;
    }
    if (name == "moov") movie = true;
    pos += length;
  }
  if (!movie || pos > file.limit()) return std::nullopt;
  return within(file, pos);
}

// gzip: the member's deflate stream decoded to its end, then the 8-byte trailer, whose CRC and size
// the decoder checks.
Length gzipLength(FileBytes& file) {
  const std::optional<std::uint8_t> flags = file.u8(3);
  if (file.be16(0) != 0x1F8B || file.u8(2) != 8 || !flags || (*flags & 0xE0) != 0) return std::nullopt;
  file.recognised = true;
  z_stream z{};
  if (inflateInit2(&z, 16 + MAX_WBITS) != Z_OK) return std::nullopt;
  std::vector<unsigned char> sink(65536);
  std::int64_t pos = 0;
  int status = Z_OK;
  while (status == Z_OK) {
    Bytes run = file.run(pos);
    if (run.empty()) break;
    z.next_in = reinterpret_cast<Bytef*>(const_cast<std::byte*>(run.data()));
    z.avail_in = static_cast<uInt>(run.size());
    while (z.avail_in > 0 && status == Z_OK) {
      z.next_out = sink.data();
      z.avail_out = static_cast<uInt>(sink.size());
      status = inflate(&z, Z_NO_FLUSH);
      if (status == Z_BUF_ERROR && z.avail_out > 0) break;
    }
    if (status == Z_BUF_ERROR) status = Z_OK;
    pos += static_cast<std::int64_t>(run.size()) - static_cast<std::int64_t>(z.avail_in);
  }
  const bool ended = status == Z_STREAM_END;
  const std::int64_t length = static_cast<std::int64_t>(z.total_in);
  inflateEnd(&z);
  if (!ended) return std::nullopt;
  return within(file, length);
}

// 7z: the signature header (its CRC checked) gives the next header's offset and size; the file ends
// with that header.
Length sevenZipLength(FileBytes& file) {
  file.recognised = file.holds(0, "7z\xBC\xAF\x27\x1C");
  std::array<unsigned char, 20> start{};
  for (std::size_t i = 0; i < start.size(); ++i) {
    const std::optional<std::uint8_t> b = file.u8(12 + static_cast<std::int64_t>(i));
    if (!b) return std::nullopt;
    start[i] = *b;
  }
  const std::optional<std::uint32_t> crc = file.le32(8);
  if (!crc || crc32(0, start.data(), static_cast<uInt>(start.size())) != *crc) return std::nullopt;
  const std::optional<std::uint64_t> offset = file.le64(12);
  const std::optional<std::uint64_t> size = file.le64(20);
  const auto limit = static_cast<std::uint64_t>(file.limit());
  if (!offset || !size || *offset > limit || *size > limit) return std::nullopt;
  return within(file, static_cast<std::int64_t>(32 + *offset + *size));
}

// A RAR 5 variable-length integer at `pos`; `pos` moves past it.
std::optional<std::uint64_t> rarVint(FileBytes& file, std::int64_t& pos) {
  std::uint64_t value = 0;
  for (int shift = 0; shift < 64; shift += 7) {
    const std::optional<std::uint8_t> b = file.u8(pos++);
    if (!b) return std::nullopt;
    value |= static_cast<std::uint64_t>(*b & 0x7F) << shift;
    if ((*b & 0x80) == 0) return value;
  }
  return std::nullopt;
}

// RAR 4 and 5: the blocks (header size, plus data size where the flags say so) to the end-of-archive block.
Length rarLength(FileBytes& file) {
  if (!file.holds(0, "Rar!\x1A\x07")) return std::nullopt;
  file.recognised = true;
  const auto limit = static_cast<std::uint64_t>(file.limit());
  if (file.u8(6) == 0x00) {
    std::int64_t pos = 7;
    while (pos < file.limit()) {
      const std::optional<std::uint8_t> type = file.u8(pos + 2);
      const std::optional<std::uint16_t> flags = file.le16(pos + 3);
      const std::optional<std::uint16_t> size = file.le16(pos + 5);
      if (!type || !flags || !size || *size < 7 || *type < 0x72 || *type > 0x7B) return std::nullopt;
      std::int64_t block = *size;
      if ((*flags & 0x8000) || *type == 0x74 || *type == 0x7A) {
        const std::optional<std::uint32_t> added = file.le32(pos + 7);
        if (!added) return std::nullopt;
        block += *added;
      }
      if (*type == 0x7B) return within(file, pos + block);
      pos += block;
    }
    return std::nullopt;
  }
  if (file.u8(6) != 0x01 || file.u8(7) != 0x00) return std::nullopt;
  std::int64_t pos = 8;
  while (pos < file.limit()) {
    std::int64_t at = pos + 4;
    const std::optional<std::uint64_t> headerSize = rarVint(file, at);
    if (!headerSize || *headerSize == 0 || *headerSize > limit) return std::nullopt;
    const std::int64_t headerEnd = at + static_cast<std::int64_t>(*headerSize);
    const std::optional<std::uint64_t> type = rarVint(file, at);
    const std::optional<std::uint64_t> flags = rarVint(file, at);
    if (!type || !flags || *type == 0 || *type > 5) return std::nullopt;
    std::uint64_t data = 0;
    if (*flags & 1) {
      if (!rarVint(file, at)) return std::nullopt;
    }
    if (*flags & 2) {
      const std::optional<std::uint64_t> size = rarVint(file, at);
      if (!size || *size > limit) return std::nullopt;
      data = *size;
    }
    if (at > headerEnd) return std::nullopt;
    pos = headerEnd + static_cast<std::int64_t>(data);
    if (*type == 5) return within(file, pos);
  }
  return std::nullopt;
}

// Windows programs and libraries: the end of the furthest section's raw data, of the headers, and of an
// attached certificate table.
Length peLength(FileBytes& file) {
  const std::optional<std::uint32_t> pe = file.le32(0x3C);
  if (!pe || *pe < 0x40 || *pe > 0x10000000u || !file.holds(*pe, std::string_view("PE\0\0", 4))) return std::nullopt;
  file.recognised = true;
  const std::int64_t coff = *pe + 4;
  const std::optional<std::uint16_t> sections = file.le16(coff + 2);
  const std::optional<std::uint16_t> optionalSize = file.le16(coff + 16);
  const std::optional<std::uint16_t> magic = file.le16(coff + 20);
  if (!sections || !optionalSize || !magic || *sections == 0 || *sections > 96) return std::nullopt;
  const std::int64_t opt = coff + 20;
  std::int64_t end = 0;
  const std::optional<std::uint32_t> headers = file.le32(opt + 60);
  if (!headers) return std::nullopt;
  end = *headers;
  // The certificate table is data directory 4; its "address" is a file offset.
  const std::int64_t directories = *magic == 0x20B ? opt + 112 : *magic == 0x10B ? opt + 96 : -1;
  if (directories < 0) return std::nullopt;
  const std::optional<std::uint32_t> count = file.le32(directories - 4);
  if (count && *count > 4 && directories + 5 * 8 <= opt + *optionalSize) {
    const std::optional<std::uint32_t> at = file.le32(directories + 4 * 8);
    const std::optional<std::uint32_t> size = file.le32(directories + 4 * 8 + 4);
    if (at && size && *at != 0) end = std::max<std::int64_t>(end, static_cast<std::int64_t>(*at) + *size);
  }
  const std::int64_t table = opt + *optionalSize;
  for (std::int64_t i = 0; i < *sections; ++i) {
    const std::optional<std::uint32_t> size = file.le32(table + i * 40 + 16);
    const std::optional<std::uint32_t> at = file.le32(table + i * 40 + 20);
    if (!size || !at) return std::nullopt;
    if (*size != 0) end = std::max<std::int64_t>(end, static_cast<std::int64_t>(*at) + *size);
  }
  return within(file, end);
}

// TIFF: every IFD (the chain, and the Exif, GPS and sub-IFDs they point at), the out-of-line values of
// their entries and the strips or tiles their offsets and byte counts name; the file ends at the furthest.
Length tiffLength(FileBytes& file) {
  const bool big = file.holds(0, "MM");
  if (!big && !file.holds(0, "II")) return std::nullopt;
  auto u16 = [&](std::int64_t at) { return big ? file.be16(at) : file.le16(at); };
  auto u32 = [&](std::int64_t at) { return big ? file.be32(at) : file.le32(at); };
  if (u16(2) != 42) return std::nullopt;
  file.recognised = true;
  static constexpr std::int64_t kTypeSize[] = {0, 1, 1, 2, 4, 8, 1, 1, 2, 4, 8, 4, 8, 4};
  std::int64_t end = 8;
  std::vector<std::int64_t> todo;
  std::set<std::int64_t> seen;
  if (const std::optional<std::uint32_t> first = u32(4)) todo.push_back(*first);
  // An array of offsets or counts (SHORT or LONG) of an entry.
  auto values = [&](std::uint16_t type, std::uint32_t count, std::int64_t entry) -> std::vector<std::int64_t> {
    std::vector<std::int64_t> out;
    const std::int64_t width = type == 3 ? 2 : 4;
    if ((type != 3 && type != 4) || count > 1000000) return out;
    std::int64_t at = entry + 8;
    if (count * width > 4) {
      const std::optional<std::uint32_t> where = u32(entry + 8);
      if (!where) return out;
      at = *where;
    }
    for (std::uint32_t i = 0; i < count; ++i) {
      const std::optional<std::uint32_t> v = width == 2 ? std::optional<std::uint32_t>(u16(at + i * 2)) : u32(at + i * 4);
      if (!v) return {};
      out.push_back(*v);
    }
    return out;
  };
  while (!todo.empty() && seen.size() < 256) {
    const std::int64_t ifd = todo.back();
    todo.pop_back();
    if (ifd < 8 || ifd >= file.limit() || !seen.insert(ifd).second) continue;
    const std::optional<std::uint16_t> entries = u16(ifd);
    if (!entries) return std::nullopt;
    std::vector<std::int64_t> offsets[2];
    std::vector<std::int64_t> counts[2];
    // Entries are sorted by tag and typed 1 to 13; anything else is no IFD (noise behind a damaged header).
    if (*entries == 0 || *entries > 4096) return std::nullopt;
    int previous = -1;
    for (std::int64_t k = 0; k < *entries; ++k) {
      const std::int64_t entry = ifd + 2 + k * 12;
      const std::optional<std::uint16_t> tag = u16(entry);
      const std::optional<std::uint16_t> type = u16(entry + 2);
      const std::optional<std::uint32_t> count = u32(entry + 4);
      if (!tag || !type || !count || *tag <= previous || *type == 0 || *type > 13) return std::nullopt;
      previous = *tag;
      const std::int64_t bytes = kTypeSize[*type] * static_cast<std::int64_t>(*count);
      if (bytes > 4) {
        const std::optional<std::uint32_t> at = u32(entry + 8);
        if (!at) return std::nullopt;
        end = std::max(end, static_cast<std::int64_t>(*at) + bytes);
      }
      switch (*tag) {
        case 273: offsets[0] = values(*type, *count, entry); break;
        case 279: counts[0] = values(*type, *count, entry); break;
        case 324: offsets[1] = values(*type, *count, entry); break;
        case 325: counts[1] = values(*type, *count, entry); break;
        case 330: case 34665: case 34853: case 40965:
          for (std::int64_t v : values(*type == 13 ? 4 : *type, *count, entry)) todo.push_back(v);
          break;
        default: break;
      }
    }
    for (int s = 0; s < 2; ++s)
      for (std::size_t i = 0; i < std::min(offsets[s].size(), counts[s].size()); ++i)
        end = std::max(end, offsets[s][i] + counts[s][i]);
    end = std::max(end, ifd + 2 + *entries * 12 + 4);
    const std::optional<std::uint32_t> next = u32(ifd + 2 + *entries * 12);
    if (next && *next != 0) todo.push_back(*next);
  }
  return within(file, end);
}

// Photoshop: the header, three length-prefixed sections, then the merged image: raw, or RLE with its
// table of row byte counts.
Length psdLength(FileBytes& file) {
  const std::optional<std::uint16_t> version = file.be16(4);
  const std::optional<std::uint16_t> channels = file.be16(12);
  const std::optional<std::uint32_t> height = file.be32(14);
  const std::optional<std::uint32_t> width = file.be32(18);
  const std::optional<std::uint16_t> depth = file.be16(22);
  if (!version || !channels || !height || !width || !depth || (*version != 1 && *version != 2)) return std::nullopt;
  if (*channels == 0 || *channels > 56 || *depth == 0 || *depth > 32 || !file.holds(0, "8BPS")) return std::nullopt;
  file.recognised = true;
  const bool large = *version == 2;
  std::int64_t pos = 26;
  for (int section = 0; section < 3; ++section) {
    std::int64_t length = 0;
    if (section == 2 && large) {
      const std::optional<std::uint64_t> l = file.be64(pos);
      if (!l || *l > static_cast<std::uint64_t>(file.limit())) return std::nullopt;
      length = static_cast<std::int64_t>(*l);
      pos += 8;
    } else {
      const std::optional<std::uint32_t> l = file.be32(pos);
      if (!l) return std::nullopt;
      length = *l;
      pos += 4;
    }
    pos += length;
    if (pos > file.limit()) return std::nullopt;
  }
  const std::optional<std::uint16_t> compression = file.be16(pos);
  if (!compression) return std::nullopt;
  pos += 2;
  const std::int64_t rows = static_cast<std::int64_t>(*channels) * *height;
  if (*compression == 0) {
    const std::int64_t rowBytes = (static_cast<std::int64_t>(*width) * *depth + 7) / 8;
    if (rowBytes > file.limit() || rows > file.limit()) return std::nullopt;
    return within(file, pos + rows * rowBytes);
  }
  if (*compression != 1 || rows * (large ? 4 : 2) > file.limit()) return std::nullopt;
  std::int64_t data = 0;
  for (std::int64_t r = 0; r < rows; ++r) {
    const std::optional<std::uint32_t> n =
        large ? file.be32(pos + r * 4) : std::optional<std::uint32_t>(file.be16(pos + r * 2));
    if (!n) return std::nullopt;
    data += *n;
    if (data > file.limit()) return std::nullopt;
  }
  return within(file, pos + rows * (large ? 4 : 2) + data);
}

// An MPEG audio frame header's length in bytes, or 0 when the four bytes are no header.
struct FrameHeader {
  std::int64_t length = 0;
  std::uint32_t kind = 0;  // version, layer and sample rate: the same in every frame of a file
};
FrameHeader mpegFrame(std::uint32_t h) {
  if ((h & 0xFFE00000u) != 0xFFE00000u) return {};
  const std::uint32_t version = (h >> 19) & 3;  // 0: 2.5, 2: 2, 3: 1
  const std::uint32_t layer = (h >> 17) & 3;    // 1: III, 2: II, 3: I
  const std::uint32_t bitrate = (h >> 12) & 15;
  const std::uint32_t rate = (h >> 10) & 3;
  const std::uint32_t padding = (h >> 9) & 1;
  if (version == 1 || layer == 0 || bitrate == 0 || bitrate == 15 || rate == 3) return {};
  static constexpr int kRates[3][3] = {{11025, 12000, 8000}, {22050, 24000, 16000}, {44100, 48000, 32000}};
  static constexpr int kV1[3][15] = {
      {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320},        // layer III
      {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384},       // layer II
      {0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448}};   // layer I
  static constexpr int kV2[2][15] = {
      {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160},            // layers II and III
      {0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256}};      // layer I
  const int sampleRate = kRates[version == 3 ? 2 : version == 2 ? 1 : 0][rate];
  const bool v1 = version == 3;
  const int kbps = v1 ? kV1[layer == 3 ? 2 : layer == 2 ? 1 : 0][bitrate] : kV2[layer == 3 ? 1 : 0][bitrate];
  std::int64_t length = 0;
  if (layer == 3) {
    length = (12LL * kbps * 1000 / sampleRate + padding) * 4;
  } else {
    const std::int64_t factor = (layer == 1 && !v1) ? 72 : 144;
    length = factor * kbps * 1000 / sampleRate + padding;
  }
  return {length, ((h >> 17) & 0xFu) << 2 | ((h >> 10) & 3u)};
}

// MP3: the ID3v2 tag (its syncsafe size, and a footer when flagged), then MPEG frames of one kind back to
// back, then an ID3v1 tag when one follows.
Length mp3Length(FileBytes& file) {
  if (!file.holds(0, "ID3")) return std::nullopt;
  const std::optional<std::uint8_t> flags = file.u8(5);
  std::int64_t size = 0;
  for (std::int64_t i = 6; i < 10; ++i) {
    const std::optional<std::uint8_t> b = file.u8(i);
    if (!b || (*b & 0x80)) return std::nullopt;
    size = size << 7 | *b;
  }
  const std::optional<std::uint8_t> version = file.u8(3);
  if (!flags || !version || *version < 2 || *version > 4) return std::nullopt;
  file.recognised = true;
  std::int64_t pos = 10 + size + ((*flags & 0x10) ? 10 : 0);
  // Some writers pad the tag with more zeros than its size says.
  for (int k = 0; k < 65536 && file.u8(pos) == 0; ++k) ++pos;
  std::uint32_t kind = 0;
  std::int64_t frames = 0;
  while (pos < file.limit()) {
    const std::optional<std::uint32_t> header = file.be32(pos);
    if (!header) break;
    const FrameHeader frame = mpegFrame(*header);
    if (frame.length <= 4 || (frames > 0 && frame.kind != kind)) break;
    if (pos + frame.length > file.limit()) break;
    kind = frame.kind;
    pos += frame.length;
    ++frames;
  }
  if (frames < 2) return std::nullopt;
  if (file.holds(pos, "TAG") && pos + 128 <= file.limit()) pos += 128;
  return within(file, pos);
}

// RTF: groups nested by braces, from the "{\rtf1" that opens the outer group to the brace that closes it.
// "\{", "\}" and "\\" are text, and a "\binN" control word is followed by N bytes of data, braces or not.
// RTF is 7-bit text (other characters are written as escapes): a control byte other than a tab or a line
// break, or a byte above 0x7F, outside \bin data is no RTF. The line break after the closing brace, when
// there is one, belongs to the file.
Length rtfLength(FileBytes& file) {
  if (!file.holds(0, "{\\rtf1")) return std::nullopt;
  const auto letter = [](std::optional<std::uint8_t> b) { return b && ((*b | 0x20) >= 'a' && (*b | 0x20) <= 'z'); };
  const auto digit = [](std::optional<std::uint8_t> b) { return b && *b >= '0' && *b <= '9'; };
  std::int64_t depth = 0;
  for (std::int64_t pos = 0; pos < file.limit();) {
    const std::optional<std::uint8_t> b = file.u8(pos);
    if (!b || *b >= 0x80 || (*b < 0x20 && *b != '\t' && *b != '\r' && *b != '\n')) return std::nullopt;
    if (*b == '{') {
      ++depth;
      ++pos;
    } else if (*b == '}') {
      ++pos;
      if (--depth > 0) continue;
      if (file.u8(pos) == '\r') ++pos;
      if (file.u8(pos) == '\n') ++pos;
      return within(file, pos);
    } else if (*b != '\\') {
      ++pos;
    } else if (!letter(file.u8(pos + 1))) {
      // A control symbol: the backslash and one character.
      pos += 2;
    } else {
      // A control word: letters (at most 32), an optional signed number (at most 10 digits), an optional
      // blank that ends it.
      std::int64_t q = pos + 1;
      const bool bin = file.holds(q, "bin");
      for (int n = 0; n < 32 && letter(file.u8(q)); ++n) ++q;
      const bool binWord = bin && q == pos + 4;
      const bool negative = file.u8(q) == '-';
      if (negative) ++q;
      std::int64_t number = 0;
      int digits = 0;
      for (std::optional<std::uint8_t> d = file.u8(q); digits < 10 && digit(d); d = file.u8(++q), ++digits)
        number = number * 10 + (*d - '0');
      if (file.u8(q) == ' ') ++q;
      if (binWord && !negative && digits > 0) {
        if (number > file.limit() - q) return std::nullopt;
        q += number;
      }
      pos = q;
    }
  }
  return std::nullopt;
}

}  // namespace

std::string_view structureRuleName(StructureRule rule) {
  for (const RuleName& r : kRuleNames)
    if (r.rule == rule) return r.name;
  return "-";
}

std::optional<StructureRule> structureRuleNamed(std::string_view name) {
  if (name.empty()) return StructureRule::None;
  for (const RuleName& r : kRuleNames)
    if (r.name == name) return r.rule;
  return std::nullopt;
}

StructureRule structureRuleOf(std::int32_t number) {
  for (const RuleName& r : kRuleNames)
    if (static_cast<std::int32_t>(r.rule) == number) return r.rule;
  return StructureRule::None;
}

FileBytes::FileBytes(Reader read, std::int64_t limit) : m_read(std::move(read)), m_limit(std::max<std::int64_t>(limit, 0)) {}

const std::vector<std::byte>* FileBytes::piece(std::int64_t pos, std::int64_t& pieceStart) {
  if (pos < 0 || pos >= m_limit) return nullptr;
  // Most walks decide within the first bytes: the first 64 KiB are read in smaller pieces.
  const std::int64_t size = pos < kPiece ? kFirstPiece : kPiece;
  pieceStart = pos / size * size;
  for (Cached& c : m_cache)
    if (c.start == pieceStart) return c.good ? &c.bytes : nullptr;
  m_newest ^= 1;
  Cached& c = m_cache[m_newest];
  c.start = pieceStart;
  // Reads keep to whole sectors; only the bytes below the limit are used.
  const std::int64_t wanted = std::min(size, (m_limit - pieceStart + kSector - 1) / kSector * kSector);
  c.bytes.resize(static_cast<std::size_t>(wanted));
  c.good = m_read(pieceStart, c.bytes);
  c.bytes.resize(static_cast<std::size_t>(std::min(wanted, m_limit - pieceStart)));
  return c.good ? &c.bytes : nullptr;
}

std::optional<std::uint8_t> FileBytes::u8(std::int64_t pos) {
  std::int64_t start = 0;
  const std::vector<std::byte>* bytes = piece(pos, start);
  if (!bytes) return std::nullopt;
  return std::to_integer<std::uint8_t>((*bytes)[static_cast<std::size_t>(pos - start)]);
}

bool FileBytes::holds(std::int64_t pos, std::string_view text) {
  for (std::size_t i = 0; i < text.size(); ++i)
    if (u8(pos + static_cast<std::int64_t>(i)) != static_cast<std::uint8_t>(text[i])) return false;
  return true;
}

Bytes FileBytes::run(std::int64_t pos) {
  std::int64_t start = 0;
  const std::vector<std::byte>* bytes = piece(pos, start);
  if (!bytes) return {};
  return Bytes(*bytes).subspan(static_cast<std::size_t>(pos - start));
}

std::optional<std::int64_t> FileBytes::find(std::string_view needle, std::int64_t from, std::int64_t to) {
  to = std::min(to, m_limit);
  if (needle.empty()) return std::nullopt;
  const int first = static_cast<unsigned char>(needle[0]);
  while (from < to) {
    const Bytes here = run(from);
    if (here.empty()) return std::nullopt;
    const std::size_t span = static_cast<std::size_t>(std::min<std::int64_t>(static_cast<std::int64_t>(here.size()), to - from));
    const void* hit = std::memchr(here.data(), first, span);
    if (!hit) {
      from += static_cast<std::int64_t>(span);
      continue;
    }
    const std::int64_t q = from + (static_cast<const std::byte*>(hit) - here.data());
    if (holds(q, needle)) return q;
    from = q + 1;
  }
  return std::nullopt;
}

std::optional<std::int64_t> structureLength(StructureRule rule, FileBytes& file) {
  // A start signature of three bytes or more at a block start is the type's own header; the two-byte ones
  // ("BM", "MZ") turn up in noise once in 65,536 blocks, and only their headers' checks tell a file.
  file.recognised = rule != StructureRule::Bmp && rule != StructureRule::Pe;
  switch (rule) {
    case StructureRule::None: return std::nullopt;
    case StructureRule::Jpeg: return jpegLength(file);
    case StructureRule::Png: return pngLength(file);
    case StructureRule::Gif: return gifLength(file);
    case StructureRule::Zip: return zipLength(file);
    case StructureRule::Pdf: return pdfLength(file);
    case StructureRule::Bmp: return bmpLength(file);
    case StructureRule::Riff: return riffLength(file);
    case StructureRule::Sqlite: return sqliteLength(file);
    case StructureRule::IsoMedia: return boxesLength(file);
    case StructureRule::Gzip: return gzipLength(file);
    case StructureRule::SevenZip: return sevenZipLength(file);
    case StructureRule::Rar: return rarLength(file);
    case StructureRule::Pe: return peLength(file);
    case StructureRule::Tiff: return tiffLength(file);
    case StructureRule::Psd: return psdLength(file);
    case StructureRule::Mp3: return mp3Length(file);
    case StructureRule::Rtf: return rtfLength(file);
  }
  return std::nullopt;
}

}  // namespace tessary
