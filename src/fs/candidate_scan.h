// What the advanced-input page asks of the parser it creates for a volume: the candidate search of its
// entry worker, the lists the page fills from it, the user's choices, and the parser that the results page
// then takes over.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "fs/parser_slot.h"

namespace tessary {

// One item of a drop-down list of the page, with the byte offset in the volume it stands for (none for
// the cluster-size list).
struct CandidateItem {
  std::string text;  // "FAT32_ENTRY:0", "8", "HEAP_OFFSET_ENTRY:1", ...
  std::uint64_t offset = 0;
};

// What an entry worker leaves for the page to show.
struct CandidateLists {
  std::vector<CandidateItem> candidates;    // "TFS :"
  std::vector<CandidateItem> clusterSizes;  // "Sector Per Cluster :"
  std::vector<CandidateItem> heapOffsets;   // "Heap Offset :" (exFAT only)
  std::string message;                      // the count message box
  std::string status;                       // the last status line
};

class CandidateScan {
 public:
  virtual ~CandidateScan() = default;
  // The parser the search ran on; the results page borrows it, this object keeps owning it.
  virtual ParserSlot& parser() = 0;
  // The status line shown when the page picks this family ("ntfs partition selected...."), if any.
  virtual std::string selectedStatus() const { return {}; }
  // The counter caption ("Total fat16 Entries Found:"), if the family has one.
  virtual std::string counterCaption() const { return {}; }
  // The entry worker's body: searches the volume for at most `maxCandidates` candidates. Runs on the
  // page's worker; honours links.control; reports through links.sink.
  virtual CandidateLists search(const ParserLinks& links, int maxCandidates, bool formatted) = 0;
  // The user's choices by position in the lists search() returned, handed to the parser before the
  // results page's mode-2 worker runs on it.
  virtual void choose(int candidate, int clusterSize, int heapOffset) = 0;
  // Whether the results page offers its Parse command, which runs the mode-2 worker again on other
  // choices of the same lists, and the status line it shows when it starts.
  virtual bool reparses() const { return false; }
  virtual std::string reparseStatus() const { return {}; }
};

// What the advanced-input page hands to the results page besides the parser: the scan, the texts of its
// three lists and the positions selected in them (-1: none).
struct AdvancedInput {
  CandidateScan* scan = nullptr;
  std::vector<std::string> candidates;
  std::vector<std::string> clusterSizes;
  std::vector<std::string> heapOffsets;
  int candidate = -1;
  int clusterSize = -1;
  int heapOffset = -1;
};

}  // namespace tessary
