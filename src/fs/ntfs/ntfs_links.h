// The NTFS entry table: the entries, their names and the links between them (children, chains, orphans).
// Private to the parser (and its tests).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "fs/ntfs/ntfs.h"
#include "fs/parser_context.h"

namespace tessary::ntfs_detail {

inline bool signatureIsFile(const MftEntry& entry) { return std::memcmp(entry.signature, "FILE", 4) == 0; }
// A table entry with every field zero but its own index, and its signature from a record's first bytes.
MftEntry blankEntry(std::int64_t index);
void setSignature(MftEntry& entry, std::span<const std::byte> bytes);

class EntryTable : public ParserContext {
 public:
  static constexpr std::int64_t kDefaultRootIndex = 5;

  EntryTable();
  virtual ~EntryTable();
  EntryTable(const EntryTable&) = delete;
  EntryTable& operator=(const EntryTable&) = delete;

  const std::vector<MftEntry>& entries() const { return m_entries; }
  std::int64_t entryCount() const { return static_cast<std::int64_t>(m_entries.size()); }
  bool isEntry(std::int64_t index) const;  // a valid index whose signature is "FILE"
  std::string entryName(std::int64_t index) const;  // UTF-8, empty without a name
  std::u16string entryNameUtf16(std::int64_t index) const;
  bool isFolder(std::int64_t index) const;
  bool isDeleted(std::int64_t index) const;
  // The children of a folder in link order; a chain that runs into itself ends there.
  std::vector<std::int64_t> childEntries(std::int64_t index) const;
  // Gives an entry a new name (a buffer in the name list), as the recycle-bin names are restored.
  void renameEntry(std::int64_t index, const std::u16string& name);
  void renameEntry(std::int64_t index, const std::string& utf8Name);
  std::int64_t rootIndex() const { return m_rootIndex; }
  std::int64_t orphanIndex() const { return m_orphanIndex; }
  void appendChild(std::int64_t child);

 protected:
  // Transient help for appendChild while a whole table is parsed: the last child of every chain and the
  // parent each entry was linked under, so that appending does not walk the chain again.
  struct LinkCache {
    std::vector<std::int64_t> tail;
    std::vector<std::int64_t> linkedUnder;
    void fit(std::size_t size) {
      if (tail.size() < size) {
        tail.resize(size, -1);
        linkedUnder.resize(size, -1);
      }
    }
  };

  const char16_t* storeName(std::u16string_view name);
  bool walkChain(std::int64_t from, std::vector<std::int64_t>* out) const;
  // Makes `child` the first child of `parent`, keeping the cached chain ends in step.
  void makeFirstChild(std::int64_t parent, std::int64_t child);
  void orphanChildrenOfFiles();
  void linkOrphans();
  void repairLinks();

  // The entry table and its names.
  std::vector<MftEntry> m_entries;
  std::vector<std::unique_ptr<char16_t[]>> m_nameBlocks;
  std::size_t m_nameBlockUsed = 0;
  std::size_t m_nameBlockSize = 0;
  std::int64_t m_rootIndex = kDefaultRootIndex;
  std::int64_t m_orphanIndex = -1;
  std::unique_ptr<LinkCache> m_linkCache;
};

}  // namespace tessary::ntfs_detail
