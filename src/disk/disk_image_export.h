// The disk image export: the whole virtual disk, as its block table shows it, copied into a flat image
// file in 5 MiB transfers, after a check that the target has room for all of it.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>

#include "disk/read_write_interface.h"
#include "platform/page_sink.h"
#include "platform/worker.h"

namespace tessary {

constexpr std::uint32_t kExportTransferBytes = 5u << 20;

// Where the copy goes: bytes written in order, or skipped (a stretch that reads as zeros).
class ExportTarget {
 public:
  virtual ~ExportTarget() = default;
  virtual bool write(std::span<const std::byte> data) = 0;
  virtual bool skip(std::uint64_t bytes) = 0;
  // The host's error of the failed write (ENOSPC when the disk is full).
  virtual int error() const = 0;
};

// The target's file for an image: folder + the image's file name + ".img", or folder +
// "Recovered_diskimg.img" when the path has no folder; while that name is taken, the same with 1, 2, 3...
// in front of the name. `folder` ends in '/'. None when every number up to a bound is taken.
std::optional<std::string> diskImageTargetPath(const std::string& folder, const std::string& imagePath,
                                               const std::function<bool(const std::string&)>& taken);

struct ExportOutcome {
  enum class Result { NotStarted, Saved, Stopped, ReadFailed, WriteFailed };
  Result result = Result::NotStarted;
  std::uint64_t bytesWritten = 0;
  // The message the failure showed, empty when none did.
  std::string message;
};

class DiskImageExport {
 public:
  DiskImageExport(PageSink& sink, const StopFlag& stop, const WorkerControl& control)
      : m_sink(sink), m_stop(stop), m_control(control) {}

  // The space check, the target's creation and the copy (every status and message on the way). The
  // target is never the image itself.
  ExportOutcome run(readWriteInterface& reader, std::uint64_t totalBytes, const std::string& imagePath,
                    const std::string& target);
  // The copy loop alone, from the disk's first byte.
  ExportOutcome copy(readWriteInterface& reader, std::uint64_t totalBytes, ExportTarget& target);

  // Free bytes where the target goes; replaceable to try a full disk.
  std::function<std::optional<std::uint64_t>(const std::string& folder)> freeSpaceOf;

 private:
  PageSink& m_sink;
  const StopFlag& m_stop;
  WorkerControl m_control;
};

}  // namespace tessary
