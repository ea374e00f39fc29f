// NTFS file data: the run lists of a record, its data descriptor and attribute list, LZNT1 compression
// units, and the writer that puts one entry's content and times into a sink or a host file. The top of
// the parser's units: what the public `ntfs` drives. Private to the parser (and its tests).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "fs/ntfs/ntfs_deep.h"
#include "platform/files.h"

namespace tessary::ntfs_detail {

class DataWriter : public DeepScan {
 public:
  std::vector<Run> getRun2(std::int64_t recordOffset, std::uint32_t attributeType) override;
  std::vector<std::uint32_t> getRun(std::int64_t recordOffset);
  // The record view of an entry, noting whether its data is listed in an attribute list.
  MftRecordView getMftEntry(std::int64_t entryIndex);
  DatStruct getDatStruct(const MftRecordView& view);
  void setAttributListVector(const MftRecordView& view);
  void AttributeListDataToFile(const DatStruct& desc2);
  void dumpEntry(const std::string& indexText);
  // The entry's content and times into any sink (dumpEntry's writer); false when the sink refused bytes.
  bool writeEntryData(std::int64_t index, DataSink& sink);
  std::uint64_t entryDataSize(std::int64_t index) override;

  // LZNT1, one compression unit at a time (capacity = unit clusters x cluster size).
  bool ntfs_uncompress_setup(Lznt1State& state, std::uint16_t unitClusters, std::span<const std::byte> input,
                             std::span<std::byte> output) const;
  static void ntfs_uncompress_reset(Lznt1State& state);
  static void ntfs_uncompress_compunit(Lznt1State& state);

  // The dump's output folder text: set before each dump; a dump leaves the full output path in it.
  std::string outputFolder;

  const std::vector<std::uint64_t>& extensionList() const { return m_extensionList; }
  std::uint32_t totalClusterCount() const { return m_totalClusterCount; }
  bool hasOwnData() const { return m_hasOwnData; }
  bool dataInAttributeList() const { return m_dataInAttributeList; }
  // What the last dump did: the file it wrote (empty when none was created) and its byte count.
  const std::string& lastDumpPath() const { return m_lastDumpPath; }
  std::uint64_t lastDumpWritten() const { return m_lastDumpWritten; }

 private:
  struct DataPiece;
  class Writer;

  std::vector<Run> runsOf(const MftRecordView& view, std::uint32_t attributeType,
                          std::optional<std::int64_t> startVcn = std::nullopt);
  DataPiece dataPiece(const MftRecordView& view);
  std::uint64_t sizeOf(const MftRecordView& view);
  void writePlain(Writer& writer, const std::vector<Run>& runs);
  void writeCompressed(Writer& writer, const std::vector<Run>& runs, std::uint16_t unitClusters);
  bool readClusters(std::int64_t lcn, std::uint64_t count, std::span<std::byte> out);

  // File data state of the dump being made.
  bool m_hasOwnData = false;
  bool m_dataInAttributeList = false;
  std::uint32_t m_totalClusterCount = 0;
  std::vector<std::uint64_t> m_extensionList;
  std::vector<std::int64_t> m_extensionVcns;
  std::vector<Run> m_combinedRuns;
  std::string m_lastDumpPath;
  std::uint64_t m_lastDumpWritten = 0;
  DataSink* m_output = nullptr;
  bool m_writeFailed = false;
  std::vector<std::byte> m_scratch;
};

}  // namespace tessary::ntfs_detail
