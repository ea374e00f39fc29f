// myJpg: the carving engine. It walks a volume in 512-byte blocks, recognises file starts and ends by the
// loaded signatures, and records each carved file as a byte offset and a size, listed in the raw tree
// under one folder node per category.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "controls/xhtml_tree.h"
#include "disk/volume_view.h"
#include "platform/page_sink.h"
#include "platform/worker.h"
#include "raw/carve_names.h"
#include "raw/signature_record.h"
#include "raw/structure_ends.h"

namespace tessary {

// Signature numbers are wider than the record's 8 bits: a default and a chosen file of 256 records each
// load into one engine, and every number has its own pending-start stack.
using SignatureNumber = std::uint16_t;

struct SignatureEntry {
  std::array<char16_t, kExtensionUnits + 1> extension{};
  std::uint8_t extensionLength = 0;
  std::array<std::uint8_t, kSignatureBytes> startSignature{};
  std::array<std::uint8_t, kSignatureBytes> endSignature{};
  std::uint8_t startLength = 0;
  std::uint8_t endLength = 0;
  SignatureNumber signatureNumber = 0;
  std::int32_t startOffset = 0;
};

struct SizeRule {
  std::uint8_t startLength = 0;
  std::uint8_t endLength = 0;
  std::array<char16_t, kExtensionUnits + 1> extension{};
  std::int32_t offsetToSize = -1;
  std::int32_t bytesInSize = 0;
  std::int32_t headerSize = 0;
  std::uint8_t sizeIncludesHeader = 0;
  std::int32_t reserved = 0;
  std::int64_t approximateSize = 0;
  std::int64_t skipSize = 0;
  std::array<char16_t, kCategoryUnits> category{};
  TreeItem categoryNode = kNoItem;
  std::uint64_t reservedTail = 0;
  // The rule the record's reserved field names: where a file of this signature ends by its structure.
  StructureRule structure = StructureRule::None;
};

struct PatternSlot {
  std::uint8_t length = 0;
  SignatureNumber signatureNumber = 0;
  std::int32_t offset = 0;
  std::array<std::uint8_t, kSignatureBytes> bytes{};
};

struct PendingStart {
  std::uint8_t tag = 'S';
  std::int64_t position = 0;
  // A start whose structure rule failed: whatever size it gets is a guess.
  bool partial = false;
};

struct FoundItem {
  std::int64_t offset = 0;
  std::int64_t size = 0;
  // The size is the file's own length, read from its structure: it is saved to the byte.
  bool exact = false;
  // The type has a structure rule but the file broke it: the size is the block rule's guess.
  bool partial = false;
  // The deleted entry whose data began where this file begins (its name, folder and times), if any.
  std::optional<RememberedEntry> remembered;
  // The leaf name by position and extension, which the result has when no entry named it.
  std::string offsetName;
};

class myJpg {
 public:
  static constexpr std::int64_t kChunkSize = 1048576;
  static constexpr const char* kRootText = "RAW RECOVERY ";

  // What the scan reads, tells and fills: set by the page before the scan.
  VolumeView view;
  PageSink* sink = nullptr;
  CXHtmlTree* tree = nullptr;
  // Volume length in bytes, as the volume list gives it.
  std::int64_t volumeLength = 0;
  StopFlag stop{0};
  PauseGate* gate = nullptr;
  const std::int64_t blockStep = 512;

  // Appends one record's entry and rule; its signature number is the count of entries before it.
  void appendRecord(const SignatureRecord& record);
  std::size_t signatureCount() const { return m_signatures.size(); }
  const std::vector<SignatureEntry>& signatures() const { return m_signatures; }
  const std::vector<SizeRule>& rules() const { return m_rules; }

  // The scan thread's body. True when the scan ran to its end or was stopped; false when the matcher table
  // or the scan buffer could not be made.
  bool scan();

  const std::vector<FoundItem>& foundItems() const { return m_found; }
  // The leaf name of a result: "%lld ." and the rule's extension.
  std::string leafName(std::int64_t position, std::size_t rule) const;
  // Whether the scan first reads the volume as a file system for the names of deleted files.
  bool namesFromMetadata = true;
  // Deleted entries by the offset their data began at, as the scan found them.
  const std::map<std::int64_t, RememberedEntry>& rememberedStarts() const { return m_remembered; }
  // The category a result's leaf sits under (its node's label without the count), by item index.
  const std::map<std::u16string, std::int64_t>& categoryCounts() const { return m_categoryCounts; }
  TreeItem rootNode() const { return m_root; }

  // The block match: which slot decides for the 512-byte block (the first that matches), or none.
  struct Match {
    bool start = false;
    SignatureNumber signature = 0;
  };
  bool buildMatcher();
  std::optional<Match> matchBlock(const std::byte* block) const;

 private:
  bool stopRequested() const;
  void makeCategoryNodes();
  void record(std::int64_t leafPosition, std::int64_t offset, std::int64_t size, std::size_t rule,
              bool exact = false, bool partial = false);
  // What the structure rule of signature `s` makes of a start at `startAt`: the file's length, or none
  // when the structure is broken; `recognised` tells whether the type's header was there at all.
  std::optional<std::int64_t> structureSize(std::size_t s, std::int64_t startAt, bool& recognised) const;
  std::int64_t skipAmount(std::size_t rule) const;
  // The largest size an item at `offset` may have: what is left of the volume (and of the disk).
  std::int64_t roomFrom(std::int64_t offset) const;
  void flushPending();

  std::vector<SignatureEntry> m_signatures;
  std::vector<SizeRule> m_rules;
  std::vector<PatternSlot> m_slots;
  // Candidates by the first byte each slot tests that is not a wildcard: for each distinct block offset
  // such a byte sits at, a bit set of slots per byte value; slots made only of wildcards are always tried.
  struct KeyTable {
    std::int32_t offset = 0;
    std::vector<std::uint64_t> bits;  // 256 x words
  };
  std::vector<KeyTable> m_keys;
  std::vector<std::uint64_t> m_alwaysTried;
  std::size_t m_words = 0;
  bool m_zeroBlockMatches = false;
  std::vector<std::vector<PendingStart>> m_pending;
  std::vector<FoundItem> m_found;
  std::map<std::u16string, std::int64_t> m_categoryCounts;
  TreeItem m_root = kNoItem;
  std::map<std::int64_t, RememberedEntry> m_remembered;
  // Folder nodes below a category node, by the node and the folder's path.
  std::map<std::pair<TreeItem, std::string>, TreeItem> m_folderNodes;
  TreeItem folderNode(TreeItem category, const std::string& path);
};

}  // namespace tessary
