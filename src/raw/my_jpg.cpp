// The carving engine: the matcher table, the chunked scan with its pending-start stacks, the category
// nodes of the raw tree and the flush of starts whose end was never seen.
#include "raw/my_jpg.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <new>
#include <span>

#include "platform/bytes.h"
#include "platform/text.h"

namespace tessary {

namespace {

constexpr std::int64_t kBlock = 512;

template <std::size_t N>
std::u16string untilZero(const std::array<char16_t, N>& units) {
  std::u16string out;
  for (char16_t unit : units) {
    if (unit == 0) break;
    out.push_back(unit);
  }
  return out;
}

// A slot can match only when it has 2 to 10 bytes and they all lie inside the block.
bool slotUsable(const PatternSlot& slot) {
  return slot.length >= 2 && slot.length <= kSignatureBytes && slot.offset >= 0 &&
         slot.offset + static_cast<std::int32_t>(slot.length) <= kBlock;
}

bool slotMatches(const PatternSlot& slot, const std::byte* block) {
  for (std::size_t i = 0; i < slot.length; ++i) {
    const std::uint8_t want = slot.bytes[i];
    if (want != kWildcardByte && std::to_integer<std::uint8_t>(block[slot.offset + static_cast<std::int32_t>(i)]) != want)
      return false;
  }
  return true;
}

// A signature's bytes as the flush looks for them at any byte position, 0x2A matching any byte.
class Needle {
 public:
  Needle(const std::uint8_t* bytes, std::size_t length) : m_bytes(bytes), m_length(length) {
    while (m_key < m_length && m_bytes[m_key] == kWildcardByte) ++m_key;
  }
  std::size_t length() const { return m_length; }

  // The first position q in [from, to) where the needle matches data[q ..]; `to` when there is none. The
  // caller keeps q + length() within the data for every q below `to`.
  std::size_t find(const std::byte* data, std::size_t from, std::size_t to) const {
    if (m_key == m_length) return from;
    const int key = m_bytes[m_key];
    while (from < to) {
      const void* hit = std::memchr(data + from + m_key, key, to - from);
      if (!hit) return to;
      const std::size_t q = static_cast<std::size_t>(static_cast<const std::byte*>(hit) - data) - m_key;
      if (matches(data + q)) return q;
      from = q + 1;
    }
    return to;
  }

 private:
  bool matches(const std::byte* at) const {
    for (std::size_t i = 0; i < m_length; ++i)
      if (m_bytes[i] != kWildcardByte && std::to_integer<std::uint8_t>(at[i]) != m_bytes[i]) return false;
    return true;
  }

  const std::uint8_t* m_bytes;
  std::size_t m_length;
  std::size_t m_key = 0;
};

// The end search's read buffer (a piece, the sector it may be rounded up to, and the bytes kept from the
// piece before); empty when it cannot be had.
std::vector<std::byte> searchBuffer() {
  std::vector<std::byte> piece;
  try {
    piece.resize(static_cast<std::size_t>(myJpg::kSearchPiece + kBlock) + kSignatureBytes);
  } catch (const std::bad_alloc&) {
    piece.clear();
  }
  return piece;
}

}  // namespace

void myJpg::appendRecord(const SignatureRecord& record) {
  SignatureEntry entry;
  SizeRule rule;
  for (std::size_t i = 0; i < kExtensionUnits; ++i) entry.extension[i] = rule.extension[i] = record.extension[i];
  entry.extensionLength = record.extensionLength;
  // Only the used bytes are taken; a length beyond the record's room keeps the slot from ever matching.
  const std::size_t start = std::min<std::size_t>(record.startLength, kSignatureBytes);
  const std::size_t end = std::min<std::size_t>(record.endLength, kSignatureBytes);
  std::copy_n(record.startSignature.begin(), start, entry.startSignature.begin());
  std::copy_n(record.endSignature.begin(), end, entry.endSignature.begin());
  entry.startLength = rule.startLength = record.startLength;
  entry.endLength = rule.endLength = record.endLength;
  entry.signatureNumber = static_cast<SignatureNumber>(m_signatures.size());
  entry.startOffset = record.startOffset;
  rule.offsetToSize = record.offsetToSize >= 1 ? record.offsetToSize : -1;
  rule.bytesInSize = record.bytesInSize;
  rule.headerSize = record.headerSize;
  rule.sizeIncludesHeader = record.sizeIncludesHeader;
  rule.reserved = record.reserved;
  rule.approximateSize = record.approximateSize;
  rule.skipSize = record.skipSize;
  rule.category = record.category;
  m_signatures.push_back(entry);
  m_rules.push_back(rule);
}

bool myJpg::buildMatcher() {
  const std::size_t n = m_signatures.size();
  m_slots.clear();
  m_keys.clear();
  m_zeroBlockMatches = false;
  try {
    m_slots.resize(2 * n);
    for (std::size_t i = 0; i < n; ++i) {
      const SignatureEntry& e = m_signatures[i];
      m_slots[i] = {e.startLength, e.signatureNumber, e.startOffset, e.startSignature};
      m_slots[n + i] = {e.endLength, e.signatureNumber, 0, e.endSignature};
    }
    m_words = (m_slots.size() + 63) / 64;
    m_alwaysTried.assign(m_words, 0);
    for (std::size_t s = 0; s < m_slots.size(); ++s) {
      const PatternSlot& slot = m_slots[s];
      if (!slotUsable(slot)) continue;
      std::size_t key = 0;
      while (key < slot.length && slot.bytes[key] == kWildcardByte) ++key;
      const bool allZero = std::all_of(slot.bytes.begin(), slot.bytes.begin() + slot.length,
                                       [](std::uint8_t b) { return b == 0 || b == kWildcardByte; });
      if (allZero) m_zeroBlockMatches = true;
      const std::uint64_t bit = std::uint64_t{1} << (s % 64);
      if (key == slot.length) {
        m_alwaysTried[s / 64] |= bit;
        continue;
      }
      const std::int32_t at = slot.offset + static_cast<std::int32_t>(key);
      auto table = std::find_if(m_keys.begin(), m_keys.end(), [at](const KeyTable& t) { return t.offset == at; });
      if (table == m_keys.end()) {
        m_keys.push_back({at, std::vector<std::uint64_t>(256 * m_words, 0)});
        table = m_keys.end() - 1;
      }
      table->bits[static_cast<std::size_t>(slot.bytes[key]) * m_words + s / 64] |= bit;
    }
    m_pending.assign(n, {});
  } catch (const std::bad_alloc&) {
    m_slots.clear();
    m_keys.clear();
    return false;
  }
  return true;
}

std::optional<myJpg::Match> myJpg::matchBlock(const std::byte* block) const {
  const std::size_t n = m_signatures.size();
  for (std::size_t w = 0; w < m_words; ++w) {
    std::uint64_t candidates = m_alwaysTried[w];
    for (const KeyTable& table : m_keys)
      candidates |= table.bits[static_cast<std::size_t>(std::to_integer<std::uint8_t>(block[table.offset])) * m_words + w];
    while (candidates != 0) {
      const std::size_t s = w * 64 + static_cast<std::size_t>(std::countr_zero(candidates));
      candidates &= candidates - 1;
      if (slotMatches(m_slots[s], block)) return Match{s < n, m_slots[s].signatureNumber};
    }
  }
  return std::nullopt;
}

bool myJpg::stopRequested() const {
  if (gate) gate->pass();
  return stop.load(std::memory_order_relaxed) != 0;
}

std::string myJpg::leafName(std::int64_t position, std::size_t rule) const {
  const std::u16string ext = untilZero(m_rules.at(rule).extension);
  return format("%lld .", static_cast<long long>(position)) + utf8FromUtf16(ext);
}

std::int64_t myJpg::skipAmount(std::size_t rule) const {
  const std::int64_t skip = m_rules[rule].skipSize / kBlock * kBlock;
  return std::max(skip, kBlock);
}

std::int64_t myJpg::roomFrom(std::int64_t offset) const {
  std::int64_t end = std::max<std::int64_t>(volumeLength, 0);
  const std::uint64_t disk = view.bytesToDiskEnd();
  if (disk < static_cast<std::uint64_t>(end)) end = static_cast<std::int64_t>(disk);
  return std::max<std::int64_t>(end - offset, 0);
}

void myJpg::makeCategoryNodes() {
  m_categoryCounts.clear();
  if (!tree) return;
  m_root = tree->insertItem(kRootText, kTreeRoot, kInsertLast, TreeIcon::Folder, -1);
  std::map<std::u16string, TreeItem> nodes;
  for (SizeRule& rule : m_rules) {
    const std::u16string name = untilZero(rule.category);
    m_categoryCounts[name] = 0;
    auto known = nodes.find(name);
    if (known == nodes.end())
      // Every category shows its count from the start, so one that found nothing says so.
      known = nodes.emplace(name, tree->insertItem(format("%s (0)", utf8FromUtf16(name).c_str()), m_root, kInsertLast,
                                                   TreeIcon::Folder, -1))
                  .first;
    rule.categoryNode = known->second;
  }
  tree->SetCheck(m_root, true);
  tree->expand(m_root, true);
}

void myJpg::record(std::int64_t leafPosition, std::int64_t offset, std::int64_t size, std::size_t rule) {
  // A carved file never reaches past the volume (nor past the disk) whatever a header or a rule says.
  size = std::min(size, roomFrom(offset));
  if (size <= 0) return;
  const SizeRule& r = m_rules[rule];
  const std::u16string category = untilZero(r.category);
  const std::int64_t count = ++m_categoryCounts[category];
  const std::int64_t index = static_cast<std::int64_t>(m_found.size());
  m_found.push_back({offset, size});
  if (!tree || r.categoryNode == kNoItem) return;
  tree->setItemText(r.categoryNode, format("%s (%lld)", utf8FromUtf16(category).c_str(), static_cast<long long>(count)));
  tree->insertItem(leafName(leafPosition, rule), r.categoryNode, kInsertLast, TreeIcon::File, index,
                   tree->GetCheck(r.categoryNode));
}

bool myJpg::scan() {
  if (!buildMatcher()) {
    if (sink) sink->showMessage("not properly initialized");
    return false;
  }
  if (sink) sink->progressRange(0, 1000);
  m_found.clear();
  makeCategoryNodes();
  std::vector<std::byte> buffer;
  try {
    buffer.resize(static_cast<std::size_t>(kChunkSize));
  } catch (const std::bad_alloc&) {
    m_slots.clear();
    return false;
  }
  // The end search's read buffer; without it an end at a block start closes its start as it stands.
  std::vector<std::byte> searchPiece = searchBuffer();
  const std::int64_t chunks = std::max<std::int64_t>(volumeLength, 0) / kChunkSize;
  if (sink) sink->progressRange(0, chunks);
  // Where the next block to test lies when a size read from a header skipped past the chunk's end.
  std::int64_t resumeAt = 0;
  bool stopped = false;
  for (std::int64_t c = 0; c < chunks && !stopped; ++c) {
    if (sink) sink->progressPosition(c);
    if (stopRequested()) break;
    const std::int64_t chunkStart = c * kChunkSize;
    if (resumeAt >= chunkStart + kChunkSize) continue;
    // A chunk without data reads as zeros, which no signature matches unless it is made of zeros.
    if (!m_zeroBlockMatches) {
      const std::optional<std::uint64_t> next = view.nextData(static_cast<std::uint64_t>(chunkStart));
      if (!next) break;
      if (*next >= static_cast<std::uint64_t>(chunkStart + kChunkSize)) continue;
    }
    view.read(static_cast<std::uint64_t>(chunkStart), buffer);
    std::int64_t p = std::max<std::int64_t>(resumeAt - chunkStart, 0);
    while (p <= kChunkSize - kBlock) {
      if (stopRequested()) {
        stopped = true;
        break;
      }
      const std::int64_t at = chunkStart + p;
      const std::byte* block = buffer.data() + p;
      const std::optional<Match> match = matchBlock(block);
      if (!match) {
        p += kBlock;
        continue;
      }
      const std::size_t s = match->signature;
      const SizeRule& rule = m_rules[s];
      if (!match->start) {
        std::vector<PendingStart>& stack = m_pending[s];
        if (stack.empty()) {
          p += kBlock;
          continue;
        }
        const std::int64_t startAt = stack.back().position;
        stack.pop_back();
        std::int64_t size = at + rule.endLength - startAt + 1;
        if (rule.approximateSize > 0 && rule.approximateSize < size) size = rule.approximateSize;
        // The end that begins this block may be a look-alike long after the file's own end, which did
        // not begin a block: the start's bytes up to here are searched as at the flush.
        if (!searchPiece.empty() && size > 0) size = searchedSize(s, startAt, std::min(size, roomFrom(startAt)), searchPiece);
        record(at, startAt, size, s);
        p += kBlock + skipAmount(s);
        continue;
      }
      if (rule.endLength > 0) {
        m_pending[s].push_back({'S', at});
        p += kBlock;
        continue;
      }
      // The size field must lie inside the block that holds the start; a rule whose field does not (or
      // that names none) cannot be applied and the start is taken as one without a size rule.
      const bool sizeRule = rule.bytesInSize > 0 && rule.offsetToSize >= 0 &&
                            fits(static_cast<std::uint64_t>(kBlock), static_cast<std::uint64_t>(rule.offsetToSize),
                                 static_cast<std::uint64_t>(std::min(rule.bytesInSize, 4)));
      if (!sizeRule) {
        record(at, at, rule.approximateSize, s);
        p += skipAmount(s);
        continue;
      }
      std::int64_t size = les32At(Bytes(block, static_cast<std::size_t>(kBlock)), static_cast<std::size_t>(rule.offsetToSize));
      if (rule.approximateSize < size) size = 0;
      if (rule.bytesInSize != 4 || size <= 0) {
        p += kBlock;
        continue;
      }
      // The header's value only decides whether the item is taken and how far the scan skips; the item
      // is saved with the approximate size, which is at least that value.
      record(at, at, rule.approximateSize, s);
      const std::int64_t next = at + kBlock * (size / kBlock + 1);
      if (next - chunkStart <= kChunkSize - kBlock) {
        p = next - chunkStart;
      } else {
        resumeAt = next;
        break;
      }
    }
  }
  if (sink) sink->progressPosition(chunks);
  flushPending(searchPiece);
  m_slots.clear();
  m_keys.clear();
  if (sink) sink->showMessage("done..");
  return true;
}

void myJpg::flushPending(std::vector<std::byte>& piece) {
  // `piece` is the search's read buffer; without one each start keeps the size the scan left it.
  for (std::size_t s = 0; s < m_pending.size(); ++s) {
    std::vector<PendingStart>& stack = m_pending[s];
    const std::int64_t approx = m_rules[s].approximateSize;
    for (std::size_t k = stack.size(); k-- > 0;) {
      const std::int64_t startAt = stack[k].position;
      // The oldest and the newest start may reach the approximate size; one between them no further than
      // the next newer start of its signature.
      std::int64_t size = approx;
      if (k != 0 && k + 1 < stack.size()) size = stack[k + 1].position - startAt;
      size = std::min({size, approx, roomFrom(startAt)});
      if (size <= 0) continue;
      if (!piece.empty()) size = searchedSize(s, startAt, size, piece);
      record(startAt, startAt, size, s);
    }
    stack.clear();
  }
}

std::int64_t myJpg::searchedSize(std::size_t s, std::int64_t startAt, std::int64_t limit, std::vector<std::byte>& piece) {
  const SignatureEntry& e = m_signatures[s];
  // An end the scan could not test (one byte, or longer than the record holds) is not looked for either.
  if (e.endLength < 2 || e.endLength > kSignatureBytes || e.startLength > kSignatureBytes) return limit;
  const Needle start(e.startSignature.data(), e.startLength);
  const Needle end(e.endSignature.data(), e.endLength);
  const std::size_t longest = std::max(start.length(), end.length());
  // The file takes the rest of one block from its end bytes on, within the limit: what an end seen at a
  // block start gets once saved in whole blocks, and room for a trailer that follows the end bytes (a
  // ZIP's end record is 22 bytes and more, of which the end bytes are the first 4).
  auto sizeTo = [&](std::int64_t endAt) { return std::min(endAt + kBlock - startAt, limit); };
  // An end of four bytes or more does not turn up by chance: a further one soon after the first and before
  // another start of the type (a PDF's incremental update, written after the original's end) belongs to
  // the same file. A shorter end does turn up by chance (two bytes meet once in 64 KiB of noise), so it
  // closes the file at once.
  const bool chained = end.length() >= 4;
  constexpr std::int64_t kChainWindow = 65536;
  std::int64_t stopAt = startAt + limit;
  bool closed = false;
  // Both searches begin after the start's own start bytes.
  const std::int64_t from = startAt + e.startOffset + e.startLength;
  std::int64_t depth = 1;
  std::int64_t lastEnd = -1;
  // piece[0] is the byte at `base`; a piece keeps the last longest - 1 bytes of the one before it, so a
  // signature across the border between two reads is tested once, in the later piece.
  // The disk readers position in whole sectors, so every read begins on one (a block start is one).
  std::int64_t base = from;
  std::size_t have = 0;
  std::int64_t next = from / kBlock * kBlock;
  std::int64_t startCursor = from;
  std::int64_t endCursor = from;
  while (next < stopAt) {
    if (stopRequested()) break;
    const std::size_t keep = std::min(have, longest - 1);
    std::memmove(piece.data(), piece.data() + have - keep, keep);
    base = next - static_cast<std::int64_t>(keep);
    const std::int64_t n = std::min(kSearchPiece, stopAt - next);
    // The last piece is read up to a whole sector where the volume has one; only n bytes are searched.
    const std::int64_t wanted = std::max(n, std::min((n + kBlock - 1) / kBlock * kBlock, roomFrom(next)));
    // A refused or short read ends the search with what is known so far.
    if (!view.read(static_cast<std::uint64_t>(next), std::span<std::byte>(piece.data() + keep, static_cast<std::size_t>(wanted))))
      break;
    have = keep + static_cast<std::size_t>(n);
    next += n;
    const bool lastPiece = next >= stopAt;
    // Positions each needle is tested at in this piece: all where it fits in the last piece, else those
    // where the longer of the two fits, so starts and ends are met in the order they lie.
    auto bound = [&](const Needle& needle) {
      const std::size_t width = lastPiece ? needle.length() : longest;
      return have >= width ? have - width + 1 : 0;
    };
    const std::size_t startTo = bound(start);
    const std::size_t endTo = bound(end);
    std::size_t startFrom = static_cast<std::size_t>(startCursor - base);
    std::size_t endFrom = static_cast<std::size_t>(endCursor - base);
    std::size_t nextStart = startFrom < startTo ? start.find(piece.data(), startFrom, startTo) : startTo;
    std::size_t nextEnd = endFrom < endTo ? end.find(piece.data(), endFrom, endTo) : endTo;
    while (nextStart < startTo || nextEnd < endTo) {
      if (nextEnd < endTo && (nextStart >= startTo || nextEnd <= nextStart)) {
        lastEnd = base + static_cast<std::int64_t>(nextEnd);
        if (closed || --depth == 0) {
          if (!chained) return sizeTo(lastEnd);
          // Closed: a further end within the window after the one before moves the end on, until the
          // start bytes of another file of the type.
          closed = true;
          stopAt = std::min(startAt + limit, lastEnd + static_cast<std::int64_t>(end.length()) + kChainWindow);
        }
        nextEnd = end.find(piece.data(), nextEnd + 1, endTo);
      } else {
        if (closed) return sizeTo(lastEnd);
        ++depth;
        nextStart = start.find(piece.data(), nextStart + 1, startTo);
      }
    }
    startCursor = std::max(startCursor, base + static_cast<std::int64_t>(startTo));
    endCursor = std::max(endCursor, base + static_cast<std::int64_t>(endTo));
  }
  // Closed, or no end brought the count back to zero: the last end seen, else the limit.
  return lastEnd >= 0 ? sizeTo(lastEnd) : limit;
}

}  // namespace tessary
