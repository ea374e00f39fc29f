// Fuzz target for the carving engine: the input's first bytes are signature records (their count in the
// first byte), the rest (up to 1 MiB) is the volume. Every carved item is copied
// through the volume view into a DiscardSink; an item outside the volume is a crash.
#include <cstddef>
#include <cstdint>
#include <algorithm>
#include <cstring>
#include <span>
#include <vector>

#include "controls/xhtml_tree.h"
#include "disk/volume_view.h"
#include "platform/data_sink.h"
#include "platform/page_sink.h"
#include "raw/my_jpg.h"
#include "raw/signature_record.h"

namespace {

constexpr std::int64_t kVolume = 1048576;

// The volume: the input's bytes after the records, then zeros up to kVolume. Nothing is copied.
class InputReader : public tessary::readWriteInterface {
 public:
  explicit InputReader(std::span<const std::uint8_t> bytes) : m_bytes(bytes) {}
  bool open(const std::string&) override { return true; }
  bool seek(std::int64_t offset, std::uint32_t) override {
    m_position = offset;
    return offset >= 0 && offset <= kVolume;
  }
  bool read(void* buffer, std::uint32_t length) override {
    auto* out = static_cast<std::uint8_t*>(buffer);
    std::size_t copied = 0;
    if (m_position >= 0 && m_position < kVolume && static_cast<std::size_t>(m_position) < m_bytes.size()) {
      const auto at = static_cast<std::size_t>(m_position);
      copied = std::min<std::size_t>(length, m_bytes.size() - at);
      std::memcpy(out, m_bytes.data() + at, copied);
    }
    std::memset(out + copied, 0, length - copied);
    if (m_position < 0 || m_position >= kVolume) return false;
    const bool whole = static_cast<std::uint64_t>(kVolume - m_position) >= length;
    m_position += length;
    return whole;
  }

 private:
  std::span<const std::uint8_t> m_bytes;
  std::int64_t m_position = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const std::size_t records = data[0] % 9;
  std::size_t at = 1;
  tessary::myJpg engine;
  for (std::size_t k = 0; k < records && at + tessary::kSignatureRecordSize <= size; ++k) {
    const auto record = tessary::decodeSignatureRecord(tessary::asBytes(data + at, tessary::kSignatureRecordSize));
    engine.appendRecord(*record);
    at += tessary::kSignatureRecordSize;
  }
  const std::size_t volume = std::min<std::size_t>(size - at, static_cast<std::size_t>(kVolume));
  InputReader reader({data + at, volume});
  tessary::CXHtmlTree tree;
  tessary::NullSink sink;
  engine.view = tessary::VolumeView(reader, 0, static_cast<std::uint64_t>(kVolume) / 512);
  engine.sink = &sink;
  engine.tree = &tree;
  engine.volumeLength = static_cast<std::int64_t>(volume);
  engine.scan();
  tessary::DiscardSink out;
  std::vector<std::byte> buffer(65536);
  for (const tessary::FoundItem& item : engine.foundItems()) {
    if (item.offset < 0 || item.size <= 0 || item.offset + item.size > engine.volumeLength) __builtin_trap();
    // The first and the last piece of each item, so that many large items keep a run short.
    for (std::int64_t done : {std::int64_t{0}, std::max<std::int64_t>(item.size - 65536, 0)}) {
      const std::size_t piece = static_cast<std::size_t>(std::min<std::int64_t>(item.size - done, 65536));
      engine.view.read(static_cast<std::uint64_t>(item.offset + done), std::span(buffer.data(), piece));
      out.write(std::span(buffer.data(), piece));
    }
  }
  return 0;
}
