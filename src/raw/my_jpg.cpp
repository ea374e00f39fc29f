// The carving engine: the matcher table, the chunked scan with its pending-start stacks, the category
// nodes of the raw tree and the flush of starts whose end was never seen.
#include "raw/my_jpg.h"

#include <algorithm>
#include <climits>
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
  rule.structure = structureRuleOf(record.reserved);
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

void myJpg::record(std::int64_t leafPosition, std::int64_t offset, std::int64_t size, std::size_t rule, bool exact,
                   bool partial) {
  FoundItem item{offset, size, exact, partial, std::nullopt, leafName(leafPosition, rule)};
  const auto known = m_remembered.find(offset);
  if (known != m_remembered.end()) {
    item.remembered = known->second;
    // The entry's size is the file's own where the structure did not give one.
    if (!exact && known->second.size > 0) {
      item.size = static_cast<std::int64_t>(std::min<std::uint64_t>(known->second.size, INT64_MAX));
      item.exact = true;
    }
  }
  // A carved file never reaches past the volume (nor past the disk) whatever a header or a rule says.
  item.size = std::min(item.size, roomFrom(offset));
  if (item.size <= 0) return;
  const SizeRule& r = m_rules[rule];
  const std::u16string category = untilZero(r.category);
  const std::int64_t count = ++m_categoryCounts[category];
  const std::int64_t index = static_cast<std::int64_t>(m_found.size());
  m_found.push_back(item);
  if (!tree || r.categoryNode == kNoItem) return;
  tree->setItemText(r.categoryNode, format("%s (%lld)", utf8FromUtf16(category).c_str(), static_cast<long long>(count)));
  TreeItem parent = r.categoryNode;
  std::string name = item.offsetName;
  if (item.remembered) {
    parent = folderNode(r.categoryNode, item.remembered->folder);
    name = item.remembered->name;
  }
  tree->insertItem(name, parent, kInsertLast, TreeIcon::File, index, tree->GetCheck(parent));
}

TreeItem myJpg::folderNode(TreeItem category, const std::string& path) {
  TreeItem node = category;
  std::string sofar;
  std::size_t from = 0;
  while (from < path.size()) {
    std::size_t slash = path.find('/', from);
    if (slash == std::string::npos) slash = path.size();
    const std::string part = path.substr(from, slash - from);
    from = slash + 1;
    if (part.empty()) continue;
    sofar += "/" + part;
    auto it = m_folderNodes.find({category, sofar});
    if (it == m_folderNodes.end())
      it = m_folderNodes.emplace(std::make_pair(category, sofar),
                                 tree->insertItem(part, node, kInsertLast, TreeIcon::Folder, -1, tree->GetCheck(node))).first;
    node = it->second;
  }
  return node;
}

bool myJpg::scan() {
  if (!buildMatcher()) {
    if (sink) sink->showMessage("not properly initialized");
    return false;
  }
  if (sink) sink->progressRange(0, 1000);
  m_found.clear();
  m_folderNodes.clear();
  m_remembered.clear();
  // A volume that still parses as a file system remembers where its deleted files began.
  if (namesFromMetadata) m_remembered = tessary::rememberedStarts(view, static_cast<std::uint64_t>(std::max<std::int64_t>(volumeLength, 0)));
  makeCategoryNodes();
  std::vector<std::byte> buffer;
  try {
    buffer.resize(static_cast<std::size_t>(kChunkSize));
  } catch (const std::bad_alloc&) {
    m_slots.clear();
    return false;
  }
  // Every whole block of the volume is tested: the last chunk may be short, and a volume smaller than one
  // chunk is one short chunk. Only a tail shorter than a block is left out, as no file can start in it.
  const std::int64_t scanned = std::max<std::int64_t>(volumeLength, 0) / kBlock * kBlock;
  const std::int64_t chunks = scanned / kChunkSize + (scanned % kChunkSize != 0 ? 1 : 0);
  if (sink) sink->progressRange(0, chunks, ProgressAmount::bytes(scanned));
  // Where the next block to test lies when a size read from a header skipped past the chunk's end.
  std::int64_t resumeAt = 0;
  bool stopped = false;
  for (std::int64_t c = 0; c < chunks && !stopped; ++c) {
    if (sink) sink->progressPosition(c);
    if (stopRequested()) break;
    const std::int64_t chunkStart = c * kChunkSize;
    const std::int64_t chunkBytes = std::min(kChunkSize, scanned - chunkStart);
    if (resumeAt >= chunkStart + chunkBytes) continue;
    // A chunk without data reads as zeros, which no signature matches unless it is made of zeros.
    if (!m_zeroBlockMatches) {
      const std::optional<std::uint64_t> next = view.nextData(static_cast<std::uint64_t>(chunkStart));
      if (!next) break;
      if (*next >= static_cast<std::uint64_t>(chunkStart + chunkBytes)) continue;
    }
    view.read(static_cast<std::uint64_t>(chunkStart), std::span<std::byte>(buffer.data(), static_cast<std::size_t>(chunkBytes)));
    std::int64_t p = std::max<std::int64_t>(resumeAt - chunkStart, 0);
    while (p <= chunkBytes - kBlock) {
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
        const PendingStart start = stack.back();
        stack.pop_back();
        std::int64_t size = at + rule.endLength - start.position + 1;
        if (rule.approximateSize > 0 && rule.approximateSize < size) size = rule.approximateSize;
        record(at, start.position, size, s, false, start.partial);
        p += kBlock + skipAmount(s);
        continue;
      }
      // A type with a structure rule: the file's own length, and the scan goes on after it, so the
      // members of a ZIP, a JPEG's thumbnail or the blocks of a long file are never taken for new files.
      if (rule.structure != StructureRule::None) {
        bool recognised = false;
        const std::optional<std::int64_t> length = structureSize(s, at, recognised);
        // Start bytes without the type's header behind them (two bytes "MZ" or "BM" in noise) are no file.
        if (!recognised) {
          p += kBlock;
          continue;
        }
        if (length) {
          record(at, at, *length, s, true, false);
          const std::int64_t next = (at + *length + kBlock - 1) / kBlock * kBlock;
          if (next - chunkStart <= chunkBytes - kBlock) {
            p = next - chunkStart;
          } else {
            resumeAt = next;
            break;
          }
          continue;
        }
      }
      const bool partial = rule.structure != StructureRule::None;
      if (rule.endLength > 0) {
        m_pending[s].push_back({'S', at, partial});
        p += kBlock;
        continue;
      }
      // The size field must lie inside the block that holds the start; a rule whose field does not (or
      // that names none) cannot be applied and the start is taken as one without a size rule.
      const bool sizeRule = rule.bytesInSize > 0 && rule.offsetToSize >= 0 &&
                            fits(static_cast<std::uint64_t>(kBlock), static_cast<std::uint64_t>(rule.offsetToSize),
                                 static_cast<std::uint64_t>(std::min(rule.bytesInSize, 4)));
      if (!sizeRule) {
        record(at, at, rule.approximateSize, s, false, partial);
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
      record(at, at, rule.approximateSize, s, false, partial);
      const std::int64_t next = at + kBlock * (size / kBlock + 1);
      if (next - chunkStart <= chunkBytes - kBlock) {
        p = next - chunkStart;
      } else {
        resumeAt = next;
        break;
      }
    }
  }
  if (sink) sink->progressPosition(chunks);
  flushPending();
  m_slots.clear();
  m_keys.clear();
  if (sink) sink->showMessage("done..");
  return true;
}

void myJpg::flushPending() {
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
      record(startAt, startAt, size, s, false, stack[k].partial);
    }
    stack.clear();
  }
}

std::optional<std::int64_t> myJpg::structureSize(std::size_t s, std::int64_t startAt, bool& recognised) const {
  const SizeRule& rule = m_rules[s];
  // The file reaches no further than the volume, and no further than its type's approximate size.
  std::int64_t limit = roomFrom(startAt);
  if (rule.approximateSize > 0) limit = std::min(limit, rule.approximateSize);
  if (limit <= 0) return std::nullopt;
  FileBytes file([this, startAt](std::int64_t at, std::span<std::byte> out) {
    return view.read(static_cast<std::uint64_t>(startAt + at), out);
  }, limit);
  const std::optional<std::int64_t> length = structureLength(rule.structure, file);
  recognised = file.recognised;
  return length;
}

}  // namespace tessary
