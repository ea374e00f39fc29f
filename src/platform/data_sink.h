// Where a parser's data writer puts a file's content: a host file, a buffer in memory (a recycle bin's
// "$I" record, read back for the name it holds), or nowhere (the fuzzers). One data writer serves all.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace tessary {

class ImageFile;

class DataSink {
 public:
  virtual ~DataSink() = default;
  // Appends bytes; false when they could not all be taken (a full disk, a full buffer).
  virtual bool write(std::span<const std::byte> data) = 0;
  // Last access and last write, nanoseconds since 1970.
  virtual bool setTimes(std::int64_t accessNs, std::int64_t modificationNs) {
    (void)accessNs;
    (void)modificationNs;
    return true;
  }
  // The creation time, nanoseconds since 1970, where the host keeps one it lets be set (Windows);
  // elsewhere nothing is done.
  virtual bool setCreationTime(std::int64_t creationNs) {
    (void)creationNs;
    return true;
  }
  // A run of zeros the file does not store (a hole, a sparse run, bytes past the valid data length).
  // A sink that can leave a hole in its output does; the others are given the zeros. Counts as written.
  virtual bool hole(std::uint64_t bytes) {
    static constexpr std::byte zeros[65536] = {};
    while (bytes > 0) {
      const std::size_t part = bytes < sizeof zeros ? static_cast<std::size_t>(bytes) : sizeof zeros;
      if (!write(std::span<const std::byte>(zeros, part))) return false;
      bytes -= part;
    }
    return true;
  }
  // Appends up to `bytes` bytes of `source` from `position` without them passing through this process
  // (a sink that cannot says 0). Returns how many it took; the caller writes the rest itself.
  virtual std::uint64_t copyFrom(const ImageFile& source, std::uint64_t position, std::uint64_t bytes) {
    (void)source;
    (void)position;
    (void)bytes;
    return 0;
  }
  // Bytes taken so far, holes included.
  virtual std::uint64_t written() const = 0;
};

// Keeps at most `limit` bytes; a write past it keeps what fits and fails.
class MemorySink : public DataSink {
 public:
  explicit MemorySink(std::size_t limit) : m_limit(limit) {}
  bool write(std::span<const std::byte> data) override {
    const std::size_t room = m_limit - m_bytes.size();
    const std::size_t taken = data.size() < room ? data.size() : room;
    m_bytes.insert(m_bytes.end(), data.begin(), data.begin() + static_cast<std::ptrdiff_t>(taken));
    if (taken < data.size()) m_overflow = true;
    return taken == data.size();
  }
  std::uint64_t written() const override { return m_bytes.size(); }
  const std::vector<std::byte>& bytes() const { return m_bytes; }
  // True when more was offered than the limit allows.
  bool overflowed() const { return m_overflow; }

 private:
  std::size_t m_limit;
  std::vector<std::byte> m_bytes;
  bool m_overflow = false;
};

// Counts what it is given and keeps nothing.
class DiscardSink : public DataSink {
 public:
  bool write(std::span<const std::byte> data) override {
    m_written += data.size();
    return true;
  }
  bool hole(std::uint64_t bytes) override {
    m_written += bytes;
    return true;
  }
  std::uint64_t written() const override { return m_written; }

 private:
  std::uint64_t m_written = 0;
};

}  // namespace tessary
