// The NTFS scans that do without the MFT's own run list: the advanced mode's search for places where an
// MFT begins, and the deep mode's walk of the whole volume for MFT records of this volume and of older
// ones it holds. Private to the parser (and its tests).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "fs/ntfs/ntfs_parse.h"

namespace tessary::ntfs_detail {

class DeepScan : public RecordParser {
 public:
  // Advanced mode: the places where an MFT begins, each the $MFT record seven records before a $Boot
  // record, at most `maximum` (3 when below 1); returns how many were found. The records met on the way
  // stay in the table until the advanced worker empties it.
  int searchMftCandidates(int maximum);
  const std::vector<MftEntry>& mftCandidates() const { return m_candidates; }
  // The status line of a candidate that gives no run list of the MFT.
  static std::string noMftRunStatus(int number);
  // Takes candidate `number`'s $MFT run list as the MFT's; false when it yields no run.
  bool selectMftCandidate(int number);
  // Deep mode: every MFT record of the volume wherever it lies, without the MFT's own run list.
  void deepScan();
  // How many parts of the volume the last scan could not read and went past.
  std::uint64_t refusedParts() const { return m_refusedParts; }

 protected:
  // A record found by the deep scan: what links it to its parent and what finds its extension records.
  struct FoundRecord {
    std::int64_t offset = 0;
    std::uint64_t baseReference = 0;
    std::uint64_t parentReference = 0;
    std::uint32_t number = 0;
    std::uint32_t size = kMftRecordSize;  // the record's own size
    std::uint16_t sequence = 0;
    std::uint16_t flags = 0;  // the record header's flags
    bool numbered = false;  // false when the record format keeps no record number in its header
    bool inUse = false;
    int generation = -1;  // the volume generation whose MFT holds the record; -1: none known
  };
  // Deep mode: a volume whose $MFT record and boot sector were found inside this one (the volume itself,
  // or an older one the disk held before it was partitioned and formatted again): where its cluster 0
  // lies in this volume, its cluster size, and the byte ranges its MFT covers.
  struct Generation {
    std::int64_t origin = 0;
    std::int64_t clusterSize = 0;
    std::vector<std::pair<std::int64_t, std::int64_t>> mft;
  };
  // While it lives, file data is read in the cluster frame of the entry's generation (deep mode).
  class GenerationFrame {
   public:
    GenerationFrame(DeepScan& parser, std::int64_t index);
    ~GenerationFrame();
    GenerationFrame(const GenerationFrame&) = delete;
    GenerationFrame& operator=(const GenerationFrame&) = delete;

   private:
    DeepScan& m_parser;
    std::int64_t m_clusterSize;
    std::int64_t m_origin;
  };
  // A name the deep scan found in an extension record, for its base record.
  struct ExtensionName {
    std::size_t found = 0;  // the extension record in the found records
    const char16_t* name = nullptr;
    char kind = 0;
    std::int64_t nameAllocatedSize = 0;
  };

  void clearTable() override;
  void linkDeepEntries() override;
  void findGenerations();
  // Whether the $MFTMirr record after found record `mftRecord` (record 0) puts a copy of record 0 where
  // `clusterSize` says; true when there is no such record to ask.
  bool mirrorAgrees(std::size_t mftRecord, std::int64_t clusterSize);
  // Walks the volume's first `end` bytes in pieces; `onRecord` gets the volume offset of each 512-byte
  // step that can start an MFT record and returns false to end the walk. `beforePiece` returns false to
  // end it before the next piece.
  template <typename BeforePiece, typename OnRecord>
  void scanRecordCandidates(std::int64_t end, BeforePiece beforePiece, OnRecord onRecord);
  void nameFromExtensions(const std::vector<ExtensionName>& names);
  // Where record `record` of the file whose base record is `baseRecord` (at `baseOffset`) lies.
  std::optional<std::int64_t> extensionRecordOffset(std::uint64_t record, std::uint64_t baseRecord,
                                                    std::int64_t baseOffset) const;

  std::vector<MftEntry> m_candidates;
  // Deep mode: every record found in disk order, and by entry index the found record it stands for.
  std::vector<FoundRecord> m_found;
  std::vector<std::size_t> m_entryFound;
  std::vector<Generation> m_generations;
  std::uint64_t m_refusedParts = 0;
};

}  // namespace tessary::ntfs_detail
