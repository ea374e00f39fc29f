// Reads of one volume through the disk reader, relative to the volume's first byte.
#include "disk/volume_view.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <mutex>

#include "platform/bytes.h"
#include "platform/data_sink.h"

namespace tessary {

namespace {
constexpr std::uint64_t kMaxOffset = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
}

VolumeView::VolumeView(readWriteInterface& reader, std::uint64_t startSector, std::uint64_t diskSectors)
    : m_reader(&reader),
      m_startSector(std::min<std::uint64_t>(startSector, kMaxOffset / kSectorSize)),
      m_diskSectors(diskSectors) {}

VolumeView VolumeView::ofListedVolume(readWriteInterface& reader, const DiskContext& disk, std::int64_t startSector) {
  const std::uint64_t units = logicalSectorBytes(disk) / kSectorSize;
  const auto start = static_cast<std::uint64_t>(std::max<std::int64_t>(startSector, 0));
  // A start beyond what an offset can name is clamped by the constructor, and reads there fail.
  return VolumeView(reader, checkedMul(start, units).value_or(UINT64_MAX), disk.diskSectorCount);
}

std::uint64_t VolumeView::bytesToDiskEnd() const {
  if (m_diskSectors == 0) return std::numeric_limits<std::uint64_t>::max();
  if (m_startSector >= m_diskSectors) return 0;
  const std::uint64_t sectors = m_diskSectors - m_startSector;
  return sectors > kMaxOffset / kSectorSize ? kMaxOffset : sectors * kSectorSize;
}

VolumeView::Outcome VolumeView::readDetailed(std::uint64_t offset, std::span<std::byte> out) const {
  Outcome outcome;
  const std::uint64_t start = startByte();
  // A read the reader never gets is zeros; one it gets fills every byte (zeros for what it has not).
  if (!m_reader || offset > kMaxOffset - start || out.size() > kMaxOffset - start - offset) {
    if (!out.empty()) std::memset(out.data(), 0, out.size());
    return outcome;
  }
  // The reader keeps its position in the object: a seek and its read are one step.
  std::lock_guard<std::mutex> lock(m_reader->ioMutex);
  // Views carry the volume's origin themselves; the reader's own base stays where the disk starts.
  const auto absolute = static_cast<std::int64_t>(start + offset) - m_reader->baseOffset;
  if (!m_reader->seek(absolute, 0)) {
    if (!out.empty()) std::memset(out.data(), 0, out.size());
    return outcome;
  }
  outcome.positioned = true;
  outcome.complete = m_reader->readSpan(out);
  return outcome;
}

std::uint64_t VolumeView::copyTo(DataSink& sink, std::uint64_t offset, std::uint64_t bytes) const {
  const std::uint64_t start = startByte();
  if (!m_reader || offset > kMaxOffset - start || bytes > kMaxOffset - start - offset) return 0;
  std::uint64_t done = 0;
  while (done < bytes) {
    std::optional<readWriteInterface::HostStretch> stretch;
    {
      std::lock_guard<std::mutex> lock(m_reader->ioMutex);
      stretch = m_reader->hostStretch(start + offset + done, bytes - done);
    }
    if (!stretch || !stretch->file || stretch->bytes == 0) break;
    const std::uint64_t wanted = std::min(stretch->bytes, bytes - done);
    const std::uint64_t copied = sink.copyFrom(*stretch->file, stretch->position, wanted);
    done += copied;
    if (copied < wanted) break;
  }
  return done;
}

bool VolumeView::reaches(std::uint64_t offset) const {
  if (!m_reader) return false;
  const std::uint64_t start = startByte();
  if (offset > kMaxOffset - start) return false;
  std::lock_guard<std::mutex> lock(m_reader->ioMutex);
  return m_reader->seek(static_cast<std::int64_t>(start + offset) - m_reader->baseOffset, 0);
}

std::optional<std::uint64_t> VolumeView::nextData(std::uint64_t offset) const {
  if (!m_reader) return std::nullopt;
  const std::uint64_t start = startByte();
  if (offset > kMaxOffset - start) return std::nullopt;
  const std::uint64_t end = bytesToDiskEnd();
  if (offset >= end) return std::nullopt;
  const std::optional<std::uint64_t> absolute = m_reader->nextDataOffset(start + offset);
  if (!absolute || *absolute < start) return std::nullopt;
  const std::uint64_t relative = std::max(*absolute - start, offset);
  if (relative >= end) return std::nullopt;
  return relative;
}

}  // namespace tessary
