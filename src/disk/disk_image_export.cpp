// The disk image export.
#include "disk/disk_image_export.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

#include "platform/files.h"
#include "platform/large_buffer.h"
#include "platform/text.h"

namespace tessary {

namespace {

constexpr std::uint64_t kProgressStep = 10u << 20;
// The unit in which zeros become holes: the host's page, the smallest hole a file system keeps.
constexpr std::size_t kZeroPageBytes = 4096;
constexpr int kMaxNumberedNames = 100000;
constexpr const char* kRecoveredName = "Recovered_diskimg.img";
constexpr const char* kInsufficientSpace = "Insufficient Disk Space in saving Location";

class FileTarget : public ExportTarget {
 public:
  explicit FileTarget(OutputFile& file) : m_file(file) {}
  bool write(std::span<const std::byte> data) override { return m_file.write(data); }
  bool skip(std::uint64_t bytes) override { return m_file.skip(bytes); }
  int error() const override { return m_file.error(); }

 private:
  OutputFile& m_file;
};

// Whether `count` bytes from `p` are all zero; a page of data usually answers at its first bytes.
bool allZero(const std::byte* p, std::size_t count) {
  std::size_t i = 0;
  for (; i + 64 <= count; i += 64) {
    std::uint64_t words[8];
    std::memcpy(words, p + i, sizeof words);
    std::uint64_t any = 0;
    for (std::uint64_t w : words) any |= w;
    if (any != 0) return false;
  }
  for (; i < count; ++i)
    if (p[i] != std::byte{0}) return false;
  return true;
}

// The transfer into the target: each run of pages holding data in one write, each run of zero pages
// (blocks allocated but never written, free space inside a volume) as a hole, which reads back as the
// same zeros. The pages count from the disk's start, as every transfer begins on a page boundary.
bool writeRuns(std::span<const std::byte> data, ExportTarget& target) {
  std::size_t at = 0;
  while (at < data.size()) {
    const std::size_t first = std::min(kZeroPageBytes, data.size() - at);
    const bool zeros = allZero(data.data() + at, first);
    std::size_t end = at + first;
    while (end < data.size()) {
      const std::size_t page = std::min(kZeroPageBytes, data.size() - end);
      if (allZero(data.data() + end, page) != zeros) break;
      end += page;
    }
    if (!(zeros ? target.skip(end - at) : target.write(data.subspan(at, end - at)))) return false;
    at = end;
  }
  return true;
}

// The last folder separator of a host path: '/', and on Windows '\\' too (a full path there has them).
std::size_t lastSeparator(const std::string& path) {
#ifdef _WIN32
  return path.find_last_of("/\\");
#else
  return path.rfind('/');
#endif
}

std::string folderOf(const std::string& path) {
  const std::size_t slash = lastSeparator(path);
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

std::optional<std::string> diskImageTargetPath(const std::string& folder, const std::string& imagePath,
                                               const std::function<bool(const std::string&)>& taken) {
  const std::size_t slash = lastSeparator(imagePath);
  const std::string name = slash == std::string::npos ? std::string(kRecoveredName) : imagePath.substr(slash + 1) + ".img";
  std::string target = folder + name;
  for (int n = 1; taken(target); ++n) {
    if (n > kMaxNumberedNames) return std::nullopt;
    target = folder + format("%d", n) + name;
  }
  return target;
}

ExportOutcome DiskImageExport::run(readWriteInterface& reader, std::uint64_t totalBytes, const std::string& imagePath,
                                   const std::string& target) {
  ExportOutcome outcome;
  auto fail = [&](const std::string& text) {
    m_sink.showMessage(text);
    outcome.message = text;
    return outcome;
  };
  // Creating the target empties it: a target that is the image would destroy what is being read.
  if (sameFile(target, imagePath)) return fail("Disk Image file cannot be created");

  // The space check: the target is made once and removed again, and the free space is measured where it lies.
  {
    OutputFile probe;
    if (!probe.create(target)) return fail("File cannot be Created");
    probe.close();
    const auto free = freeSpaceOf ? freeSpaceOf(folderOf(target)) : freeSpace(folderOf(target));
    removeFile(target);
    if (free && *free < totalBytes) return fail(kInsufficientSpace);
  }
  OutputFile file;
  if (sameFile(target, imagePath) || !file.create(target)) return fail("Disk Image file cannot be created");
  FileTarget out(file);
  outcome = copy(reader, totalBytes, out);
  if (!file.close() && outcome.result == ExportOutcome::Result::Saved) {
    const int code = file.error();
    outcome.result = ExportOutcome::Result::WriteFailed;
    outcome.message = code == ENOSPC ? std::string(kInsufficientSpace) : format("Error %d while writing in File", code);
    m_sink.showMessage(outcome.message);
  }
  m_sink.setStatus("Image Saved, click next to continue recovery proess.");
  return outcome;
}

ExportOutcome DiskImageExport::copy(readWriteInterface& reader, std::uint64_t totalBytes, ExportTarget& target) {
  ExportOutcome outcome;
  outcome.result = ExportOutcome::Result::Saved;
  const std::uint64_t totalSectors = totalBytes / kSectorSize;
  const std::uint64_t totalMib = totalBytes >> 20;
  const double totalGib = static_cast<double>(totalBytes) / static_cast<double>(1u << 30);
  m_sink.progressRange(0, static_cast<std::int64_t>(std::min<std::uint64_t>(totalSectors, INT64_MAX)),
                      ProgressAmount::bytes(static_cast<std::int64_t>(std::min<std::uint64_t>(totalBytes, INT64_MAX))));
  m_sink.progressPosition(0);
  // Page-aligned memory: the host copies from its page cache into a buffer that starts on a page
  // boundary at full speed, and at well under half of it into one that does not (what the heap gives).
  LargeBuffer memory(kExportTransferBytes);
  if (!memory.data()) throw std::bad_alloc();
  const std::span<std::byte> buffer(memory.data(), kExportTransferBytes);
  reader.seek(0);
  std::uint64_t done = 0;
  while (done < totalBytes) {
    const std::uint64_t end = std::min<std::uint64_t>(done + kExportTransferBytes, totalBytes);
    const auto length = static_cast<std::uint32_t>(end - done);
    // A stretch in which no block holds data reads as zeros: it is skipped in the target, not written.
    const std::optional<std::uint64_t> data = reader.nextDataOffset(done);
    bool written = false;
    if (!data || *data >= end) {
      written = target.skip(length);
    } else {
      // The reader fills every byte of the buffer, zeros where it has no data, so it is not cleared first.
      if (!reader.seek(static_cast<std::int64_t>(done)) || !reader.read(buffer.data(), length)) {
        outcome.result = ExportOutcome::Result::ReadFailed;
        outcome.message = format("Error while reading the virtual disk at sector %llu: the image file holds what was read before it",
                                 static_cast<unsigned long long>(done / kSectorSize));
        m_sink.showMessage(outcome.message);
        break;
      }
      written = writeRuns(std::span<const std::byte>(buffer.data(), length), target);
    }
    if (!written) {
      const int code = target.error();
      outcome.result = ExportOutcome::Result::WriteFailed;
      outcome.message = code == ENOSPC ? std::string(kInsufficientSpace) : format("Error %d while writing in File", code);
      m_sink.showMessage(outcome.message);
      break;
    }
    outcome.bytesWritten = end;
    if (m_control.shouldStop() || m_stop.load() != 0) {
      outcome.result = ExportOutcome::Result::Stopped;
      break;
    }
    if (end % kProgressStep == 0) m_sink.progressPosition(static_cast<std::int64_t>(end / kSectorSize));
    m_sink.setStatus(format("%llu MB of %llu MB or %f GB of %f GB Saved", static_cast<unsigned long long>(end >> 20),
                            static_cast<unsigned long long>(totalMib), static_cast<double>(end) / (1u << 30), totalGib));
    done = end;
  }
  // A copy that reached the end shows a full bar, also when the size is not a whole number of steps.
  if (outcome.result == ExportOutcome::Result::Saved) m_sink.progressComplete();
  return outcome;
}

}  // namespace tessary
