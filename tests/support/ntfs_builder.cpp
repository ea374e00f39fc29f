// The NTFS test volume builder and the in-memory disk.
#include "support/ntfs_builder.h"

#include <algorithm>
#include <cstring>

namespace tessary::test {

namespace {

void put16(ByteVector& b, std::size_t at, std::uint16_t v) {
  if (b.size() < at + 2) b.resize(at + 2);
  for (int i = 0; i < 2; ++i) b[at + i] = static_cast<std::byte>(v >> (8 * i));
}
void put32(ByteVector& b, std::size_t at, std::uint32_t v) {
  if (b.size() < at + 4) b.resize(at + 4);
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<std::byte>(v >> (8 * i));
}
void put64(ByteVector& b, std::size_t at, std::uint64_t v) {
  if (b.size() < at + 8) b.resize(at + 8);
  for (int i = 0; i < 8; ++i) b[at + i] = static_cast<std::byte>(v >> (8 * i));
}
void putName(ByteVector& b, std::size_t at, const std::u16string& name) {
  for (std::size_t i = 0; i < name.size(); ++i) put16(b, at + 2 * i, static_cast<std::uint16_t>(name[i]));
}
std::size_t align8(std::size_t n) { return (n + 7) / 8 * 8; }

}  // namespace

ByteVector bytesOf(const std::string& text) {
  ByteVector out(text.size());
  std::memcpy(out.data(), text.data(), text.size());
  return out;
}

bool MemoryDisk::seek(std::int64_t offset, std::uint32_t) {
  ++seeks;
  const std::int64_t at = offset + baseOffset;
  if (at < 0 || static_cast<std::uint64_t>(at) >= m_bytes.size()) return false;
  m_position = at;
  return true;
}

bool MemoryDisk::read(void* buffer, std::uint32_t length) {
  ++reads;
  auto* out = static_cast<std::byte*>(buffer);
  std::memset(out, 0, length);
  if (m_position < 0 || static_cast<std::uint64_t>(m_position) >= m_bytes.size()) return false;
  const std::size_t available = std::min<std::size_t>(length, m_bytes.size() - static_cast<std::size_t>(m_position));
  std::memcpy(out, m_bytes.data() + m_position, available);
  m_position += length;
  return available == length;
}

ByteVector encodeRuns(const std::vector<BuildRun>& runs) {
  ByteVector out;
  std::int64_t previous = 0;
  auto bytesFor = [](std::int64_t v, bool isSigned) {
    std::size_t n = 1;
    while (n < 8) {
      const std::int64_t lo = isSigned ? -(std::int64_t{1} << (8 * n - 1)) : 0;
      const std::int64_t hi = isSigned ? (std::int64_t{1} << (8 * n - 1)) - 1 : (std::int64_t{1} << (8 * n)) - 1;
      if (v >= lo && v <= hi) break;
      ++n;
    }
    return n;
  };
  for (const BuildRun& run : runs) {
    const std::size_t lengthSize = bytesFor(static_cast<std::int64_t>(run.count), false);
    std::size_t offsetSize = 0;
    std::int64_t delta = 0;
    if (run.lcn != 0) {
      delta = run.lcn - previous;
      offsetSize = bytesFor(delta, true);
      previous = run.lcn;
    }
    out.push_back(static_cast<std::byte>((offsetSize << 4) | lengthSize));
    for (std::size_t i = 0; i < lengthSize; ++i) out.push_back(static_cast<std::byte>(run.count >> (8 * i)));
    for (std::size_t i = 0; i < offsetSize; ++i)
      out.push_back(static_cast<std::byte>(static_cast<std::uint64_t>(delta) >> (8 * i)));
  }
  out.push_back(std::byte{0});
  return out;
}

ByteVector encodeAttributeList(const std::vector<BuildListEntry>& entries) {
  ByteVector out;
  for (const BuildListEntry& e : entries) {
    const std::size_t at = out.size();
    const std::size_t length = align8(0x1A + 2 * e.name.size());
    out.resize(at + length);
    put32(out, at + 0, e.type);
    put16(out, at + 4, static_cast<std::uint16_t>(length));
    out[at + 6] = static_cast<std::byte>(e.name.size());
    out[at + 7] = std::byte{0x1A};
    put64(out, at + 8, static_cast<std::uint64_t>(e.startVcn));
    put64(out, at + 0x10, e.record);
    putName(out, at + 0x1A, e.name);
  }
  return out;
}

RecordBuilder& RecordBuilder::inUse(bool on) {
  m_flags = static_cast<std::uint16_t>(on ? (m_flags | 1) : (m_flags & ~1));
  return *this;
}
RecordBuilder& RecordBuilder::directoryHeaderBit(bool on) {
  m_flags = static_cast<std::uint16_t>(on ? (m_flags | 2) : (m_flags & ~2));
  return *this;
}
RecordBuilder& RecordBuilder::baseRecord(std::uint64_t reference) {
  m_base = reference;
  return *this;
}
RecordBuilder& RecordBuilder::recordNumber(std::uint32_t number) {
  m_number = number;
  return *this;
}
RecordBuilder& RecordBuilder::firstAttributeOffset(std::uint16_t offset) {
  m_firstAttribute = offset;
  return *this;
}
RecordBuilder& RecordBuilder::updateSequence(std::uint16_t offset, std::uint16_t count) {
  m_usaOffset = offset;
  m_usaCount = count;
  return *this;
}

RecordBuilder& RecordBuilder::residentAttribute(std::uint32_t type, const ByteVector& value, const std::u16string& name) {
  const std::size_t nameAt = 0x18;
  const std::size_t valueAt = align8(nameAt + 2 * name.size());
  ByteVector a(align8(valueAt + value.size()));
  put32(a, 0, type);
  put32(a, 4, static_cast<std::uint32_t>(a.size()));
  a[8] = std::byte{0};
  a[9] = static_cast<std::byte>(name.size());
  put16(a, 0x0A, static_cast<std::uint16_t>(nameAt));
  put32(a, 0x10, static_cast<std::uint32_t>(value.size()));
  put16(a, 0x14, static_cast<std::uint16_t>(valueAt));
  putName(a, nameAt, name);
  std::copy(value.begin(), value.end(), a.begin() + static_cast<std::ptrdiff_t>(valueAt));
  m_attributes.push_back(a);
  return *this;
}

RecordBuilder& RecordBuilder::standardInformation(std::uint64_t created, std::uint64_t modified, std::uint64_t accessed) {
  ByteVector v(48);
  put64(v, 0, created);
  put64(v, 8, modified);
  put64(v, 0x10, modified);
  put64(v, 0x18, accessed);
  return residentAttribute(0x10, v);
}

RecordBuilder& RecordBuilder::fileName(std::uint64_t parent, const std::u16string& name, std::uint32_t flags,
                                       std::optional<std::uint8_t> nameLength, std::int64_t allocated) {
  ByteVector v(0x42 + 2 * name.size());
  put64(v, 0, parent | (std::uint64_t{1} << 48));
  put64(v, 0x28, static_cast<std::uint64_t>(allocated));
  put32(v, 0x38, flags);
  v[0x40] = static_cast<std::byte>(nameLength.value_or(static_cast<std::uint8_t>(name.size())));
  v[0x41] = std::byte{1};
  putName(v, 0x42, name);
  return residentAttribute(0x30, v);
}

RecordBuilder& RecordBuilder::dosName(std::uint64_t parent, const std::u16string& name) {
  ByteVector v(0x42 + 2 * name.size());
  put64(v, 0, parent | (std::uint64_t{1} << 48));
  put32(v, 0x38, 0x20);
  v[0x40] = static_cast<std::byte>(name.size());
  v[0x41] = std::byte{2};
  putName(v, 0x42, name);
  return residentAttribute(0x30, v);
}

RecordBuilder& RecordBuilder::residentData(const ByteVector& value, const std::u16string& name) {
  return residentAttribute(0x80, value, name);
}

RecordBuilder& RecordBuilder::nonResident(std::uint32_t type, const ByteVector& runList, std::int64_t startVcn,
                                          std::int64_t lastVcn, std::int64_t dataSize, std::uint16_t flags,
                                          std::uint16_t compressionUnit, const std::u16string& name) {
  const std::size_t nameAt = 0x40;
  const std::size_t listAt = align8(nameAt + 2 * name.size());
  ByteVector a(align8(listAt + runList.size()));
  put32(a, 0, type);
  put32(a, 4, static_cast<std::uint32_t>(a.size()));
  a[8] = std::byte{1};
  a[9] = static_cast<std::byte>(name.size());
  put16(a, 0x0A, static_cast<std::uint16_t>(nameAt));
  put16(a, 0x0C, flags);
  put64(a, 0x10, static_cast<std::uint64_t>(startVcn));
  put64(a, 0x18, static_cast<std::uint64_t>(lastVcn));
  put16(a, 0x20, static_cast<std::uint16_t>(listAt));
  put16(a, 0x22, compressionUnit);
  put64(a, 0x28, static_cast<std::uint64_t>((lastVcn - startVcn + 1) * 4096));
  put64(a, 0x30, static_cast<std::uint64_t>(dataSize));
  put64(a, 0x38, static_cast<std::uint64_t>(dataSize));
  putName(a, nameAt, name);
  std::copy(runList.begin(), runList.end(), a.begin() + static_cast<std::ptrdiff_t>(listAt));
  m_attributes.push_back(a);
  return *this;
}

RecordBuilder& RecordBuilder::raw(const ByteVector& attribute) {
  m_attributes.push_back(attribute);
  return *this;
}

ByteVector RecordBuilder::build() const {
  ByteVector r(1024);
  std::memcpy(r.data(), "FILE", 4);
  put16(r, 4, m_usaOffset);
  put16(r, 6, m_usaCount);
  put16(r, 0x10, 1);  // sequence number
  put16(r, 0x12, 1);  // link count
  const std::uint16_t first = m_firstAttribute.value_or(0x38);
  put16(r, 0x14, first);
  put16(r, 0x16, m_flags);
  put32(r, 0x1C, 1024);
  put64(r, 0x20, m_base);
  put32(r, 0x2C, m_number);
  std::size_t at = 0x38;
  for (const ByteVector& a : m_attributes) {
    for (std::size_t i = 0; i < a.size() && at + i < r.size(); ++i) r[at + i] = a[i];
    at += a.size();
  }
  if (at + 8 <= r.size()) put32(r, at, 0xFFFFFFFF);
  put32(r, 0x18, static_cast<std::uint32_t>(std::min<std::size_t>(at + 8, 1024)));
  // The update sequence: the real sector-end bytes go into the array, the sequence number onto the ends.
  if (m_usaOffset + 2 * 3 <= 0x38 && m_usaCount == 3) {
    const std::uint16_t sequence = 0x0A0B;
    put16(r, m_usaOffset, sequence);
    for (int k = 1; k <= 2; ++k) {
      const std::size_t end = 512 * static_cast<std::size_t>(k) - 2;
      r[m_usaOffset + 2 * k] = r[end];
      r[m_usaOffset + 2 * k + 1] = r[end + 1];
      put16(r, end, sequence);
    }
  }
  return r;
}

ByteVector NtfsVolumeBuilder::build() const {
  const std::uint64_t cs = clusterSize();
  ByteVector v(static_cast<std::size_t>(clusters * cs));
  if (!zeroBootSector) {
    std::memcpy(v.data() + 3, "NTFS    ", 8);
    put16(v, 0x0B, bytesPerSector);
    v[0x0D] = static_cast<std::byte>(sectorsPerCluster);
    put64(v, 0x28, static_cast<std::uint64_t>(totalSectors.value_or(static_cast<std::int64_t>(clusters * cs / 512) - 1)));
    put64(v, 0x30, static_cast<std::uint64_t>(mftCluster));
    v[510] = std::byte{0x55};
    v[511] = std::byte{0xAA};
  }
  const std::uint64_t mftClusters = (static_cast<std::uint64_t>(mftRecords) * 1024 + cs - 1) / cs;
  std::map<std::uint32_t, ByteVector> records = m_records;
  if (!records.count(0)) {
    const ByteVector runs = mftRunList.value_or(encodeRuns({{mftCluster, mftClusters}}));
    records[0] = RecordBuilder()
                     .standardInformation(0, 0, 0)
                     .fileName(5, u"$MFT", 0x06)
                     .nonResident(0x80, runs, 0, mftLastVcn.value_or(static_cast<std::int64_t>(mftClusters) - 1),
                                  static_cast<std::int64_t>(mftRecords) * 1024)
                     .build();
  }
  if (!records.count(5))
    records[5] = RecordBuilder().directoryHeaderBit(true).standardInformation(0, 0, 0).fileName(5, u".", 0x10000006).build();
  for (const auto& [number, bytes] : records) {
    const std::uint64_t at = static_cast<std::uint64_t>(mftCluster) * cs + static_cast<std::uint64_t>(number) * 1024;
    if (number >= mftRecords || at + 1024 > v.size()) continue;
    std::copy(bytes.begin(), bytes.begin() + std::min<std::size_t>(1024, bytes.size()), v.begin() + static_cast<std::ptrdiff_t>(at));
  }
  for (const auto& [number, bytes] : m_clusters) {
    const std::uint64_t at = number * cs;
    if (at >= v.size()) continue;
    const std::size_t n = std::min<std::size_t>(bytes.size(), v.size() - static_cast<std::size_t>(at));
    std::copy(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(n), v.begin() + static_cast<std::ptrdiff_t>(at));
  }
  return v;
}

}  // namespace tessary::test
