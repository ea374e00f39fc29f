// Stacking a differencing image on its parents.
#include "disk/parent_chain.h"

#include <dirent.h>

#include <algorithm>
#include <cstring>
#include <set>

#include "disk/image_format.h"
#include "platform/bytes.h"
#include "platform/files.h"
#include "platform/page_sink.h"
#include "platform/text.h"

namespace tessary {

namespace {

constexpr std::uint64_t kMaxReadPiece = 0xFFFFFE00;  // the largest whole-sector read a reader takes

std::string baseName(const std::string& path) {
  const std::size_t slash = path.find_last_of("/\\");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The folder of a host path; on Windows a backslash separates folders too (a full path has them).
std::string folderOf(const std::string& path) {
#ifdef _WIN32
  const std::size_t slash = path.find_last_of("/\\");
#else
  const std::size_t slash = path.find_last_of('/');
#endif
  return slash == std::string::npos ? std::string() : path.substr(0, slash == 0 ? 1 : slash);
}

std::string besidePath(const std::string& child, const std::string& name) {
  const std::string folder = folderOf(child);
  return folder.empty() ? name : folder + "/" + name;
}

// A recorded name as a name beside the child: a relative one as it is, an absolute one (or one that
// climbs out) by its last component.
std::string localName(const std::string& recorded) {
  std::string name = recorded;
  for (char& c : name)
    if (c == '\\') c = '/';
  const bool absolute = !name.empty() && (name.front() == '/' || (name.size() >= 2 && name[1] == ':'));
  if (absolute || name.find("..") != std::string::npos) return baseName(name);
  while (name.starts_with("./")) name.erase(0, 2);
  return name;
}

std::optional<std::pair<std::uint64_t, std::uint64_t>> fileIdentity(const std::string& path) {
  ImageFile file;
  if (!file.open(path)) return std::nullopt;
  return file.identity();
}

// The files of an extension in a folder, sorted, at most a few thousand.
std::vector<std::string> filesWithExtension(const std::string& folder, const std::string& extension) {
  std::vector<std::string> names;
  DIR* dir = ::opendir(folder.empty() ? "." : folder.c_str());
  if (!dir) return names;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (endsWithNoCase(name, extension) && names.size() < 4096) names.push_back(name);
  }
  ::closedir(dir);
  std::sort(names.begin(), names.end());
  return names;
}

std::uint64_t ownBytesOf(const ChainLayer* chain, std::uint64_t diskBytes) {
  if (!chain) return diskBytes;
  std::uint64_t own = 0;
  // Bounded by the disk's size in runs of at least one sector; runs are blocks or grains in practice.
  std::uint64_t steps = 0;
  for (std::uint64_t at = 0; at < diskBytes && steps < (1u << 24); ++steps) {
    std::uint64_t run = 0;
    const bool holds = chain->holds(at, run);
    run = std::max<std::uint64_t>(run, kSectorSize);
    run = std::min(run, diskBytes - at);
    if (holds) own += run;
    at += run;
  }
  return own;
}

}  // namespace

ChainedDiskReader::ChainedDiskReader(DiskContext& context, ImageFormat format) : m_context(context), m_format(format) {}

ChainedDiskReader::~ChainedDiskReader() = default;

void ChainedDiskReader::message(const std::string& text) const {
  if (m_context.messages) m_context.messages->showMessage(text);
}

bool ChainedDiskReader::open(const std::string& path) {
  m_layers.clear();
  m_chain.clear();
  m_missing.clear();
  m_refused = false;
  Layer top;
  top.reader = createLayerReader(m_format, m_context);
  if (!top.reader || !top.reader->open(path)) return false;
  top.chain = dynamic_cast<const ChainLayer*>(top.reader.get());
  imageFileSize = top.reader->imageFileSize;
  blockTable = top.reader->blockTable;
  tableEntryCount = top.reader->tableEntryCount;
  m_diskBytes = m_context.diskSectorCount * kSectorSize;
  m_layers.push_back(std::move(top));
  m_chain.push_back({path, imageFormatName(m_format), m_diskBytes, 0, false, {}});
  if (!openParents(path)) {
    m_refused = true;
    m_layers.clear();
    return false;
  }
  // What each image holds is told only for a chain (or a child whose parent is missing).
  const bool differencing = m_layers.size() > 1 || !m_missing.empty();
  for (std::size_t i = 0; i < m_layers.size(); ++i) {
    const bool whole = !differencing || (i + 1 == m_layers.size() && m_missing.empty());
    m_chain[i].ownBytes = whole ? m_chain[i].diskBytes : ownBytesOf(m_layers[i].chain, m_chain[i].diskBytes);
  }
  return true;
}

bool ChainedDiskReader::openParents(const std::string& path) {
  std::set<std::pair<std::uint64_t, std::uint64_t>> seen;
  if (const auto id = fileIdentity(path)) seen.insert(*id);
  std::size_t namedUsed = 0;
  std::string childPath = path;
  while (true) {
    const ChainLayer* child = m_layers.back().chain;
    const std::optional<ParentLink> link = child ? child->parentLink() : std::nullopt;
    if (!link) return true;
    if (m_layers.size() >= kMaxChainDepth) {
      message(format("The chain of parents of \"%s\" is longer than %zu images: it is not read.", baseName(path).c_str(),
                     kMaxChainDepth));
      return false;
    }
    const std::string recorded = link->names.empty() ? link->identityName + " " + link->identity : localName(link->names.front());

    // The candidates: the one the user named for this place, else the names the child records beside it,
    // else (VDI) every file of its kind beside it.
    struct Candidate {
      std::string path;
      bool named = false;
    };
    std::vector<Candidate> candidates;
    if (namedUsed < m_context.namedParents.size()) {
      candidates.push_back({m_context.namedParents[namedUsed++], true});
    } else {
      for (const std::string& name : link->names) {
        const std::string local = localName(name);
        if (local.empty()) continue;
        ImageFile probe;
        const std::string why = probe.openBeside(childPath, local);
        if (why.empty()) {
          candidates.push_back({besidePath(childPath, local), false});
        } else if (why.find("link") != std::string::npos) {
          message(format("The parent \"%s\" of \"%s\" is not read: %s.", local.c_str(), baseName(childPath).c_str(),
                         why.c_str()));
        }
      }
      if (candidates.empty() && !link->searchExtension.empty()) {
        for (const std::string& name : filesWithExtension(folderOf(childPath), link->searchExtension)) {
          ImageFile probe;
          if (probe.openBeside(childPath, name).empty() && probe.identity() != fileIdentity(childPath))
            candidates.push_back({besidePath(childPath, name), false});
        }
      }
    }

    // The first candidate of the right identity is taken; a named one is taken whatever its identity.
    bool found = false;
    std::string mismatch;
    for (const Candidate& candidate : candidates) {
      const ImageFormat format = imageFormatOf(candidate.path);
      auto context = std::make_unique<DiskContext>();
      // A candidate that is not the parent says nothing; the chain's own message names what went wrong.
      context->messages = nullptr;
      auto reader = createLayerReader(format, *context);
      if (!reader || !reader->open(candidate.path)) {
        if (candidate.named || link->searchExtension.empty())
          mismatch = ::tessary::format("The parent \"%s\" of \"%s\" cannot be read as a %s image.",
                                       baseName(candidate.path).c_str(), baseName(childPath).c_str(), imageFormatName(format));
        continue;
      }
      const auto* chain = dynamic_cast<const ChainLayer*>(reader.get());
      const std::string identity = chain ? chain->chainIdentity() : std::string();
      const bool matches = link->identity.empty() || equalsNoCase(identity, link->identity);
      std::string note;
      if (!matches) {
        const std::string text = ::tessary::format(
            "The parent \"%s\" of \"%s\" does not match: its %s is %s, but %s was recorded.", baseName(candidate.path).c_str(),
            baseName(childPath).c_str(), link->identityName.c_str(), identity.empty() ? "unknown" : identity.c_str(),
            link->identity.c_str());
        if (!candidate.named) {
          if (link->searchExtension.empty()) mismatch = text + " Name it as the parent to read it anyway.";
          continue;
        }
        note = text + " It is read because it was named as the parent.";
        message(note);
      }
      const auto id = fileIdentity(candidate.path);
      if (id && !seen.insert(*id).second) {
        message(::tessary::format("The chain of parents loops: \"%s\" is its own ancestor.", baseName(candidate.path).c_str()));
        return false;
      }
      Layer layer;
      layer.context = std::move(context);
      layer.reader = std::move(reader);
      layer.chain = chain;
      m_chain.push_back({candidate.path, imageFormatName(format), layer.context->diskSectorCount * kSectorSize, 0,
                         candidate.named, note});
      m_layers.push_back(std::move(layer));
      childPath = candidate.path;
      found = true;
      break;
    }
    if (found) continue;
    if (!mismatch.empty()) {
      message(mismatch);
      return false;
    }
    // A parent that cannot be found leaves the chain as far as it goes: the rest reads as zeros.
    m_missing = recorded;
    message(::tessary::format("The parent \"%s\" of \"%s\" is missing: the disk reads as zeros wherever \"%s\" holds no data.",
                              recorded.c_str(), baseName(childPath).c_str(), baseName(childPath).c_str()));
    return true;
  }
}

bool ChainedDiskReader::readFrom(std::size_t index, std::uint64_t offset, std::byte* out, std::uint64_t length) const {
  const Layer& layer = m_layers[index];
  const bool last = index + 1 == m_layers.size();
  bool ok = true;
  std::uint64_t done = 0;
  while (done < length) {
    const std::uint64_t at = offset + done;
    std::uint64_t run = length - done;
    bool own = true;
    if (!last && layer.chain) {
      own = layer.chain->holds(at, run);
      run = std::min(std::max<std::uint64_t>(run, kSectorSize), length - done);
    }
    if (!own) {
      if (!readFrom(index + 1, at, out + done, run)) ok = false;
    } else {
      std::uint64_t piece = 0;
      while (piece < run) {
        const std::uint64_t n = std::min(run - piece, kMaxReadPiece);
        layer.reader->baseOffset = 0;
        if (!layer.reader->seek(static_cast<std::int64_t>(at + piece))) {
          // Past the end of a smaller parent: zeros.
          std::memset(out + done + piece, 0, static_cast<std::size_t>(run - piece));
          if (index == 0) ok = false;
          break;
        }
        if (!layer.reader->read(out + done + piece, static_cast<std::uint32_t>(n))) ok = false;
        piece += n;
      }
    }
    done += run;
  }
  return ok;
}

bool ChainedDiskReader::seek(std::int64_t offset, std::uint32_t origin) {
  if (m_layers.empty()) return false;
  if (m_layers.size() == 1) {
    readWriteInterface& only = *m_layers.front().reader;
    only.baseOffset = baseOffset;
    const bool ok = only.seek(offset, origin);
    blockAllocated = only.blockAllocated;
    return ok;
  }
  m_current = offset;
  const auto absolute = checkedAdd(offset, baseOffset);
  return absolute && *absolute >= 0 && static_cast<std::uint64_t>(*absolute) < m_diskBytes;
}

bool ChainedDiskReader::read(void* buffer, std::uint32_t length) {
  if (m_layers.empty()) {
    std::memset(buffer, 0, length);
    return false;
  }
  if (m_layers.size() == 1) {
    readWriteInterface& only = *m_layers.front().reader;
    only.baseOffset = baseOffset;
    const bool ok = only.read(buffer, length);
    blockAllocated = only.blockAllocated;
    missingReads = only.missingReads.load();
    return ok;
  }
  auto* out = static_cast<std::byte*>(buffer);
  const auto absolute = checkedAdd(m_current, baseOffset);
  if (!absolute || *absolute < 0 || static_cast<std::uint64_t>(*absolute) >= m_diskBytes) {
    std::memset(out, 0, length);
    return false;
  }
  const auto start = static_cast<std::uint64_t>(*absolute);
  const std::uint64_t inside = std::min<std::uint64_t>(length, m_diskBytes - start);
  bool ok = readFrom(0, start, out, inside);
  if (inside < length) {
    std::memset(out + inside, 0, length - inside);
    ok = false;
  }
  m_current += static_cast<std::int64_t>((std::uint64_t{length} + kSectorSize - 1) / kSectorSize * kSectorSize);
  std::uint64_t missing = 0;
  for (const Layer& layer : m_layers) missing += layer.reader->missingReads.load();
  missingReads = missing;
  return ok;
}

std::optional<std::uint64_t> ChainedDiskReader::nextDataOffset(std::uint64_t offset) const {
  if (m_layers.empty()) return std::nullopt;
  if (m_layers.size() == 1) return m_layers.front().reader->nextDataOffset(offset);
  std::optional<std::uint64_t> first;
  for (const Layer& layer : m_layers) {
    const auto next = layer.reader->nextDataOffset(offset);
    if (next && *next < m_diskBytes && (!first || *next < *first)) first = next;
  }
  return first;
}

std::optional<readWriteInterface::HostStretch> ChainedDiskReader::hostStretch(std::uint64_t offset,
                                                                            std::uint64_t length) const {
  if (m_layers.size() != 1) return std::nullopt;
  return m_layers.front().reader->hostStretch(offset, length);
}

namespace {

// Keeps a chain's messages for the page to show in its own order.
class NoteSink : public PageSink {
 public:
  explicit NoteSink(std::vector<std::string>& notes) : m_notes(notes) {}
  void setStatus(const std::string& text) override { (void)text; }
  void postMessage(std::uint32_t id, std::int64_t first, std::int64_t second) override {
    (void)id;
    (void)first;
    (void)second;
  }
  void showMessage(const std::string& text) override { m_notes.push_back(text); }
  bool askYesNo(const std::string& text) override {
    (void)text;
    return false;
  }

 private:
  std::vector<std::string>& m_notes;
};

}  // namespace

bool describeChain(const DiskContext& context, const std::string& path, ImageFormat format,
                   std::vector<std::string>& lines, std::string& missing, std::vector<std::string>& notes) {
  NoteSink sink(notes);
  DiskContext own = context;
  own.messages = &sink;
  ChainedDiskReader reader(own, format);
  lines.clear();
  const bool opened = reader.open(path);
  missing = reader.missingParent();
  if (!opened) return !reader.chainRefused();
  const std::vector<ChainLinkInfo>& links = reader.chain();
  for (std::size_t i = 0; i < links.size(); ++i) {
    const ChainLinkInfo& link = links[i];
    const std::string role = i == 0 ? "image" : i == 1 ? "parent" : ::tessary::format("ancestor %zu", i);
    lines.push_back(::tessary::format("%s: %s (%s), holds %llu of %llu KiB%s", role.c_str(), baseName(link.path).c_str(),
                                      link.formatName.c_str(), static_cast<unsigned long long>(link.ownBytes >> 10),
                                      static_cast<unsigned long long>(link.diskBytes >> 10), link.named ? ", named as the parent" : ""));
  }
  return true;
}

}  // namespace tessary
