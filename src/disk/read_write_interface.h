// The disk reader interface: a virtual disk as a flat run of 512-byte sectors, and the process-wide
// values that the readers share with the pages.
#pragma once

#include <cstddef>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace tessary {

class ImageFile;
class PageSink;

constexpr std::uint32_t kSectorSize = 512;

// The values a reader shares with the pages: the disk's size and the user's corrections on the image page.
struct DiskContext {
  // Size of the virtual disk in 512-byte sectors, 0 when unknown; set by a reader's open.
  std::uint64_t diskSectorCount = 0;
  // What the user confirmed or typed on the image page; 0 means no value was given.
  std::uint64_t userDiskSize = 0;
  std::uint32_t userBlockSize = 0;
  std::uint32_t userLogicalSectorSize = 0;
  // The logical sector size the image's own metadata states (VHDX), set by a reader's open; 0 when the
  // format states none.
  std::uint32_t imageLogicalSectorSize = 0;
  // Where a reader's message boxes go; none shows nothing.
  PageSink* messages = nullptr;
  // Images the user named as parents (the image's parent first, then its parent, and so on); they are
  // read even when their identity differs from what the child records.
  std::vector<std::string> namedParents;
};

// The disk's logical sector size in bytes, in which its partition tables and the volume list count: the
// user's value, else the image's, else 512. Only a size a disk can have (a power of two from 512 to 4096)
// is taken.
std::uint32_t logicalSectorBytes(const DiskContext& context);

class readWriteInterface {
 public:
  virtual ~readWriteInterface() = default;

  // Opens the image; true when the reader is ready.
  virtual bool open(const std::string& path) = 0;
  // Fills `length` bytes from the current offset, in whole sectors (zeros where a block has no data).
  // Every byte is filled also when the read fails: zeros for whatever could not be read.
  virtual bool read(void* buffer, std::uint32_t length) {
    (void)buffer;
    (void)length;
    return true;
  }
  // Positions the reader at `offset` bytes past `baseOffset`; every caller passes origin 0.
  virtual bool seek(std::int64_t offset, std::uint32_t origin = 0) {
    (void)offset;
    (void)origin;
    return true;
  }
  virtual bool reserved() { return true; }

  // The first absolute byte offset at or after `offset` whose block may hold data, or none when no block
  // from there to the end of the disk does. Blocks without data read as zeros, so whole-disk and
  // whole-volume scans skip to the offset returned. A reader without a block map says every offset may.
  virtual std::optional<std::uint64_t> nextDataOffset(std::uint64_t offset) const { return offset; }

  // Where the disk's bytes from absolute byte `offset` lie as they are in one host file, so that a caller
  // may copy them file to file without reading them: the file, the position in it and how many of the
  // `length` bytes lie there together (at least one). None where a read would give anything else (no data,
  // a parent's bytes, inflated or overlaid bytes, past the map): those are read. A reader says none.
  struct HostStretch {
    const ImageFile* file = nullptr;
    std::uint64_t position = 0;
    std::uint64_t bytes = 0;
  };
  virtual std::optional<HostStretch> hostStretch(std::uint64_t offset, std::uint64_t length) const {
    (void)offset;
    (void)length;
    return std::nullopt;
  }

  // Convenience for callers that hold a span: one seek, then reads of at most 4 GiB - 512 each.
  bool readAt(std::int64_t offset, std::span<std::byte> out);
  bool readSpan(std::span<std::byte> out);

  // Per block of the virtual disk: its position in the image file in 512-byte units; 0 or 0xFFFFFFFF
  // means the block holds no data in the file.
  std::vector<std::int64_t> blockTable;
  // Added to every seek: 0 during volume discovery, the volume's start sector x 512 inside a parser.
  std::int64_t baseOffset = 0;
  std::uint64_t imageFileSize = 0;
  // Whether the block under the current offset has data in the file.
  std::uint8_t blockAllocated = 1;
  // Table entries counted by readers that need the count.
  std::uint64_t tableEntryCount = 0;
  // Held by whoever pairs a seek with its read (a volume view), since the reader keeps its position.
  mutable std::mutex ioMutex;
  // Reads that found the image file shorter than its block table says (truncated, or blocks placed past
  // its end) or that the host refused: their bytes were delivered as zeros.
  mutable std::atomic<std::uint64_t> missingReads{0};
};

}  // namespace tessary
