// The NTFS entry table's links: appending children, walking chains, and repairing what a damaged MFT
// leaves (children of files, orphans, chains that loop).
#include <algorithm>
#include <cstring>
#include <unordered_set>

#include "fs/ntfs/ntfs_links.h"
#include "platform/text.h"

namespace tessary::ntfs_detail {

namespace {
constexpr std::size_t kNameBlockUnits = 32768;
}  // namespace

EntryTable::EntryTable() = default;
EntryTable::~EntryTable() = default;

void setSignature(MftEntry& entry, std::span<const std::byte> bytes) {
  for (std::size_t i = 0; i < 4; ++i) entry.signature[i] = i < bytes.size() ? static_cast<char>(bytes[i]) : '\0';
}

MftEntry blankEntry(std::int64_t index) {
  MftEntry entry{};
  std::memset(&entry, 0, sizeof entry);
  entry.index = index;
  return entry;
}

const char16_t* EntryTable::storeName(std::u16string_view name) {
  const std::size_t units = name.size() + 1;
  if (m_nameBlocks.empty() || m_nameBlockSize - m_nameBlockUsed < units) {
    m_nameBlockSize = std::max(kNameBlockUnits, units);
    m_nameBlocks.push_back(std::make_unique<char16_t[]>(m_nameBlockSize));
    m_nameBlockUsed = 0;
  }
  char16_t* out = m_nameBlocks.back().get() + m_nameBlockUsed;
  std::copy(name.begin(), name.end(), out);
  out[name.size()] = u'\0';
  m_nameBlockUsed += units;
  return out;
}

void EntryTable::renameEntry(std::int64_t index, const std::u16string& name) {
  if (index < 0 || index >= entryCount()) return;
  m_entries[static_cast<std::size_t>(index)].name = storeName(name);
}

void EntryTable::renameEntry(std::int64_t index, const std::string& utf8Name) { renameEntry(index, utf16FromAnsi(utf8Name)); }

bool EntryTable::isEntry(std::int64_t index) const {
  return index >= 0 && index < entryCount() && signatureIsFile(m_entries[static_cast<std::size_t>(index)]);
}

std::u16string EntryTable::entryNameUtf16(std::int64_t index) const {
  if (index < 0 || index >= entryCount()) return {};
  const char16_t* name = m_entries[static_cast<std::size_t>(index)].name;
  return name ? std::u16string(name) : std::u16string();
}

std::string EntryTable::entryName(std::int64_t index) const { return utf8FromUtf16(entryNameUtf16(index)); }

bool EntryTable::isFolder(std::int64_t index) const {
  return index >= 0 && index < entryCount() && m_entries[static_cast<std::size_t>(index)].kind == 'D';
}

bool EntryTable::isDeleted(std::int64_t index) const {
  return index >= 0 && index < entryCount() && (m_entries[static_cast<std::size_t>(index)].recordFlags & 1) == 0;
}

void EntryTable::makeFirstChild(std::int64_t parent, std::int64_t child) {
  m_entries[static_cast<std::size_t>(parent)].firstChild = child;
  if (m_linkCache) {
    m_linkCache->fit(static_cast<std::size_t>(entryCount()));
    m_linkCache->tail[static_cast<std::size_t>(parent)] = child;
    m_linkCache->linkedUnder[static_cast<std::size_t>(child)] = parent;
  }
}

void EntryTable::appendChild(std::int64_t child) {
  const std::int64_t size = entryCount();
  if (child < 0 || child >= size) return;
  MftEntry& entry = m_entries[static_cast<std::size_t>(child)];
  const std::int64_t c = entry.index;
  if (!(0 < c && c < size)) return;
  const std::int64_t p = entry.parent;
  if (p < 0 || p >= size) return;
  MftEntry& parentEntry = m_entries[static_cast<std::size_t>(p)];
  const std::int64_t f = p != 0 ? parentEntry.firstChild : 0;
  if (f == 0) {
    makeFirstChild(p, c);
    return;
  }
  if (f < 0 || f >= size) return;
  const MftEntry& first = m_entries[static_cast<std::size_t>(f)];
  if (!signatureIsFile(first) || first.index == c || p == c) return;

  if (m_linkCache) {
    m_linkCache->fit(static_cast<std::size_t>(size));
    const std::int64_t tail = m_linkCache->tail[static_cast<std::size_t>(p)];
    if (m_linkCache->linkedUnder[static_cast<std::size_t>(c)] == p) return;  // already in the chain
    if (tail > 0 && tail < size && m_entries[static_cast<std::size_t>(tail)].nextSibling == 0) {
      m_entries[static_cast<std::size_t>(tail)].nextSibling = c;
      m_linkCache->tail[static_cast<std::size_t>(p)] = c;
      m_linkCache->linkedUnder[static_cast<std::size_t>(c)] = p;
      return;
    }
  }
  // The walk along the chain ends at its last entry, at the child itself, at a self-loop, or after as
  // many steps as the table has entries (a longer chain must run in a circle).
  std::int64_t current = f;
  for (std::int64_t steps = 0;; ++steps) {
    const MftEntry& here = m_entries[static_cast<std::size_t>(current)];
    if (here.index == c) return;
    const std::int64_t next = here.nextSibling;
    if (next <= 0 || next >= size) break;
    if (m_entries[static_cast<std::size_t>(next)].index == here.index) break;
    if (steps >= size) return;
    current = next;
  }
  m_entries[static_cast<std::size_t>(current)].nextSibling = c;
  if (m_linkCache) {
    m_linkCache->tail[static_cast<std::size_t>(p)] = c;
    m_linkCache->linkedUnder[static_cast<std::size_t>(c)] = p;
  }
}

bool EntryTable::walkChain(std::int64_t from, std::vector<std::int64_t>* out) const {
  const std::int64_t size = entryCount();
  if (from < 0 || from >= size) return true;
  // One mark per entry, kept between walks and cleared behind each walk, so a folder's children cost
  // their own number of steps and not a table-sized clearing.
  thread_local std::vector<std::uint8_t> seen;
  if (seen.size() < static_cast<std::size_t>(size)) seen.resize(static_cast<std::size_t>(size), 0);
  std::vector<std::int64_t> walked;
  std::vector<std::int64_t>& visited = out ? *out : walked;
  const std::size_t first = visited.size();
  bool ended = true;
  std::int64_t current = m_entries[static_cast<std::size_t>(from)].firstChild;
  while (current > 0 && current < size) {
    if (seen[static_cast<std::size_t>(current)]) {
      ended = false;
      break;
    }
    seen[static_cast<std::size_t>(current)] = 1;
    visited.push_back(current);
    current = m_entries[static_cast<std::size_t>(current)].nextSibling;
  }
  for (std::size_t i = first; i < visited.size(); ++i) seen[static_cast<std::size_t>(visited[i])] = 0;
  return ended;
}

std::vector<std::int64_t> EntryTable::childEntries(std::int64_t index) const {
  std::vector<std::int64_t> out;
  walkChain(index, &out);
  return out;
}

void EntryTable::orphanChildrenOfFiles() {
  // A record whose parent reference points forward is linked before its parent is parsed; when that
  // parent turns out not to be a directory (its record was reused for a file), nothing would ever
  // show the child. Such children are orphans.
  const std::int64_t size = entryCount();
  for (std::int64_t i = 0; i < size; ++i) {
    MftEntry& holder = m_entries[static_cast<std::size_t>(i)];
    if (holder.kind == 'D' || holder.firstChild == 0 || i == m_orphanIndex) continue;
    std::vector<std::int64_t> chain;
    walkChain(i, &chain);
    for (std::int64_t child : chain) {
      MftEntry& c = m_entries[static_cast<std::size_t>(child)];
      if (c.name) c.orphan = 1;
    }
    holder.firstChild = 0;
  }
}

void EntryTable::linkOrphans() {
  const std::int64_t size = entryCount();
  progressRange(size);
  if (m_orphanIndex < 0 || m_orphanIndex >= size) return;
  bool first = true;
  for (std::int64_t i = 0; i < size; ++i) {
    MftEntry& entry = m_entries[static_cast<std::size_t>(i)];
    if (!entry.orphan || i == m_orphanIndex) continue;
    MftEntry& folder = m_entries[static_cast<std::size_t>(m_orphanIndex)];
    if (first) {
      folder.firstChild = entry.index;
      entry.parent = m_orphanIndex;
      entry.nextSibling = -1;
      first = false;
    } else {
      entry.nextSibling = folder.firstChild;
      folder.firstChild = entry.index;
    }
  }
}

void EntryTable::repairLinks() {
  // Links come from parent references in the image; a hostile or damaged volume can make a folder its
  // own descendant or make two chains share entries. Every entry keeps its first place in a walk from
  // the root (then from the orphan folder); where a chain meets an entry already placed, that entry is
  // taken out of the chain, and a chain longer than the table is cut.
  const std::int64_t size = entryCount();
  if (size == 0) return;
  std::vector<std::uint8_t> placed(static_cast<std::size_t>(size), 0);
  std::vector<std::int64_t> pending;
  auto link = [&](std::int64_t folder, std::int64_t previous) -> std::int64_t& {
    return previous < 0 ? m_entries[static_cast<std::size_t>(folder)].firstChild
                        : m_entries[static_cast<std::size_t>(previous)].nextSibling;
  };
  auto start = [&](std::int64_t folder) {
    if (folder < 0 || folder >= size || placed[static_cast<std::size_t>(folder)]) return;
    placed[static_cast<std::size_t>(folder)] = 1;
    pending.push_back(folder);
    while (!pending.empty()) {
      const std::int64_t f = pending.back();
      pending.pop_back();
      std::int64_t previous = -1;
      std::int64_t current = m_entries[static_cast<std::size_t>(f)].firstChild;
      for (std::int64_t steps = 0; current > 0; ++steps) {
        if (current >= size || steps > size) {
          link(f, previous) = 0;
          break;
        }
        const std::int64_t next = m_entries[static_cast<std::size_t>(current)].nextSibling;
        if (placed[static_cast<std::size_t>(current)]) {
          link(f, previous) = next;
          current = next;
          continue;
        }
        placed[static_cast<std::size_t>(current)] = 1;
        if (m_entries[static_cast<std::size_t>(current)].firstChild != 0) pending.push_back(current);
        previous = current;
        current = next;
      }
    }
  };
  if (m_rootIndex > 0 && m_rootIndex < size) start(m_rootIndex);
  start(m_orphanIndex);
}

}  // namespace tessary::ntfs_detail
