// An image file that lives in memory (an anonymous memory file), for the readers that open a path: the
// fuzzer's bytes are put in it before each run, and the reader opens it by a path that ends in the
// image's extension (a link in a private temporary folder, removed when the process ends normally). The
// bytes never reach a disk.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace tessary::fuzz {

class MemoryImageFile {
 public:
  // `extension` without the dot ("vhdx").
  explicit MemoryImageFile(const std::string& extension);
  ~MemoryImageFile();
  MemoryImageFile(const MemoryImageFile&) = delete;
  MemoryImageFile& operator=(const MemoryImageFile&) = delete;

  // Replaces the file's content; aborts when the host refuses (a fuzz run cannot go on without it).
  void fill(std::span<const std::uint8_t> bytes);
  const std::string& path() const { return m_path; }

 private:
  int m_fd = -1;
  std::string m_folder;
  std::string m_path;
};

}  // namespace tessary::fuzz
