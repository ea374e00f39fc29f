// What the NTFS parser works with inside: attribute header copies, record views, cluster runs, the data
// descriptor of a record and the state of one LZNT1 compression unit. Private to the parser (and its tests).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace tessary {

// A 64-byte copy of one attribute header and where the attribute starts in its record.
struct AttributeHeaderCopy {
  std::array<std::byte, 64> bytes{};
  std::uint32_t offset = 0;
};

// One record read for interpretation: its header, its offset, its attribute headers in record order,
// and the fixed-up record the headers were taken from.
struct MftRecordView {
  std::array<std::byte, 48> header{};
  std::int64_t recordOffset = 0;
  std::vector<AttributeHeaderCopy> attributes;
  std::vector<std::byte> record;  // as many bytes as the record has
  bool positioned = false;  // false when the record could not be read at all
  bool isFile() const;
};

// A run of clusters: starting cluster (0 marks a sparse run) and cluster count.
struct Run {
  std::int32_t lcn = 0;
  std::uint32_t count = 0;
  bool operator==(const Run&) const = default;
};

// Where a record's file content lives, as getDatStruct finds it.
#pragma pack(push, 1)
struct DatStruct {
  std::uint32_t valueOffset;      // resident: value offset in the record; non-resident: run-list offset
  std::uint32_t valueLength;      // resident: value length; non-resident: attribute length - run-list offset
  std::uint16_t compressionUnit;  // compression unit exponent
  std::int64_t startVcn;
  std::int64_t lastVcn;
  char residence;                 // 'R', 'N' or 0
  const char* dataType;           // "Compressed", "Encrypted", "Normal" or null
  std::int64_t allocatedSize;
  std::int64_t dataSize;
};
#pragma pack(pop)
static_assert(sizeof(DatStruct) == 51, "DatStruct is a packed 51-byte record");

// The state of one LZNT1 compression unit being decompressed.
struct Lznt1State {
  std::byte* output = nullptr;
  const std::byte* input = nullptr;
  std::uint64_t inputLength = 0;
  std::uint64_t outputPosition = 0;
  std::uint64_t capacity = 0;
};
static_assert(sizeof(Lznt1State) == 40, "the LZNT1 state is 40 bytes");

}  // namespace tessary
