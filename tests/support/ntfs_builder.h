// Test volume builder for NTFS: boot sector, MFT records and clusters written byte by byte, for the damaged
// and hostile layouts that real tools never write, and an in-memory disk reader to parse them from.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "disk/read_write_interface.h"

namespace tessary::test {

using ByteVector = std::vector<std::byte>;

// A disk held in memory. Positions outside it fail; reads past its end deliver zeros and fail.
class MemoryDisk : public readWriteInterface {
 public:
  explicit MemoryDisk(ByteVector bytes) : m_bytes(std::move(bytes)) {}
  bool open(const std::string&) override { return true; }
  bool seek(std::int64_t offset, std::uint32_t origin = 0) override;
  bool read(void* buffer, std::uint32_t length) override;
  ByteVector& bytes() { return m_bytes; }
  std::uint64_t reads = 0;
  std::uint64_t seeks = 0;

 private:
  ByteVector m_bytes;
  std::int64_t m_position = 0;
};

// A run of the run-list encoder: absolute starting cluster (0 for a sparse run) and count.
struct BuildRun {
  std::int64_t lcn;
  std::uint64_t count;
};
// The run list bytes for absolute runs (the encoder writes the deltas), with the terminating 0.
ByteVector encodeRuns(const std::vector<BuildRun>& runs);

// One attribute-list entry.
struct BuildListEntry {
  BuildListEntry(std::uint32_t t, std::uint64_t r, std::int64_t vcn = 0, std::u16string n = {})
      : type(t), record(r), startVcn(vcn), name(std::move(n)) {}
  std::uint32_t type;
  std::uint64_t record;
  std::int64_t startVcn;
  std::u16string name;
};
ByteVector encodeAttributeList(const std::vector<BuildListEntry>& entries);

class RecordBuilder {
 public:
  RecordBuilder& inUse(bool on);
  RecordBuilder& directoryHeaderBit(bool on);
  RecordBuilder& baseRecord(std::uint64_t reference);
  RecordBuilder& recordNumber(std::uint32_t number);
  RecordBuilder& standardInformation(std::uint64_t created, std::uint64_t modified, std::uint64_t accessed);
  // $FILE_NAME: parent reference (low 48 bits), name, flags (0x10000000 marks a directory);
  // nameLength overrides the length byte.
  RecordBuilder& fileName(std::uint64_t parent, const std::u16string& name, std::uint32_t flags = 0x20,
                          std::optional<std::uint8_t> nameLength = std::nullopt, std::int64_t allocated = 0);
  // A DOS-only (8.3) $FILE_NAME, the short partner of a long name.
  RecordBuilder& dosName(std::uint64_t parent, const std::u16string& name);
  RecordBuilder& residentData(const ByteVector& value, const std::u16string& name = u"");
  RecordBuilder& nonResident(std::uint32_t type, const ByteVector& runList, std::int64_t startVcn, std::int64_t lastVcn,
                             std::int64_t dataSize, std::uint16_t flags = 0, std::uint16_t compressionUnit = 0,
                             const std::u16string& name = u"");
  RecordBuilder& residentAttribute(std::uint32_t type, const ByteVector& value, const std::u16string& name = u"");
  // An attribute as raw bytes (length field and all are the caller's).
  RecordBuilder& raw(const ByteVector& attribute);
  RecordBuilder& firstAttributeOffset(std::uint16_t offset);
  RecordBuilder& updateSequence(std::uint16_t offset, std::uint16_t count);
  // Build the record with the update sequence applied (the sector ends carry the sequence number).
  ByteVector build() const;

 private:
  std::uint16_t m_flags = 1;
  std::uint64_t m_base = 0;
  std::uint32_t m_number = 0;
  std::optional<std::uint16_t> m_firstAttribute;
  std::uint16_t m_usaOffset = 0x30;
  std::uint16_t m_usaCount = 3;
  std::vector<ByteVector> m_attributes;
};

// A volume: boot sector, an MFT of `mftRecords` records at `mftCluster`, records and cluster contents.
class NtfsVolumeBuilder {
 public:
  std::uint16_t bytesPerSector = 512;
  std::uint8_t sectorsPerCluster = 8;
  std::uint64_t clusters = 256;
  std::int64_t mftCluster = 16;
  std::uint32_t mftRecords = 32;
  bool zeroBootSector = false;
  // Overrides of the boot sector's fields.
  std::optional<std::int64_t> totalSectors;
  // The $MFT record's run list; by default one run over the MFT's clusters.
  std::optional<ByteVector> mftRunList;
  std::optional<std::int64_t> mftLastVcn;

  std::uint32_t clusterSize() const { return static_cast<std::uint32_t>(bytesPerSector) * sectorsPerCluster; }
  // Records 0 ($MFT) and 5 (the root ".") are made unless given.
  void record(std::uint32_t number, const ByteVector& bytes) { m_records[number] = bytes; }
  void cluster(std::uint64_t number, const ByteVector& bytes) { m_clusters[number] = bytes; }
  ByteVector build() const;

 private:
  std::map<std::uint32_t, ByteVector> m_records;
  std::map<std::uint64_t, ByteVector> m_clusters;
};

ByteVector bytesOf(const std::string& text);

}  // namespace tessary::test
