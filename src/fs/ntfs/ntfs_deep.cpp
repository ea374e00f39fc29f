// The NTFS parser without a trusted MFT location: the search for MFT starts (advanced mode) and the deep
// scan for every record of the volume, with the deep scan's records linked under their real parents.
#include <algorithm>
#include <cstdint>
#include <new>
#include <unordered_map>

#include "fs/ntfs/ntfs_deep.h"
#include "fs/ntfs/ntfs_io.h"
#include "platform/bytes.h"
#include "platform/large_buffer.h"
#include "platform/text.h"

namespace tessary::ntfs_detail {

namespace {

constexpr std::int64_t kScanPieceBytes = 10485760;
constexpr std::int64_t kScanPartBytes = 1048576;
constexpr std::int64_t kMiB = 1048576;
// The table never grows past this many records (64 bytes each), as in the MFT walk.
constexpr std::size_t kMaxFound = std::size_t{1} << 26;
// How often the deep scan shows its per-record status line.
constexpr std::size_t kStatusEvery = 64;
// Record headers keep their own number from the format in which the update sequence moved to 0x30.
constexpr std::uint16_t kNumberedUsaOffset = 0x30;
// The entry that stands for no found record.
constexpr std::size_t kNotFound = SIZE_MAX;

// A 512-byte step that can start an MFT record: "FILE" and three header offsets inside the first sector.
bool mayStartRecord(std::span<const std::byte> step) {
  return hasMagic(step, 0, "FILE") && le16At(step, kRecordUsaOffset) < 512 && le16At(step, kRecordUsaCount) < 512 &&
         le16At(step, kRecordFirstAttribute) < 512;
}

bool nameStartsWith(const char16_t* name, std::u16string_view prefix) {
  if (!name) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i)
    if (name[i] != prefix[i]) return false;
  return true;
}

}  // namespace

template <typename BeforePiece, typename OnRecord>
void DeepScan::scanRecordCandidates(std::int64_t end, BeforePiece beforePiece, OnRecord onRecord) {
  const std::int64_t pieces = std::max<std::int64_t>(end, 0) / kScanPieceBytes;
  progressRange(pieces);
  m_refusedParts = 0;
  constexpr int kMaxRefusedInRow = 16;
  int refusedInRow = 0;
  // The walk ends at the volume's end, at the disk's end, or at the first position the reader refuses.
  const auto diskEnd = static_cast<std::int64_t>(std::min<std::uint64_t>(m_io->view().bytesToDiskEnd(), INT64_MAX));
  end = std::min(end, diskEnd);
  // A part is never longer than what there is to walk (whole sectors); its memory is page-aligned, which
  // the host copies into at full speed.
  const LargeBuffer piece(static_cast<std::size_t>(std::min(kScanPartBytes, (std::max<std::int64_t>(end, 0) + 511) / 512 * 512)));
  if (end > 0 && !piece.data()) return;
  for (std::int64_t start = 0; start < end; start += kScanPieceBytes) {
    if (!beforePiece(start)) break;
    progressPosition(start / kScanPieceBytes);
    // Blocks without data read as zeros and hold no record: go on where data starts again.
    const std::optional<std::uint64_t> data = m_io->view().nextData(static_cast<std::uint64_t>(start));
    if (!data) break;
    if (*data >= static_cast<std::uint64_t>(start + kScanPieceBytes)) {
      start = static_cast<std::int64_t>(*data / kScanPieceBytes) * kScanPieceBytes - kScanPieceBytes;
      continue;
    }
    const std::int64_t length = std::min(kScanPieceBytes, end - start);
    // The piece is read in parts small enough to stay in the processor's cache while they are walked; the
    // walk's steps run on across the parts as across one piece.
    bool go = true;
    std::int64_t step = 0;
    for (std::int64_t part = 0; go && part < length; part += kScanPartBytes) {
      const std::int64_t partLength = std::min(kScanPartBytes, length - part);
      const std::span<std::byte> bytes(piece.data(), static_cast<std::size_t>(partLength));
      if (!m_io->readAt(start + part, bytes)) {
        // A part the reader refuses holds nothing to look at; the parts after it may. A run of refused
        // parts is the disk's end (whose size the reader may not know): the scan ends there.
        if (++refusedInRow >= kMaxRefusedInRow) {
          go = false;
          break;
        }
        ++m_refusedParts;
        step = part + partLength;
        continue;
      }
      refusedInRow = 0;
      while (go && step + 512 <= part + partLength) {
        const std::span<const std::byte> at = bytes.subspan(static_cast<std::size_t>(step - part), 512);
        if (!mayStartRecord(at)) {
          step += 512;
          continue;
        }
        go = onRecord(start + step, at.first(4));
        // The rest of the record (its own header says how long it is) is not looked at again.
        step += static_cast<std::int64_t>(ownRecordSize(at, kMftRecordSize));
      }
    }
    if (!go) break;
  }
  if (m_refusedParts > 0)
    status(format("%llu pieces of the volume could not be read and were skipped.",
                  static_cast<unsigned long long>(m_refusedParts)));
  progressPosition(pieces);
}

int DeepScan::searchMftCandidates(int maximum) {
  if (maximum < 1) maximum = 3;
  const std::int64_t bootCluster = bootClusterSize();
  m_clusterSize = clusterSizeUsable(bootCluster) ? bootCluster : 4096;
  m_mftRunKnown = false;
  m_mftOffset = 0;
  m_candidates.clear();
  const std::int64_t volumeSize = checkedMul(decimalValue(m_volume.volumeSizeText), kMiB).value_or(0);
  if (volumeSize <= 0) return 0;
  m_searching = true;
  scanRecordCandidates(
      volumeSize - 1024,
      [&](std::int64_t) {
        if (!m_candidates.empty() && m_candidates.size() >= static_cast<std::size_t>(maximum)) return false;
        // Stop ends the search and is cleared, so that the parse that follows can run.
        if (stopRequested()) {
          m_stopFlag = 0;
          return false;
        }
        return true;
      },
      [&](std::int64_t offset, std::span<const std::byte> signature) {
        if (m_entries.size() >= kMaxFound) return false;
        MftEntry entry = blankEntry(entryCount());
        setSignature(entry, signature);
        entry.recordOffset = offset;
        m_entries.push_back(entry);
        const std::int64_t index = entryCount() - 1;
        parseEntry(offset, index);
        // $Boot is record 7: the record seven places before it is the $MFT record of the same MFT (the
        // mirror's "$MFTMirr" does not count).
        if (index >= 7 && nameStartsWith(m_entries[static_cast<std::size_t>(index)].name, u"$Boot")) {
          const MftEntry& mft = m_entries[static_cast<std::size_t>(index - 7)];
          if (nameStartsWith(mft.name, u"$MFT") && mft.name[4] != u'M') {
            m_candidates.push_back(mft);
            status(format("MFT ENTRY %lld Found.Parsing it ...", static_cast<long long>(entryCount())));
          }
        }
        return true;
      });
  m_searching = false;
  m_lookForMft = false;
  return static_cast<int>(m_candidates.size());
}

std::string DeepScan::noMftRunStatus(int number) {
  return format("MFT_ENTRY:%d gives no run list of the MFT; only ORPHAN_ENTRY can be listed.", number);
}

bool DeepScan::selectMftCandidate(int number) {
  m_mftRunKnown = false;
  if (number >= 0 && static_cast<std::size_t>(number) < m_candidates.size()) {
    const std::int64_t offset = m_candidates[static_cast<std::size_t>(number)].recordOffset;
    // The candidate's own header gives the size of its MFT's records.
    std::array<std::byte, kRecordHeaderCopy> header{};
    if (m_io->readRecord(offset, header) && isFileSignature(header)) m_recordSize = ownRecordSize(header, kMftRecordSize);
    m_runList = getRun2(offset, kData);
    m_mftRunKnown = !m_runList.empty();
  }
  if (!m_mftRunKnown) status(noMftRunStatus(number));
  return m_mftRunKnown;
}

void DeepScan::deepScan() {
  const std::int64_t bootCluster = bootClusterSize();
  m_clusterSize = clusterSizeUsable(bootCluster) ? bootCluster : 4096;
  m_mftRunKnown = false;
  m_mftOffset = 0;
  clearTable();
  // Index 0 ends every chain and can be nobody's child: it is held by an empty entry, so that the first
  // record found is listed like the others.
  m_entries.push_back(blankEntry(0));
  m_entryFound.push_back(kNotFound);
  std::vector<ExtensionName> extensionNames;
  std::size_t shown = 0;
  scanRecordCandidates(
      volumeLimit(), [&](std::int64_t) { return !stopRequested(); },
      [&](std::int64_t offset, std::span<const std::byte> signature) {
        if (m_found.size() >= kMaxFound) return false;
        MftEntry entry = blankEntry(entryCount());
        setSignature(entry, signature);
        entry.recordOffset = offset;
        m_entries.push_back(entry);
        const std::int64_t index = entryCount() - 1;
        parseEntry(offset, index);
        FoundRecord found;
        found.offset = offset;
        found.baseReference = le64At(m_lastHeader, kRecordBaseReference);
        found.parentReference = m_lastParentReference;
        found.sequence = le16At(m_lastHeader, kRecordSequence);
        found.flags = le16At(m_lastHeader, kRecordFlags);
        found.inUse = (found.flags & 1) != 0;
        found.numbered = le16At(m_lastHeader, kRecordUsaOffset) >= kNumberedUsaOffset;
        found.number = found.numbered ? le32At(m_lastHeader, kRecordNumber) : 0;
        found.size = static_cast<std::uint32_t>(ownRecordSize(m_lastHeader, kMftRecordSize));
        m_found.push_back(found);
        MftEntry& parsed = m_entries.back();
        // An extension record is no file of its own; a name it holds is its base record's, given to it
        // once the scan is over. It is kept only to be found as an extension record.
        if ((found.baseReference & 0x0000FFFFFFFFFFFFULL) != 0) {
          if (parsed.name) {
            ExtensionName moved;
            moved.found = m_found.size() - 1;
            moved.name = parsed.name;
            moved.kind = parsed.kind;
            moved.nameAllocatedSize = parsed.nameAllocatedSize;
            extensionNames.push_back(moved);
          }
          m_entries.pop_back();
          return true;
        }
        parsed.orphan = 1;
        m_entryFound.push_back(m_found.size() - 1);
        if (parsed.name && shown++ % kStatusEvery == 0)
          status(format("MFT ENTRY %lld Found.Parsing it ..", static_cast<long long>(entryCount())));
        return true;
      });
  nameFromExtensions(extensionNames);
  findGenerations();
  // Without a usable boot sector, the cluster size the volume's own $MFT record gives is the volume's.
  if (!clusterSizeUsable(bootCluster)) {
    for (const Generation& generation : m_generations) {
      if (generation.origin != 0) continue;
      m_clusterSize = generation.clusterSize;
      break;
    }
  }
  // A record that got no name, from itself or from an extension record, is no file: it leaves the table.
  std::size_t kept = 1;
  for (std::size_t i = 1; i < m_entries.size(); ++i) {
    if (!m_entries[i].name) continue;
    m_entries[kept] = m_entries[i];
    m_entries[kept].index = static_cast<std::int64_t>(kept);
    m_entryFound[kept] = m_entryFound[i];
    ++kept;
  }
  m_entries.resize(kept);
  m_entryFound.resize(kept);
}

void DeepScan::findGenerations() {
  constexpr std::size_t kMaxGenerations = 16;
  constexpr std::size_t kMaxMftRuns = 4096;
  m_generations.clear();
  // A volume made of nothing but copies of record 0 costs a bounded number of boot-sector reads.
  constexpr std::size_t kMaxTried = 256;
  std::size_t tried = 0;
  std::array<std::byte, 512> boot{};
  // Without a boot sector of its own the volume's cluster size is inferred from its $MFT record: the
  // record lies where its first run's cluster number, times the cluster size, puts it from the volume's
  // start.
  const bool ownBootUsable = hasMagic(m_bootSector, kBootOemId, "NTFS") && clusterSizeUsable(bootClusterSize());
  for (std::size_t f = 0; f < m_found.size(); ++f) {
    const FoundRecord& found = m_found[f];
    if (m_generations.size() >= kMaxGenerations || tried >= kMaxTried) break;
    if (!found.numbered || found.number != 0 || (found.baseReference & 0x0000FFFFFFFFFFFFULL) != 0) continue;
    ++tried;
    const std::vector<Run> runs = getRun2(found.offset, kData);
    if (runs.empty() || runs[0].lcn <= 0) continue;
    const auto lcn = static_cast<std::int64_t>(runs[0].lcn);
    // The record is its MFT's first: its volume begins its first run's clusters before it. A copy of the
    // record elsewhere (the mirror's) finds no boot sector there that names this MFT cluster.
    for (std::int64_t size = 512; size <= 2 * kMiB; size *= 2) {
      const std::optional<std::int64_t> into = checkedMul(lcn, size);
      if (!into || *into > found.offset) break;
      const std::int64_t origin = found.offset - *into;
      const bool inferred = !ownBootUsable && origin == 0 && mirrorAgrees(f, size);
      if (!inferred) {
        if (!m_io->readAt(origin, boot) || !hasMagic(boot, kBootOemId, "NTFS") || les64At(boot, kBootMftCluster) != lcn)
          continue;
        if (clusterSizeOf(boot) != size) continue;
      }
      const bool known = std::any_of(m_generations.begin(), m_generations.end(), [&](const Generation& g) {
        return g.origin == origin && g.clusterSize == size;
      });
      if (known) break;
      Generation generation;
      generation.origin = origin;
      generation.clusterSize = size;
      for (const Run& run : runs) {
        if (generation.mft.size() >= kMaxMftRuns) break;
        const std::optional<std::int64_t> start = checkedMul(static_cast<std::int64_t>(run.lcn), size);
        const std::optional<std::int64_t> length = checkedMul(static_cast<std::int64_t>(run.count), size);
        if (run.lcn == 0 || !start || !length) continue;
        const std::optional<std::int64_t> from = checkedAdd(origin, *start);
        const std::optional<std::int64_t> to = from ? checkedAdd(*from, *length) : std::nullopt;
        if (from && to) generation.mft.emplace_back(*from, *to);
      }
      m_generations.push_back(std::move(generation));
      break;
    }
  }
  for (FoundRecord& found : m_found) {
    found.generation = -1;
    for (std::size_t g = 0; g < m_generations.size() && found.generation < 0; ++g)
      for (const auto& [from, to] : m_generations[g].mft)
        if (found.offset >= from && found.offset < to) {
          found.generation = static_cast<int>(g);
          break;
        }
  }
}

bool DeepScan::mirrorAgrees(std::size_t mftRecord, std::int64_t clusterSize) {
  const FoundRecord& mft = m_found[mftRecord];
  // Record 1 ($MFTMirr) follows record 0; its first run names where the mirror's copy of record 0 lies.
  if (mftRecord + 1 >= m_found.size()) return true;
  const FoundRecord& mirror = m_found[mftRecord + 1];
  if (!mirror.numbered || mirror.number != 1 || mirror.offset != mft.offset + static_cast<std::int64_t>(mft.size))
    return true;
  const std::vector<Run> runs = getRun2(mirror.offset, kData);
  if (runs.empty() || runs[0].lcn <= 0) return true;
  const std::optional<std::int64_t> at = checkedMul(static_cast<std::int64_t>(runs[0].lcn), clusterSize);
  if (!at) return false;
  std::array<std::byte, kRecordHeaderCopy> header{};
  if (!m_io->readRecord(*at, header) || !isFileSignature(header)) return false;
  return le16At(header, kRecordUsaOffset) < kNumberedUsaOffset || le32At(header, kRecordNumber) == 0;
}

DeepScan::GenerationFrame::GenerationFrame(DeepScan& parser, std::int64_t index)
    : m_parser(parser), m_clusterSize(parser.m_clusterSize), m_origin(parser.m_clusterOrigin) {
  if (parser.m_mode != 3 || index < 0 || static_cast<std::size_t>(index) >= parser.m_entryFound.size()) return;
  const std::size_t found = parser.m_entryFound[static_cast<std::size_t>(index)];
  if (found >= parser.m_found.size()) return;
  const int generation = parser.m_found[found].generation;
  if (generation < 0 || static_cast<std::size_t>(generation) >= parser.m_generations.size()) return;
  parser.m_clusterSize = parser.m_generations[static_cast<std::size_t>(generation)].clusterSize;
  parser.m_clusterOrigin = parser.m_generations[static_cast<std::size_t>(generation)].origin;
}

DeepScan::GenerationFrame::~GenerationFrame() {
  m_parser.m_clusterSize = m_clusterSize;
  m_parser.m_clusterOrigin = m_origin;
}

void DeepScan::nameFromExtensions(const std::vector<ExtensionName>& names) {
  if (names.empty()) return;
  std::unordered_multimap<std::uint32_t, std::size_t> byNumber;
  for (std::size_t i = 1; i < m_entries.size(); ++i) {
    const FoundRecord& found = m_found[m_entryFound[i]];
    if (found.numbered && !m_entries[i].name) byNumber.emplace(found.number, i);
  }
  for (const ExtensionName& moved : names) {
    const FoundRecord& extension = m_found[moved.found];
    const std::uint64_t base = extension.baseReference & 0x0000FFFFFFFFFFFFULL;
    if (base > 0xFFFFFFFFULL) continue;
    // Of several generations of the base record, the nearest on disk that has no name yet.
    std::size_t best = 0;
    std::uint64_t bestDistance = UINT64_MAX;
    const auto [first, last] = byNumber.equal_range(static_cast<std::uint32_t>(base));
    for (auto it = first; it != last; ++it) {
      if (m_entries[it->second].name) continue;
      const FoundRecord& candidate = m_found[m_entryFound[it->second]];
      const std::uint64_t distance = candidate.offset > extension.offset
                                         ? static_cast<std::uint64_t>(candidate.offset - extension.offset)
                                         : static_cast<std::uint64_t>(extension.offset - candidate.offset);
      if (distance < bestDistance) {
        best = it->second;
        bestDistance = distance;
      }
    }
    if (best == 0) continue;
    MftEntry& entry = m_entries[best];
    entry.name = moved.name;
    entry.kind = moved.kind;
    entry.nameAllocatedSize = moved.nameAllocatedSize;
    FoundRecord& baseRecord = m_found[m_entryFound[best]];
    entry.recordFlags = baseRecord.flags;
    baseRecord.parentReference = extension.parentReference;
  }
}

void DeepScan::clearTable() {
  m_found.clear();
  m_entryFound.clear();
  m_generations.clear();
  RecordParser::clearTable();
}

void DeepScan::linkDeepEntries() {
  const std::int64_t size = entryCount();
  if (m_entryFound.size() != static_cast<std::size_t>(size)) return;
  std::unordered_multimap<std::uint32_t, std::int64_t> byNumber;
  byNumber.reserve(static_cast<std::size_t>(size));
  for (std::int64_t i = 0; i < size; ++i) {
    if (m_entryFound[static_cast<std::size_t>(i)] == kNotFound) continue;
    const FoundRecord& found = m_found[m_entryFound[static_cast<std::size_t>(i)]];
    if (found.numbered) byNumber.emplace(found.number, i);
    MftEntry& entry = m_entries[static_cast<std::size_t>(i)];
    entry.firstChild = 0;
    entry.nextSibling = 0;
  }
  // The root the tree shows is the first "." found. A root of another generation (an older volume whose
  // records survive inside this one) would hide everything below it: its children join the shown root.
  std::int64_t shownRoot = -1;
  for (std::int64_t i = 0; i < size && shownRoot < 0; ++i) {
    const char16_t* name = m_entries[static_cast<std::size_t>(i)].name;
    if (name && name[0] == u'.' && name[1] == u'\0') shownRoot = i;
  }
  const auto isOtherRoot = [&](std::int64_t j) {
    if (j == shownRoot || shownRoot < 0 || m_entries[static_cast<std::size_t>(shownRoot)].kind != 'D') return false;
    const char16_t* name = m_entries[static_cast<std::size_t>(j)].name;
    if (!name || name[0] != u'.' || name[1] != u'\0') return false;
    const FoundRecord& root = m_found[m_entryFound[static_cast<std::size_t>(j)]];
    return (root.parentReference & 0x0000FFFFFFFFFFFFULL) == root.number;
  };
  m_linkCache = std::make_unique<LinkCache>();
  m_linkCache->fit(static_cast<std::size_t>(size));
  for (std::int64_t i = 0; i < size; ++i) {
    if (m_entryFound[static_cast<std::size_t>(i)] == kNotFound) continue;
    MftEntry& entry = m_entries[static_cast<std::size_t>(i)];
    const FoundRecord& found = m_found[m_entryFound[static_cast<std::size_t>(i)]];
    const std::uint64_t number = found.parentReference & 0x0000FFFFFFFFFFFFULL;
    const auto sequence = static_cast<std::uint16_t>(found.parentReference >> 48);
    entry.parent = 0;
    if (!found.numbered || number > 0xFFFFFFFFULL) continue;
    // The root names itself as its parent.
    if (number == found.number) {
      entry.orphan = 0;
      continue;
    }
    // The parent is the directory record of that number and sequence (a freed record's sequence has
    // moved on by one); of several generations of it, the one nearest to where it would sit in this
    // record's own MFT (records lie in number order, one per record size, within each piece of an MFT).
    const std::int64_t expected = found.offset + (static_cast<std::int64_t>(number) - static_cast<std::int64_t>(found.number)) *
                                                     static_cast<std::int64_t>(found.size);
    std::int64_t best = -1;
    std::uint64_t bestDistance = UINT64_MAX;
    const auto [first, last] = byNumber.equal_range(static_cast<std::uint32_t>(number));
    for (auto it = first; it != last; ++it) {
      const std::int64_t j = it->second;
      if (j == i || m_entries[static_cast<std::size_t>(j)].kind != 'D') continue;
      const FoundRecord& parent = m_found[m_entryFound[static_cast<std::size_t>(j)]];
      const bool sameGeneration = sequence == 0 || parent.sequence == sequence ||
                                  (!parent.inUse && parent.sequence == static_cast<std::uint16_t>(sequence + 1));
      if (!sameGeneration) continue;
      const std::uint64_t distance = parent.offset > expected ? static_cast<std::uint64_t>(parent.offset - expected)
                                                              : static_cast<std::uint64_t>(expected - parent.offset);
      if (distance < bestDistance) {
        best = j;
        bestDistance = distance;
      }
    }
    if (best < 0) continue;
    if (isOtherRoot(best)) best = shownRoot;
    entry.parent = best;
    entry.orphan = 0;
    appendChild(i);
  }
  m_linkCache.reset();
}

std::optional<std::int64_t> DeepScan::extensionRecordOffset(std::uint64_t record, std::uint64_t baseRecord,
                                                        std::int64_t baseOffset) const {
  if (m_mode != 3) {
    if (record >= static_cast<std::uint64_t>(entryCount())) return std::nullopt;
    const std::int64_t offset = m_entries[static_cast<std::size_t>(record)].recordOffset;
    return offset;
  }
  // Deep mode: entry indexes are not record numbers. The record is the one found with that number
  // whose base record is this file's (or the base record itself), the nearest on disk of several.
  if (record == baseRecord) return baseOffset;
  std::optional<std::int64_t> best;
  std::uint64_t bestDistance = UINT64_MAX;
  for (const FoundRecord& found : m_found) {
    if (!found.numbered || found.number != record || (found.baseReference & 0x0000FFFFFFFFFFFFULL) != baseRecord)
      continue;
    const std::uint64_t distance = found.offset > baseOffset ? static_cast<std::uint64_t>(found.offset - baseOffset)
                                                             : static_cast<std::uint64_t>(baseOffset - found.offset);
    if (distance < bestDistance) {
      best = found.offset;
      bestDistance = distance;
    }
  }
  return best;
}

}  // namespace tessary::ntfs_detail
