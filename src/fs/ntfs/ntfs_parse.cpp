// The NTFS parser's record side: boot sector, MFT location, the walk of its runs, each record's names
// and times, and the tree's top level.
#include "fs/ntfs/ntfs_parse.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "disk/read_write_interface.h"
#include "fs/ntfs/ntfs_io.h"
#include "platform/bytes.h"
#include "platform/large_buffer.h"
#include "platform/page_sink.h"
#include "platform/text.h"

namespace tessary {

bool MftRecordView::isFile() const { return hasMagic(header, 0, "FILE"); }

namespace ntfs_detail {

namespace {

constexpr char16_t kOrphanFolderName[] = u"ORPHAN_ENTRY";
constexpr std::int64_t kScanChunkBytes = 10485760;
constexpr std::int64_t kMiB = 1048576;
// Pieces in which the MFT's runs are read.
constexpr std::uint64_t kMftPieceBytes = 1u << 20;
// The entry table never grows past this many records (64 bytes each: 4 GiB).
constexpr std::uint64_t kMaxEntries = 1ull << 26;
// How often the per-entry loop reports its status line and progress.
constexpr std::int64_t kReportEvery = 64;

}  // namespace

RecordParser::RecordParser() : m_io(std::make_unique<VolumeIo>()) {}

RecordParser::~RecordParser() = default;

void RecordParser::setVolume(const VolumeEntry& volume) {
  m_volume = volume;
  m_volumeStartSector = volume.startSector;
}

void RecordParser::setTree(CXHtmlTree* tree, std::string topItemText, TreeIcon topItemIcon) {
  ParserContext::setTree(tree, std::move(topItemText));
  m_topItemIcon = topItemIcon;
}

void RecordParser::attachVolume(readWriteInterface* reader) {
  attachVolume(reader ? VolumeView(*reader, static_cast<std::uint64_t>(std::max<std::int64_t>(m_volumeStartSector, 0)), 0)
                      : VolumeView());
}

void RecordParser::attachVolume(const VolumeView& view) {
  m_reader = view.reader();
  m_io->attach(view);
  if (m_tree) {
    m_topItem = m_tree->insertItem(m_topItemText, kTreeRoot, kInsertLast, m_topItemIcon, ntfs::kNoEntry, false);
    m_tree->SetCheck(m_topItem, true);
    m_tree->expand(m_topItem, true);
  }
}

void RecordParser::readBootSector() {
  m_bootRead = m_io->readAt(0, m_bootSector);
  m_volumeSizeFromBoot = false;
  m_bytesPerSector = 512;
  if (hasMagic(m_bootSector, kBootOemId, "NTFS")) {
    // Sector counts and cluster sizes are in the volume's own sectors, whatever the disk's are.
    const std::uint16_t bytesPerSector = le16At(m_bootSector, kBootBytesPerSector);
    if (powerOfTwoWithin(bytesPerSector, kMinSectorSize, kMaxSectorSize)) m_bytesPerSector = bytesPerSector;
    const std::int64_t sectors = les64At(m_bootSector, kBootTotalSectors);
    const auto bytes = checkedMul(sectors, m_bytesPerSector);
    if (sectors > 0 && bytes) {
      m_volumeSize = *bytes;
      m_volumeSizeFromBoot = true;
      return;
    }
  }
  const auto fromText = checkedMul(decimalValue(m_volume.volumeSizeText), kMiB);
  m_volumeSize = fromText && *fromText > 0 ? *fromText : 0;
}

std::int64_t RecordParser::bootClusterSize() const { return clusterSizeOf(m_bootSector); }

std::int64_t RecordParser::clusterSizeOf(std::span<const std::byte, 512> boot) {
  const std::int64_t bytesPerSector = le16At(boot, kBootBytesPerSector);
  const std::uint8_t perCluster = u8At(boot, kBootSectorsPerCluster);
  // Clusters above 64 KiB store the power of two as a negative exponent.
  if (perCluster >= 0xF4) {
    const int shift = 256 - perCluster;
    return bytesPerSector << shift;
  }
  return bytesPerSector * perCluster;
}

bool RecordParser::clusterSizeUsable(std::int64_t bytes) const {
  return bytes >= 512 && bytes <= (2 * kMiB) && (bytes & (bytes - 1)) == 0;
}

std::int64_t RecordParser::volumeLimit() const {
  // Nothing of the volume lies past the disk's end, whatever the boot sector claims: reads there fail,
  // and a file claimed to reach there is not written on and on.
  const auto diskEnd = static_cast<std::int64_t>(std::min<std::uint64_t>(m_io->view().bytesToDiskEnd(), INT64_MAX));
  if (m_volumeSize <= 0) return diskEnd;
  // A size taken from the volume record's MiB text may have been rounded down.
  if (!m_volumeSizeFromBoot) return std::min(diskEnd, checkedAdd(m_volumeSize, kMiB).value_or(INT64_MAX));
  return std::min(diskEnd, m_volumeSize);
}

void RecordParser::locateMft() {
  const bool bootIsNtfs = hasMagic(m_bootSector, kBootOemId, "NTFS");
  m_clusterSize = bootIsNtfs ? bootClusterSize() : 4096;
  if (bootIsNtfs && !clusterSizeUsable(m_clusterSize)) {
    status(format("cluster size %lld in the boot sector cannot be used.", static_cast<long long>(m_clusterSize)));
  } else if (bootIsNtfs) {
    m_mftRunKnown = true;
    const std::int64_t mftCluster = les64At(m_bootSector, kBootMftCluster);
    const auto offset = checkedMul(mftCluster, m_clusterSize);
    if (!offset || *offset < 0 || *offset >= volumeLimit()) {
      status(format("MFT starting cluster %lld lies outside the volume.", static_cast<long long>(mftCluster)));
      m_runList.clear();
      return;
    }
    m_mftOffset = *offset;
    // The record size the boot sector gives; the $MFT record's own header has the last word, as the
    // records are what they are whatever the boot sector says.
    const std::size_t fromBoot = bootRecordSize(m_bootSector, m_clusterSize);
    std::array<std::byte, kRecordHeaderCopy> header{};
    const bool headerRead = m_io->readAt(m_mftOffset, header) && isFileSignature(header);
    m_recordSize = headerRead ? ownRecordSize(header, fromBoot ? fromBoot : kMftRecordSize)
                              : (fromBoot ? fromBoot : kMftRecordSize);
    if (m_io->view().reaches(static_cast<std::uint64_t>(m_mftOffset))) {
      status("boot sector is fine.Getting run of mft entry...");
      m_runList = getRun2(m_mftOffset, kData);
      status("Got run...");
    }
    return;
  }
  scanForMft();
}

void RecordParser::scanForMft() {
  m_clusterSize = 4096;
  status("boot sector corrupt.Scanning for first mft entry...");
  m_mftRunKnown = false;
  progressRange(m_volumeSize / kScanChunkBytes);
  if (!m_linkCache) m_linkCache = std::make_unique<LinkCache>();
  // The scan ends at the volume's end, at the disk's end, or at the first position the reader refuses,
  // whatever total the boot sector claims.
  const std::uint64_t diskEnd = m_io->view().bytesToDiskEnd();
  const std::int64_t end = static_cast<std::int64_t>(std::min<std::uint64_t>(
      static_cast<std::uint64_t>(std::max<std::int64_t>(m_volumeSize, 0)), std::min<std::uint64_t>(diskEnd, INT64_MAX)));
  // A volume smaller than one piece is read in one piece of its own size (whole sectors).
  std::vector<std::byte> chunk;
  try {
    chunk.resize(static_cast<std::size_t>(end >= kScanChunkBytes ? kScanChunkBytes : (end + 511) / 512 * 512));
  } catch (const std::bad_alloc&) {
    return;
  }
  constexpr int kMaxRefusedInRow = 4;
  int refusedInRow = 0;
  for (std::int64_t c = 0; c < end / kScanChunkBytes + (end % kScanChunkBytes != 0); ++c) {
    if (stopRequested()) break;
    if (c % 100 == 0) progressPosition(c);
    const std::int64_t chunkStart = c * kScanChunkBytes;
    // Blocks without data read as zeros and hold no record: go on at the piece where data starts again.
    const std::optional<std::uint64_t> data = m_io->view().nextData(static_cast<std::uint64_t>(chunkStart));
    if (!data) break;
    if (*data >= static_cast<std::uint64_t>(chunkStart + kScanChunkBytes)) {
      c = static_cast<std::int64_t>(*data / kScanChunkBytes) - 1;
      continue;
    }
    // A piece the reader refuses holds nothing to look at; the pieces after it may. A run of refused
    // pieces is the disk's end (whose size the reader may not know): the scan ends there.
    if (!m_io->readAt(chunkStart, chunk)) {
      if (++refusedInRow >= kMaxRefusedInRow) break;
      continue;
    }
    refusedInRow = 0;
    std::size_t step = 0;
    while (step + 512 <= chunk.size()) {
      if (!hasMagic(chunk, step, "FILE")) {
        step += 512;
        continue;
      }
      if (m_entries.size() >= kMaxEntries) break;
      MftEntry entry = blankEntry(entryCount());
      setSignature(entry, slice(chunk, step, 4));
      entry.recordOffset = chunkStart + static_cast<std::int64_t>(step);
      m_entries.push_back(entry);
      const std::int64_t index = entryCount() - 1;
      // Without a boot sector each record found says its own size; the $MFT record's is the MFT's.
      m_recordSize = ownRecordSize(slice(chunk, step, kRecordHeaderCopy), kMftRecordSize);
      parseEntry(m_entries.back().recordOffset, index);
      if (m_lookForMft) {
        const char16_t* name = m_entries[static_cast<std::size_t>(index)].name;
        if (name && name[0] == u'$' && name[1] == u'M' && name[2] == u'F') {
          status("found mft entry.getting its run ...");
          m_runList = getRun2(m_entries[static_cast<std::size_t>(index)].recordOffset, kData);
          status("got run ...");
          if (!m_runList.empty()) {
            // The $MFT record lies where its first run's cluster number, times the cluster size, puts it
            // from the volume's start: that gives the cluster size the boot sector no longer does.
            const std::int64_t found = m_entries[static_cast<std::size_t>(index)].recordOffset;
            const std::int64_t lcn = m_runList.front().lcn;
            if (lcn > 0 && found % lcn == 0 && clusterSizeUsable(found / lcn)) m_clusterSize = found / lcn;
            m_mftRunKnown = true;
            m_entries.clear();
            m_linkCache.reset();
            break;
          }
        }
      }
      // The rest of the record (its own size says how long it is) is not looked at again.
      step += ownRecordSize(slice(chunk, step, kRecordHeaderCopy), kMftRecordSize);
    }
    if (m_mftRunKnown) break;
  }
  m_linkCache.reset();
}

void RecordParser::clearTable() {
  m_entries.clear();
  m_extraNames.clear();
  m_dosNamed.clear();
  m_clusterOrigin = 0;
  m_linkCache.reset();
  m_io->clearCache();
  m_sizeMemo.reset();
  m_sizeMemoCount = 0;
}

void RecordParser::collectMftRecords() {
  if (!m_mftRunKnown || stopRequested()) return;
  clearTable();
  if (m_clusterSize == 0) m_clusterSize = 4096;
  const std::int64_t clusterSize = m_clusterSize;
  if (clusterSize < 512 || clusterSize > 2 * kMiB) {
    status(format("cluster size %lld cannot be used to walk the MFT.", static_cast<long long>(clusterSize)));
    return;
  }
  const std::uint64_t recordSize = m_recordSize;
  // A cluster smaller than a record holds part of one: each step then takes as many clusters as a
  // record fills.
  const std::uint64_t stepClusters =
      static_cast<std::uint64_t>(clusterSize) < recordSize ? recordSize / static_cast<std::uint64_t>(clusterSize) : 1;
  const std::uint64_t stepBytes = stepClusters * static_cast<std::uint64_t>(clusterSize);
  const std::uint64_t recordsPerStep = stepBytes / recordSize;
  const std::uint64_t limit = static_cast<std::uint64_t>(volumeLimit());
  const std::uint64_t recordCap = std::min<std::uint64_t>(kMaxEntries, limit / recordSize + 1);

  // The MFT streams through one piece-sized buffer, read into without clearing (the reader fills every
  // byte) and used again for every piece: only each record's signature and place are kept.
  std::unique_ptr<LargeBuffer> buffer;
  bool full = false;
  for (const Run& run : m_runList) {
    status(format("parsing %d cluster of MFT run.", run.lcn));
    if (stopRequested() || full) break;
    if (run.lcn <= 0) continue;  // a sparse run, or one that cannot be positioned
    const std::uint64_t runStart = static_cast<std::uint64_t>(run.lcn) * static_cast<std::uint64_t>(clusterSize);
    std::uint64_t steps = (run.count + stepClusters - 1) / stepClusters;
    if (runStart >= limit) {
      status(format("MFT run at cluster %d lies past the end of the volume.", run.lcn));
      continue;
    }
    if (steps * stepBytes > limit - runStart) {
      status(format("MFT run at cluster %d lies past the end of the volume.", run.lcn));
      steps = (limit - runStart) / stepBytes;
    }
    const std::uint64_t stepsPerPiece = std::max<std::uint64_t>(1, kMftPieceBytes / stepBytes);
    for (std::uint64_t s = 0; s < steps && !full;) {
      if (stopRequested()) break;
      const std::uint64_t n = std::min(stepsPerPiece, steps - s);
      const auto offset = static_cast<std::int64_t>(runStart + s * stepBytes);
      const auto pieceBytes = static_cast<std::size_t>(n * stepBytes);
      if (!buffer || buffer->size() < pieceBytes) {
        buffer = std::make_unique<LargeBuffer>(pieceBytes);
        if (!buffer->data()) throw std::bad_alloc();
      }
      const std::span<std::byte> piece(buffer->data(), pieceBytes);
      // One read for many clusters; when it fails the clusters are taken one step at a time, as each
      // cluster's own position decides whether it adds records.
      const bool whole = m_io->readWhole(offset, piece);
      bool pastDisk = false;
      for (std::uint64_t k = 0; k < n; ++k) {
        const auto stepOffset = static_cast<std::int64_t>(offset + static_cast<std::int64_t>(k * stepBytes));
        const std::span<std::byte> stepBytesSpan = piece.subspan(static_cast<std::size_t>(k * stepBytes),
                                                                 static_cast<std::size_t>(stepBytes));
        if (!whole && !m_io->readAt(stepOffset, stepBytesSpan)) {
          // A position the reader refuses lies past the disk's end, and so does everything after it in
          // this run: the run ends here instead of trying billions of clusters one by one.
          if (!m_io->view().reaches(static_cast<std::uint64_t>(stepOffset))) {
            pastDisk = true;
            break;
          }
          continue;
        }
        for (std::uint64_t r = 0; r < recordsPerStep; ++r) {
          if (m_entries.size() >= recordCap) {
            status(format("the MFT holds more records than can be kept; parsing stops at %llu records.",
                          static_cast<unsigned long long>(m_entries.size())));
            full = true;
            break;
          }
          MftEntry entry = blankEntry(entryCount());
          setSignature(entry, stepBytesSpan.subspan(static_cast<std::size_t>(r * recordSize), 4));
          entry.recordOffset = stepOffset + static_cast<std::int64_t>(r * recordSize);
          try {
            m_entries.push_back(entry);
          } catch (const std::bad_alloc&) {
            status(format("the MFT holds more records than can be kept; parsing stops at %llu records.",
                          static_cast<unsigned long long>(m_entries.size())));
            full = true;
            break;
          }
        }
        if (full) break;
      }
      if (pastDisk) {
        status(format("MFT run at cluster %d lies past the end of the volume.", run.lcn));
        break;
      }
      s += n;
    }
  }
}

std::vector<std::byte> RecordParser::applyFixup(std::span<const std::byte> raw, std::span<const std::byte> header) const {
  return fixupRecord(raw, header);
}

std::size_t RecordParser::recordSizeAt(std::int64_t recordOffset) {
  if (m_mode != 3 && !m_searching) return m_recordSize;
  std::array<std::byte, kRecordHeaderCopy> header{};
  if (!m_io->readRecord(recordOffset, header) || !isFileSignature(header)) return m_recordSize;
  return ownRecordSize(header, m_recordSize);
}

std::size_t RecordParser::readRawRecord(std::int64_t recordOffset, std::span<std::byte, kMaxMftRecordSize> buffer) {
  const std::size_t size = std::min(recordSizeAt(recordOffset), kMaxMftRecordSize);
  return m_io->readRecord(recordOffset, buffer.first(size)) ? size : 0;
}

void RecordParser::parseEntry(std::int64_t recordOffset, std::int64_t entryIndex) {
  if (entryIndex < 0 || entryIndex >= entryCount()) return;
  std::array<std::byte, kMaxMftRecordSize> buffer;
  const std::size_t size = readRawRecord(recordOffset, buffer);
  if (size == 0) return;
  const std::span<const std::byte> raw(buffer.data(), size);
  const std::span<const std::byte> header(raw.data(), kRecordHeaderCopy);
  // An extension record's $FILE_NAME belongs to its base record (a file with many attributes keeps its
  // name in one); while entry indexes are record numbers, the name goes to the base record's entry.
  std::copy(header.begin(), header.end(), m_lastHeader.begin());
  m_lastParentReference = 0;
  // The deep scan and the candidate search link nothing here: their table indexes are not record numbers.
  const bool linking = m_mode != 3 && !m_searching;
  const std::int64_t base = referenceIndex(le64At(header, kRecordBaseReference));
  if (linking && base > 0 && base < entryCount() && base != entryIndex) entryIndex = base;
  // The attributes are walked on the fixed-up record: the last two bytes of each sector as stored are
  // the update sequence number, not the attribute bytes that belong there.
  std::array<std::byte, kMaxMftRecordSize> fixed;
  fixupInto(raw, header, fixed);
  const std::span<const std::byte> record(fixed.data(), size);
  const std::uint16_t headerFlags = le16At(header, kRecordFlags);
  const auto attributes = walkAttributes(record);
  const auto self = static_cast<std::size_t>(entryIndex);
  // A DOS-only name (8.3) stands beside a long name of the same link and is no name of its own; it names
  // the entry only when no other name does.
  std::optional<std::u16string> dosName;
  std::uint64_t dosParent = 0;
  std::int64_t dosAllocated = 0;
  for (const AttributeHeaderCopy& attribute : attributes) {
    if (le32At(attribute.bytes, kAttrType) != kFileName || u8At(attribute.bytes, kAttrNonResident) != 0) continue;
    const std::size_t valueStart = attribute.offset + le16At(attribute.bytes, kAttrValueOffset);
    // A value cut short by the record's end is no name: its length, parent and flags would read as zeros.
    if (!fits(record.size(), valueStart, kNameText)) continue;
    if (le32At(record, valueStart + kNameFlags) & kNameDirectoryFlag) m_entries[self].kind = 'D';
    const std::uint8_t nameLength = u8At(record, valueStart + kNameLength);
    if (nameLength == kNoNameLength) continue;
    std::u16string text = readName(record, valueStart + kNameText, nameLength);
    const std::uint64_t parentReference = le64At(record, valueStart + kNameParent);
    const std::int64_t allocated = les64At(record, valueStart + kNameAllocatedSize);
    if (u8At(record, valueStart + kNameNamespace) == kDosNamespace) {
      if (!dosName) {
        dosName = std::move(text);
        dosParent = parentReference;
        dosAllocated = allocated;
      }
      continue;
    }
    takeName(entryIndex, text, parentReference, allocated, headerFlags, linking, false);
  }
  if (dosName && !m_entries[self].name) takeName(entryIndex, *dosName, dosParent, dosAllocated, headerFlags, linking, true);
}

void RecordParser::takeName(std::int64_t entryIndex, std::u16string_view text, std::uint64_t parentReference,
                    std::int64_t allocated, std::uint16_t headerFlags, bool linking, bool dosOnly) {
  MftEntry& entry = m_entries[static_cast<std::size_t>(entryIndex)];
  const std::int64_t parent = referenceIndex(parentReference);
  if (entry.name) {
    const bool dosNamed = m_dosNamed.count(entryIndex) != 0;
    if (dosOnly) return;
    if (dosNamed) {
      // The long name of the link the DOS name stood for.
      entry.name = storeName(text);
      m_dosNamed.erase(entryIndex);
      return;
    }
    // Another name of the same file (a hard link, or one kept in another extension record): an entry of
    // its own under its own parent, once the whole table is parsed.
    if (!linking || (parent == entry.parent && text == std::u16string_view(entry.name))) return;
    for (const ExtraName& extra : m_extraNames)
      if (extra.index == entryIndex && extra.parent == parent && text == std::u16string_view(extra.name)) return;
    m_extraNames.push_back(ExtraName{entryIndex, storeName(text), parent, allocated});
    return;
  }
  entry.name = storeName(text);
  if (dosOnly) m_dosNamed.insert(entryIndex);
  entry.recordFlags = headerFlags;
  entry.nameAllocatedSize = allocated;
  m_lastParentReference = parentReference;
  entry.parent = parent;
  if (!linking) return;
  if (parent == 0) {
    // Record 0 is the MFT itself and index 0 ends every chain: nobody's folder.
    entry.orphan = 1;
  } else if (parent > 0 && parent < entryIndex) {
    // A parent that is no directory once every record is parsed gives up its children then (its
    // $FILE_NAME may still come from an extension record further on).
    MftEntry& parentEntry = m_entries[static_cast<std::size_t>(parent)];
    if (parentEntry.firstChild == 0 && parent != entryIndex) makeFirstChild(parent, entryIndex);
    appendChild(entryIndex);
  } else {
    // An entry that already had a successor in its chain would be cut off from it here; the cached
    // chain ends are then no longer known.
    if (entry.nextSibling != 0) m_linkCache.reset();
    entry.nextSibling = 0;
    // The root names itself as its parent; an entry is never made its own child.
    if (parent == entryIndex) return;
    if (parent >= 0 && parent < entryCount()) {
      MftEntry& parentEntry = m_entries[static_cast<std::size_t>(parent)];
      if (parentEntry.firstChild == 0) makeFirstChild(parent, entryIndex);
      appendChild(entryIndex);
    } else {
      entry.orphan = 1;
    }
  }
}

void RecordParser::addExtraNames() {
  // Appended after every record, so that record numbers stay entry indexes.
  for (const ExtraName& extra : m_extraNames) {
    if (m_entries.size() >= kMaxEntries) break;
    MftEntry link = m_entries[static_cast<std::size_t>(extra.index)];
    link.index = entryCount();
    link.name = extra.name;
    link.parent = extra.parent;
    link.nameAllocatedSize = extra.allocated;
    link.firstChild = 0;
    link.nextSibling = 0;
    link.orphan = 0;
    m_entries.push_back(link);
    const std::int64_t at = link.index;
    if (extra.parent > 0 && extra.parent < at && extra.parent != extra.index &&
        m_entries[static_cast<std::size_t>(extra.parent)].kind == 'D')
      appendChild(at);
    else
      m_entries[static_cast<std::size_t>(at)].orphan = 1;
  }
  m_extraNames.clear();
  m_dosNamed.clear();
}

void RecordParser::parseAllEntries() {
  if (m_mode == 3) linkDeepEntries();
  if (m_mftRunKnown && !stopRequested()) {
    const std::int64_t size = entryCount();
    progressRange(size, ProgressAmount::items(size));
    m_linkCache = std::make_unique<LinkCache>();
    m_linkCache->fit(static_cast<std::size_t>(size));
    for (std::int64_t i = 0; i < size; ++i) {
      if (i % kReportEvery == 0 || i == size - 1) {
        status(format("parsing MFT entry %lld...", static_cast<long long>(i)));
        progressPosition(i);
      }
      parseEntry(m_entries[static_cast<std::size_t>(i)].recordOffset, i);
      if (stopRequested()) break;
    }
    addExtraNames();
  }
  m_linkCache.reset();

  MftEntry orphanFolder = blankEntry(entryCount());
  setSignature(orphanFolder, asBytes("FILE", 4));
  orphanFolder.name = kOrphanFolderName;
  orphanFolder.kind = 'D';
  m_entries.push_back(orphanFolder);
  m_orphanIndex = entryCount() - 1;

  const std::int64_t size = entryCount();
  m_rootIndex = size;
  for (std::int64_t i = 0; i < size; ++i) {
    const char16_t* name = m_entries[static_cast<std::size_t>(i)].name;
    if (name && name[0] == u'.' && name[1] == u'\0') {
      m_rootIndex = i;
      break;
    }
  }

  if (m_rootIndex > 0 && m_rootIndex < size) {
    MftEntry& folder = m_entries[static_cast<std::size_t>(m_orphanIndex)];
    folder.parent = m_rootIndex;
    folder.nextSibling = 0;
    folder.recordFlags = 1;
    std::vector<std::int64_t> children;
    walkChain(m_rootIndex, &children);
    const std::int64_t last = children.empty() ? 0 : children.back();
    m_entries[static_cast<std::size_t>(last)].nextSibling = m_orphanIndex;
  }

  orphanChildrenOfFiles();
  linkOrphans();
  repairLinks();
  fillTopLevel();
}

void RecordParser::fillTopLevel() {
  const std::int64_t size = entryCount();
  bool orphanShown = false;
  if (m_tree) {
    std::vector<std::int64_t> children;
    if (m_rootIndex >= 0 && m_rootIndex < size) walkChain(m_rootIndex, &children);
    for (std::int64_t child : children) {
      const MftEntry& entry = m_entries[static_cast<std::size_t>(child)];
      const TreeItem item = m_tree->insertItem(entryName(child), m_topItem, kInsertLast,
                                               entry.kind == 'D' ? TreeIcon::Folder : TreeIcon::File, child, false);
      if ((entry.recordFlags & 1) == 0) m_tree->markDeleted(item, true);
      if (child == m_orphanIndex) orphanShown = true;
    }
    if (!orphanShown && m_orphanIndex >= 0 && m_orphanIndex < size) {
      const MftEntry& folder = m_entries[static_cast<std::size_t>(m_orphanIndex)];
      const TreeItem item =
          m_tree->insertItem(entryName(m_orphanIndex), m_topItem, kInsertLast, TreeIcon::Folder, m_orphanIndex, false);
      if ((folder.recordFlags & 1) == 0) m_tree->markDeleted(item, true);
    }
    if (m_topItem != kNoItem) {
      m_tree->SetCheck(m_topItem, true);
      m_tree->expand(m_topItem, true);
    }
  }
}

MftRecordView RecordParser::readView(std::int64_t recordOffset) {
  MftRecordView view;
  view.recordOffset = recordOffset;
  std::array<std::byte, kMaxMftRecordSize> buffer;
  const std::size_t size = readRawRecord(recordOffset, buffer);
  if (size == 0) return view;
  const std::span<const std::byte> raw(buffer.data(), size);
  view.positioned = true;
  std::memcpy(view.header.data(), raw.data(), view.header.size());
  view.record = fixupRecord(raw, view.header);
  view.attributes = walkAttributes(view.record);
  return view;
}

NtfsFileTimes RecordParser::getFileTimeStructure(std::int64_t recordOffset) {
  NtfsFileTimes times;
  const MftRecordView view = readView(recordOffset);
  if (!view.positioned) return times;
  for (const auto& attribute : view.attributes) {
    const std::uint32_t type = le32At(attribute.bytes, kAttrType);
    const std::size_t valueStart = attribute.offset + le16At(attribute.bytes, kAttrValueOffset);
    // A value cut short by the record's end gives no times (they would read as zeros) and no flags.
    if (type == kStandardInformation && fits(view.record.size(), valueStart, kSiAccess + 8)) {
      times.hasTimes = true;
      times.creation = le64At(view.record, valueStart + kSiCreation);
      times.modification = le64At(view.record, valueStart + kSiModification);
      times.access = le64At(view.record, valueStart + kSiAccess);
      times.change = le64At(view.record, valueStart + kSiChange);
    } else if (type == kFileName && u8At(attribute.bytes, kAttrNonResident) == 0 &&
               fits(view.record.size(), valueStart, kNameFlags + 4)) {
      const std::uint32_t flags = le32At(view.record, valueStart + kNameFlags) & 0xFFFF;
      std::string text;
      if (flags & 0x1) text += "-R";
      if (flags & 0x2) text += "-H";
      if (flags & 0x200) text += "-S";
      if (flags & 0x20) text += "-A";
      if (flags & 0x800) text += "-C";
      if (flags & 0x4000) text += "-E";
      times.attributes = text;
    }
  }
  return times;
}

EntryTimeTexts RecordParser::formatEntryTimes(const MftEntry& entry) {
  EntryTimeTexts texts;
  // The orphan folder is made by the parser and has no record of its own.
  if (entry.index == m_orphanIndex && entry.recordOffset == 0) return texts;
  const NtfsFileTimes times = getFileTimeStructure(entry.recordOffset);
  if (times.hasTimes) {
    texts.creation = formatListFileTime(times.creation);
    texts.access = formatListFileTime(times.access);
    texts.modification = formatListFileTime(times.modification);
  }
  texts.attributes = times.attributes;
  return texts;
}

std::string RecordParser::formatEntrySize(std::int64_t entryIndex) {
  return sizeText(entryDataSize(entryIndex));
}

}  // namespace ntfs_detail
}  // namespace tessary
