// Record-level NTFS helpers: the attribute walk, the update sequence fixup, run lists and names.
#include "fs/ntfs/ntfs_layout.h"

#include <algorithm>
#include <cstring>

namespace tessary::ntfs_detail {

std::vector<AttributeHeaderCopy> walkAttributes(std::span<const std::byte> record) {
  std::vector<AttributeHeaderCopy> out;
  std::size_t at = le16At(record, kRecordFirstAttribute);
  // Every step advances by at least one byte and the walk ends past the record, so it is bounded by
  // the record's size.
  while (at <= record.size()) {
    AttributeHeaderCopy copy;
    copy.offset = static_cast<std::uint32_t>(at);
    const std::size_t available = std::min<std::size_t>(copy.bytes.size(), record.size() - at);
    if (available > 0) std::memcpy(copy.bytes.data(), record.data() + at, available);
    const std::uint32_t type = le32At(copy.bytes, kAttrType);
    const std::uint16_t length = static_cast<std::uint16_t>(le32At(copy.bytes, kAttrLength) & 0xFFFF);
    if (type == kAttrEnd || length == 0) break;
    out.push_back(copy);
    at += length;
  }
  return out;
}

std::size_t fixupStride(std::size_t recordSize, std::size_t usaCount) {
  if (usaCount < 2 || recordSize % (usaCount - 1) != 0) return kFixupStride;
  const std::size_t stride = recordSize / (usaCount - 1);
  return powerOfTwoWithin(stride, 256, kMaxSectorSize) ? stride : kFixupStride;
}

std::size_t ownRecordSize(std::span<const std::byte> header, std::size_t fallback) {
  const std::uint32_t size = le32At(header, kRecordAllocatedSize);
  return powerOfTwoWithin(size, kMinRecordSize, kMaxMftRecordSize) ? size : fallback;
}

std::size_t bootRecordSize(std::span<const std::byte> boot, std::int64_t clusterSize) {
  const auto perRecord = static_cast<std::int8_t>(u8At(boot, kBootClustersPerRecord));
  std::uint64_t bytes = 0;
  if (perRecord < 0) {
    if (perRecord < -31) return 0;
    bytes = std::uint64_t{1} << (-perRecord);
  } else if (perRecord > 0 && clusterSize > 0) {
    bytes = static_cast<std::uint64_t>(perRecord) * static_cast<std::uint64_t>(clusterSize);
  }
  return powerOfTwoWithin(bytes, kMinRecordSize, kMaxMftRecordSize) ? static_cast<std::size_t>(bytes) : 0;
}

void fixupInto(std::span<const std::byte> raw, std::span<const std::byte> header, std::span<std::byte> out) {
  const std::size_t size = std::min(raw.size(), out.size());
  std::memcpy(out.data(), raw.data(), size);
  const std::size_t usa = le16At(header, kRecordUsaOffset);
  const std::size_t count = le16At(header, kRecordUsaCount);
  const std::size_t stride = fixupStride(size, count);
  for (std::size_t k = 1; k < count; ++k) {
    const std::size_t sectorEnd = stride * k - 2;
    if (sectorEnd + 1 >= size || usa >= size) break;
    const std::size_t source = usa + 2 * k;
    // An update sequence array that runs past the record has nothing to give for this stride.
    if (source + 2 > size) break;
    out[sectorEnd] = raw[source];
    out[sectorEnd + 1] = raw[source + 1];
  }
}

std::vector<std::byte> fixupRecord(std::span<const std::byte> raw, std::span<const std::byte> header) {
  std::vector<std::byte> out(raw.size());
  fixupInto(raw, header, out);
  return out;
}

std::vector<Run> decodeRunList(std::span<const std::byte> list, std::uint64_t totalClusters, bool& ended) {
  std::vector<Run> runs;
  ended = false;
  std::uint32_t lcn = 0;
  // The running total is kept wide so that counts cannot wrap it back below the attribute's size.
  std::uint64_t total = 0;
  std::size_t at = 0;
  while (at < list.size()) {
    const std::uint8_t head = std::to_integer<std::uint8_t>(list[at]);
    const std::size_t lengthSize = head & 0x0F;
    if (lengthSize == 0) {
      ended = true;
      return runs;
    }
    const std::size_t offsetSize = head >> 4;
    if (!fits(list.size(), at + 1, lengthSize + offsetSize)) return runs;
    std::uint32_t count = 0;
    for (std::size_t i = 0; i < std::min<std::size_t>(lengthSize, 4); ++i)
      count |= static_cast<std::uint32_t>(std::to_integer<std::uint8_t>(list[at + 1 + i])) << (8 * i);
    const std::size_t deltaAt = at + 1 + lengthSize;
    std::int32_t start = 0;
    if (offsetSize != 0) {
      const std::size_t used = std::min<std::size_t>(offsetSize, 4);
      std::uint32_t raw = 0;
      for (std::size_t i = 0; i < used; ++i)
        raw |= static_cast<std::uint32_t>(std::to_integer<std::uint8_t>(list[deltaAt + i])) << (8 * i);
      // Sign-extend from the highest byte used.
      if (used < 4 && (raw & (0x80u << (8 * (used - 1))))) raw |= 0xFFFFFFFFu << (8 * used);
      lcn += raw;  // the running cluster number wraps as the signed 32-bit value it is
      start = static_cast<std::int32_t>(lcn);
    }
    total += count;
    if (total <= totalClusters) runs.push_back(Run{start, count});
    at += 1 + lengthSize + offsetSize;
  }
  return runs;
}

std::u16string readName(std::span<const std::byte> record, std::size_t at, std::size_t units) {
  std::u16string name;
  name.reserve(units);
  for (std::size_t i = 0; i < units; ++i) {
    const auto unit = le16(record, at + 2 * i);
    if (!unit || *unit == 0) break;
    name.push_back(static_cast<char16_t>(*unit));
  }
  return name;
}

}  // namespace tessary::ntfs_detail
