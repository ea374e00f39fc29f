// The NTFS parser's public face: each call goes to the unit that does the work.
#include "fs/ntfs/ntfs.h"

#include "fs/ntfs/ntfs_data.h"

namespace tessary {

ntfs::ntfs() : m_parser(std::make_unique<ntfs_detail::DataWriter>()) {}
ntfs::~ntfs() = default;

void ntfs::setVolume(const VolumeEntry& volume) { m_parser->setVolume(volume); }
void ntfs::setTree(CXHtmlTree* tree, std::string topItemText, TreeIcon topItemIcon) {
  m_parser->setTree(tree, std::move(topItemText), topItemIcon);
}
void ntfs::setSink(PageSink* sink) { m_parser->setSink(sink); }
void ntfs::setWorkerControl(std::optional<WorkerControl> control) { m_parser->setWorkerControl(control); }
void ntfs::setMode(int mode) { m_parser->setMode(mode); }
int ntfs::mode() const { return m_parser->mode(); }
StopFlag& ntfs::stopFlag() { return m_parser->stopFlag(); }
TreeItem ntfs::topItem() const { return m_parser->topItem(); }

void ntfs::attachVolume(const VolumeView& view) { m_parser->attachVolume(view); }
void ntfs::attachVolume(readWriteInterface* reader) { m_parser->attachVolume(reader); }

void ntfs::readBootSector() { m_parser->readBootSector(); }
void ntfs::locateMft() { m_parser->locateMft(); }
void ntfs::collectMftRecords() { m_parser->collectMftRecords(); }
void ntfs::parseAllEntries() { m_parser->parseAllEntries(); }
int ntfs::searchMftCandidates(int maximum) { return m_parser->searchMftCandidates(maximum); }
const std::vector<MftEntry>& ntfs::mftCandidates() const { return m_parser->mftCandidates(); }
bool ntfs::selectMftCandidate(int number) { return m_parser->selectMftCandidate(number); }
std::string ntfs::noMftRunStatus(int number) { return ntfs_detail::DeepScan::noMftRunStatus(number); }
void ntfs::emptyTable() { m_parser->emptyTable(); }
void ntfs::deepScan() { m_parser->deepScan(); }

const std::vector<MftEntry>& ntfs::entries() const { return m_parser->entries(); }
std::int64_t ntfs::entryCount() const { return m_parser->entryCount(); }
bool ntfs::isEntry(std::int64_t index) const { return m_parser->isEntry(index); }
std::string ntfs::entryName(std::int64_t index) const { return m_parser->entryName(index); }
std::u16string ntfs::entryNameUtf16(std::int64_t index) const { return m_parser->entryNameUtf16(index); }
bool ntfs::isFolder(std::int64_t index) const { return m_parser->isFolder(index); }
bool ntfs::isDeleted(std::int64_t index) const { return m_parser->isDeleted(index); }
std::vector<std::int64_t> ntfs::childEntries(std::int64_t index) const { return m_parser->childEntries(index); }
std::int64_t ntfs::rootIndex() const { return m_parser->rootIndex(); }
std::int64_t ntfs::orphanIndex() const { return m_parser->orphanIndex(); }
void ntfs::renameEntry(std::int64_t index, const std::u16string& name) { m_parser->renameEntry(index, name); }
void ntfs::renameEntry(std::int64_t index, const std::string& utf8Name) { m_parser->renameEntry(index, utf8Name); }
NtfsFileTimes ntfs::getFileTimeStructure(std::int64_t recordOffset) {
  return m_parser->getFileTimeStructure(recordOffset);
}
EntryTimeTexts ntfs::formatEntryTimes(const MftEntry& entry) { return m_parser->formatEntryTimes(entry); }
std::string ntfs::formatEntrySize(std::int64_t entryIndex) { return m_parser->formatEntrySize(entryIndex); }
std::uint64_t ntfs::entryDataSize(std::int64_t index) { return m_parser->entryDataSize(index); }

std::int64_t ntfs::clusterSize() const { return m_parser->clusterSize(); }
void ntfs::setClusterSize(std::int64_t bytes) { m_parser->setClusterSize(bytes); }
std::int64_t ntfs::volumeSize() const { return m_parser->volumeSize(); }
std::int64_t ntfs::bytesPerSector() const { return m_parser->bytesPerSector(); }
std::size_t ntfs::recordSize() const { return m_parser->recordSize(); }
const std::vector<Run>& ntfs::runList() const { return m_parser->runList(); }
bool ntfs::mftRunKnown() const { return m_parser->mftRunKnown(); }
std::uint64_t ntfs::refusedParts() const { return m_parser->refusedParts(); }

void ntfs::setOutputFolder(std::string folder) { m_parser->outputFolder = std::move(folder); }
const std::string& ntfs::outputFolder() const { return m_parser->outputFolder; }
void ntfs::dumpEntry(const std::string& indexText) { m_parser->dumpEntry(indexText); }
bool ntfs::writeEntryData(std::int64_t index, DataSink& sink) { return m_parser->writeEntryData(index, sink); }
const std::string& ntfs::lastDumpPath() const { return m_parser->lastDumpPath(); }
std::uint64_t ntfs::lastDumpWritten() const { return m_parser->lastDumpWritten(); }

}  // namespace tessary
