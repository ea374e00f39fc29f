// Host files: the image opened read-only with positioned reads, output files, folders and file times.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/data_sink.h"

namespace tessary {

// Bytes that stand in for a file's own on every read, held in memory only (a VHDX log replayed over the
// file it belongs to). Later writes replace earlier ones where they overlap.
class ReadOverlay {
 public:
  void write(std::uint64_t offset, std::span<const std::byte> data);
  void zero(std::uint64_t offset, std::uint64_t length);
  // Lays the overlay's bytes over `out`, which holds the file's bytes from `offset` on.
  void apply(std::uint64_t offset, std::span<std::byte> out) const;
  // The end of the last byte the overlay holds (0 when it holds none).
  std::uint64_t end() const;
  // The first byte at or after `offset` that the overlay holds; UINT64_MAX when it holds none there.
  std::uint64_t firstFrom(std::uint64_t offset) const;
  bool empty() const { return m_pieces.empty(); }

 private:
  struct Piece {
    std::uint64_t end = 0;
    bool zero = false;
    std::shared_ptr<const std::vector<std::byte>> data;  // the bytes from the piece's own start
    std::uint64_t dataStart = 0;                          // where `data` begins in the file
  };
  void place(std::uint64_t start, Piece piece);
  std::map<std::uint64_t, Piece> m_pieces;  // by start; never overlapping
};

// An image file or a block device. It is only ever opened for reading; nothing in the system writes to an
// image.
class ImageFile {
 public:
  ImageFile() = default;
  ~ImageFile();
  ImageFile(const ImageFile&) = delete;
  ImageFile& operator=(const ImageFile&) = delete;
  ImageFile(ImageFile&& other) noexcept;
  ImageFile& operator=(ImageFile&& other) noexcept;

  bool open(const std::string& path);
  // Opens `name`, a path an image records relative to its own folder, below the folder of `imagePath`:
  // every component is opened relative to the one before and without following a link, so neither ".."
  // nor a link leads out of that folder. Only a regular file is taken. Empty on success, else the reason.
  std::string openBeside(const std::string& imagePath, const std::string& name);
  void close();
  // Reads see the overlay's bytes instead of the file's where it has some; none restores the file's own.
  void setOverlay(std::shared_ptr<const ReadOverlay> overlay) { m_overlay = std::move(overlay); }
  // Device and file number, to tell two names of one file apart.
  std::optional<std::pair<std::uint64_t, std::uint64_t>> identity() const;
  bool isOpen() const { return m_fd >= 0; }
  std::uint64_t size() const;

  // Reads up to out.size() bytes at `offset`; returns the count read (short at the end of the file),
  // or nothing when the read failed.
  std::optional<std::size_t> readAt(std::uint64_t offset, std::span<std::byte> out) const;
  // Reads exactly out.size() bytes or fails.
  bool readExact(std::uint64_t offset, std::span<std::byte> out) const;
  // The descriptor whose bytes are the file's as reads see them, for a copy inside the host; -1 when an
  // overlay stands in for some of them.
  int copySource() const { return m_overlay && !m_overlay->empty() ? -1 : m_fd; }
  // The first byte at or after `offset` that may hold data: every byte before it lies in a hole of the
  // host file and reads as zero. `offset` itself where the host cannot tell (a block device, a host or
  // file system without holes) and at or past the file's end; the file's end when only a hole follows
  // (bytes past the end are missing, not zeros). The overlay's bytes count as data.
  std::uint64_t dataFrom(std::uint64_t offset) const;

 private:
  // The host's bytes alone, without the overlay.
  std::optional<std::size_t> readHost(std::uint64_t offset, std::span<std::byte> out) const;

  // A descriptor; on Windows, a C runtime descriptor that holds the file's handle.
  int m_fd = -1;
  std::shared_ptr<const ReadOverlay> m_overlay;
  // The host's last answer to dataFrom: [m_holeFrom, m_dataAt) is a hole, [m_dataAt, m_dataEnd) data.
  mutable std::mutex m_extentMutex;
  mutable std::uint64_t m_holeFrom = 0;
  mutable std::uint64_t m_dataAt = 0;
  mutable std::uint64_t m_dataEnd = 0;
};

// An output file: created (an existing file is emptied), written, closed by the operation that writes it.
class OutputFile : public DataSink {
 public:
  OutputFile() = default;
  ~OutputFile() override;
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // Creates (or empties) a regular file; never through a link, never a FIFO, device or folder, never a
  // file with other names (hard links) elsewhere. False with errno set otherwise.
  bool create(const std::string& path);
  // The same inside the folder open as `folder` (a descriptor; on Windows, a C runtime descriptor that
  // holds the folder's handle).
  bool createAt(int folder, const std::string& name);
  // Opens a regular file of one name for appending (created when missing), never through a link; the
  // signature editor adds its records this way. written() counts from the file's length at opening.
  bool openForAppend(const std::string& path);
  bool write(std::span<const std::byte> data) override;
  // Moves on by `count` bytes without writing them; they read as zeros (a hole where the host allows one).
  bool skip(std::uint64_t count);
  bool hole(std::uint64_t bytes) override { return skip(bytes); }
  // Copies inside the host (Linux: sendfile) where it can; stops short at the source's end or at any error,
  // which the caller's own write of the rest then meets or reports.
  std::uint64_t copyFrom(const ImageFile& source, std::uint64_t position, std::uint64_t bytes) override;
  // The error of the first write (or of closing) that failed, 0 while none has.
  int error() const { return m_error; }
  bool isOpen() const { return m_fd >= 0; }
  std::uint64_t written() const override { return m_written; }
  // Sets last access and last write (Unix nanoseconds since 1970).
  bool setTimes(std::int64_t accessNs, std::int64_t modificationNs) override;
  // Sets the creation time on Windows; POSIX hosts have none to set, and nothing is done there.
  bool setCreationTime(std::int64_t creationNs) override;
  // Closes the file; false (and error() set) when what was written could not be kept.
  bool close();

 private:
  int m_fd = -1;
  std::uint64_t m_written = 0;
  int m_error = 0;
  bool m_sparse = false;  // marked sparse (Windows)
};

bool pathExists(const std::string& path);
// Whether anything has the name, a link (even one that leads nowhere) included.
bool entryExists(const std::string& path);
// Whether two paths name one file (the same device and file number).
bool sameFile(const std::string& a, const std::string& b);
// Bytes an unprivileged writer may still put in the file system that holds `folder`.
std::optional<std::uint64_t> freeSpace(const std::string& folder);
bool isDirectory(const std::string& path);
bool isRegularFile(const std::string& path);
// Whether the path names something an image can be read from: a regular file or a block device.
bool isImageFile(const std::string& path);
// Creates one folder; true when it exists afterwards.
bool createDirectory(const std::string& path);
bool removeFile(const std::string& path);
std::optional<std::uint64_t> fileSize(const std::string& path);
// The system's temporary folder, without a trailing separator.
std::string temporaryDirectory();
// Sets access and modification times of a path (nanoseconds since 1970).
bool setPathTimes(const std::string& path, std::int64_t accessNs, std::int64_t modificationNs);

// A name taken from an image made safe as one path component below an output folder:
// '/', NUL and control characters become '_', and "." or ".." (or an empty name) become "_" so they
// never step out.
std::string safeComponent(const std::string& name);

// A name Windows can hold as one path component: reserved device names (CON, PRN, AUX, NUL, COM1-9,
// LPT1-9, CONIN$, CONOUT$, with any extension) get a leading '_'; the characters <>:"/\|?* and control
// characters become '_', and so do trailing dots and blanks. A name Windows can hold is returned as it is.
std::string windowsSafeName(const std::string& name);

// The folders and file of a name that must stay inside an image's folder, split at '/' and '\\'; the
// reason when it cannot (absolute, a drive, "..", a NUL, nothing left), else "".
std::string besideNameParts(const std::string& name, std::vector<std::string>& parts);

// The folder that holds the running executable (for files that ship beside it).
std::string executableDirectory();

}  // namespace tessary
