// The ext2/3/4 parser on the results page: its worker and what the page, the save engine and the search ask.
#include <memory>

#include "fs/ext/ext2.h"
#include "platform/files.h"
#include "platform/text.h"
#include "fs/parser_slot.h"

namespace tessary {

namespace {

class ExtSlot : public ParserSlot {
 public:
  StopFlag& stopFlag() override { return m_ext.stopFlag(); }
  bool supportsMode(int mode) const override { return mode == 1; }

  WorkerOutcome runWorker(const ParserLinks& links) override {
    m_ext.setSink(links.sink);
    m_ext.setTree(links.tree, links.topItemText);
    m_ext.setWorkerControl(links.control);
    const std::int64_t sizeMib = decimalValue(links.volume.volumeSizeText);
    m_ext.attachVolume(links.view, sizeMib);
    // The volume's first byte must be reachable and its size known before anything is read.
    if (links.view.reaches(0) && sizeMib != 0 && m_ext.findSuperblock() && m_ext.readGroupDescriptors()) {
      m_ext.readInodeTables();
      m_ext.readDirectories();
      m_ext.buildEntryMap();
      m_ext.linkParentsAndChildren();
      m_ext.fillRootEntries();
      return {"Scanning process completed.", "Processing done..."};
    }
    // Nothing was read: an empty tree here is not an empty volume.
    return {"Scanning process completed.", "No valid ext2/3/4 superblock and group descriptors were found.", true};
  }

  TreeItem topItem() const override { return m_ext.topItem(); }

  bool validItem(std::int64_t data) const override { return m_ext.entry(data) != nullptr; }
  bool isFolder(std::int64_t data) const override {
    const ExtEntry* e = m_ext.entry(data);
    return e && ext2Class::isDirectoryMode(e->mode);
  }
  bool isListedFile(std::int64_t data) const override {
    const ExtEntry* e = m_ext.entry(data);
    return e && ext2Class::isFileMode(e->mode);
  }
  // Folders and files; devices, pipes and sockets have no item.
  std::vector<std::int64_t> children(std::int64_t data) const override {
    std::vector<std::int64_t> shown;
    for (std::int64_t c : m_ext.childEntries(data)) {
      const ExtEntry* e = m_ext.entry(c);
      if (e && e->name && (ext2Class::isDirectoryMode(e->mode) || ext2Class::isFileMode(e->mode))) shown.push_back(c);
    }
    return shown;
  }
  std::string name(std::int64_t data) const override { return m_ext.entryName(data); }
  bool isDeleted(std::int64_t data) const override { return m_ext.isDeleted(data); }

  EntryTexts texts(std::int64_t data) override {
    const ExtEntry* e = m_ext.entry(data);
    if (!e) return {};
    const ExtEntryTexts t = m_ext.describeTimesAndPermissions(*e);
    return {t.creation, t.access, t.modification, ext2Class::describeSize(*e), t.permissions};
  }
  EntryTexts listingTexts(std::int64_t data) override {
    const ExtEntry* e = m_ext.entry(data);
    if (!e) return {};
    const ExtEntryTexts t = m_ext.describeTimesAndPermissions(*e, false);
    return {{}, {}, t.modification, ext2Class::describeSize(*e), t.permissions};
  }
  EntryStamps stamps(std::int64_t data) override {
    EntryStamps s;
    const ExtEntry* e = m_ext.entry(data);
    if (!e) return s;
    s.number = m_ext.inodeNumber(*e);
    const std::optional<ExtInodeStamps> inode = m_ext.inodeStamps(*e);
    if (!inode) return s;
    s.creation = fileTimeFromUnix(inode->ctime);
    s.access = fileTimeFromUnix(inode->atime);
    s.modification = fileTimeFromUnix(inode->mtime);
    s.change = s.creation;
    s.creationIsChange = true;
    s.mode = inode->mode;
    s.uid = inode->uid;
    s.gid = inode->gid;
    return s;
  }
  std::string saveSizeText(std::int64_t data) override {
    const ExtEntry* e = m_ext.entry(data);
    return format("%ld", static_cast<long>(e ? e->size / 1024 : 0)) + " kb";
  }
  std::uint64_t sizeBytes(std::int64_t data) override {
    const ExtEntry* e = m_ext.entry(data);
    return e && ext2Class::isFileMode(e->mode) ? e->size : 0;
  }

  std::int64_t fileCount(std::int64_t folder) const override { return countFilesBelow(*this, folder); }
  // An empty output path is used as it is (the default folder rules).
  std::string writeFile(std::int64_t data, const std::string& folder) override {
    const ExtEntry* e = m_ext.entry(data);
    if (!e || !ext2Class::isFileMode(e->mode)) return {};
    return writeWholeFile(data, folder, m_ext.entryName(data));
  }
  bool writeContent(std::int64_t data, DataSink& sink) override {
    const ExtEntry* e = m_ext.entry(data);
    return e && ext2Class::isFileMode(e->mode) && m_ext.saveFileData(*e, sink);
  }

 private:
  ext2Class m_ext;
};

}  // namespace

std::unique_ptr<ParserSlot> createExtParser() { return std::make_unique<ExtSlot>(); }

}  // namespace tessary
