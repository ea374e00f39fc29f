// What the advanced-input page asks of the parser it creates for a volume: the candidate search of its
// entry worker and the parser that the results page then takes over.
#pragma once

namespace tessary {

class ParserSlot;

class CandidateScan {
 public:
  virtual ~CandidateScan() = default;
  // The parser the search ran on; the results page borrows it, this object keeps owning it.
  virtual ParserSlot& parser() = 0;
};

}  // namespace tessary
