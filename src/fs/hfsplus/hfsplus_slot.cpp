// The HFS+ parser on the results page: its worker (standard and deep) and what the page, the save engine
// and the search ask. Tree items carry the entry's CNID.
#include <memory>

#include "fs/hfsplus/hfsplus.h"
#include "platform/files.h"
#include "fs/parser_slot.h"

namespace tessary {

namespace {

constexpr std::uint16_t kFolder = 1;
constexpr std::uint16_t kFile = 2;

class HfsPlusSlot : public ParserSlot {
 public:
  StopFlag& stopFlag() override { return m_hfs.stopFlag(); }
  std::string selectedStatus() const override { return "HFS+ partition selected...."; }
  bool supportsMode(int mode) const override { return mode == 1 || mode == 3; }
  bool refusesUnknownVolume(int mode) const override {
    (void)mode;
    return false;
  }

  WorkerOutcome runWorker(const ParserLinks& links) override {
    m_hfs.setVolume(links.volume);
    m_hfs.setSink(links.sink);
    m_hfs.setTree(links.tree, links.topItemText);
    m_hfs.setWorkerControl(links.control);
    m_hfs.attachVolume(links.view);
    if (!m_hfs.parse(links.mode)) return {"", "Work Aborted....", true};
    return {"", "Work Done."};
  }

  TreeItem topItem() const override { return m_hfs.topItem(); }

  bool validItem(std::int64_t data) const override { return m_hfs.entry(data) != nullptr; }
  bool isFolder(std::int64_t data) const override { return type(data) == kFolder; }
  bool isListedFile(std::int64_t data) const override { return type(data) == kFile; }
  std::vector<std::int64_t> children(std::int64_t data) const override { return m_hfs.childEntries(data); }
  std::string name(std::int64_t data) const override { return m_hfs.entryName(data); }
  bool isDeleted(std::int64_t data) const override {
    (void)data;
    return false;
  }

  EntryTexts texts(std::int64_t data) override {
    if (!validItem(data)) return {};
    const HfsDescription d = m_hfs.describeTimesAndPermissions(static_cast<std::uint32_t>(data));
    return {d.creation, d.access, d.modification, m_hfs.describeSize(static_cast<std::uint32_t>(data)), d.permissions};
  }
  EntryTexts listingTexts(std::int64_t data) override {
    if (!validItem(data)) return {};
    const HfsDescription d = m_hfs.describeTimesAndPermissions(static_cast<std::uint32_t>(data), false);
    return {{}, {}, d.modification, m_hfs.describeSize(static_cast<std::uint32_t>(data)), d.permissions};
  }
  EntryStamps stamps(std::int64_t data) override {
    EntryStamps s;
    s.number = static_cast<std::uint64_t>(data);
    if (!validItem(data)) return s;
    const std::optional<HfsStamps> record = m_hfs.recordStamps(static_cast<std::uint32_t>(data));
    if (!record) return s;
    s.creation = fileTimeFromHfs(record->create);
    s.access = fileTimeFromHfs(record->access);
    s.modification = fileTimeFromHfs(record->contentMod);
    s.change = fileTimeFromHfs(record->attributeMod);
    if (record->mode != 0) s.mode = record->mode;
    s.uid = record->owner;
    s.gid = record->group;
    return s;
  }
  std::string saveSizeText(std::int64_t data) override {
    return validItem(data) ? m_hfs.describeSize(static_cast<std::uint32_t>(data)) : std::string();
  }
  std::uint64_t sizeBytes(std::int64_t data) override {
    const HfsEntry* e = m_hfs.entry(data);
    return e && e->type == kFile ? e->size : 0;
  }

  std::int64_t fileCount(std::int64_t folder) const override { return countFilesBelow(*this, folder); }
  // An empty output path is kept (the default folder rules): the files go where that path leads.
  std::string writeFile(std::int64_t data, const std::string& folder) override {
    return type(data) == kFile ? writeWholeFile(data, folder, name(data)) : std::string();
  }
  bool writeContent(std::int64_t data, DataSink& sink) override {
    return type(data) == kFile && m_hfs.saveFileData(static_cast<std::uint32_t>(data), sink);
  }

 private:
  std::uint16_t type(std::int64_t data) const {
    const HfsEntry* e = m_hfs.entry(data);
    return e ? e->type : 0;
  }

  mutable HFSP m_hfs;
};

}  // namespace

std::unique_ptr<ParserSlot> createHfsPlusParser() { return std::make_unique<HfsPlusSlot>(); }

}  // namespace tessary
