// The in-memory image file: a memfd, named by a link in a private folder of its own.
#include "support/memory_image_file.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace tessary::fuzz {

namespace {

[[noreturn]] void fail(const char* what) {
  std::perror(what);
  std::abort();
}

}  // namespace

MemoryImageFile::MemoryImageFile(const std::string& extension) {
  m_fd = ::memfd_create("tessary-fuzz-image", MFD_CLOEXEC);
  if (m_fd < 0) fail("memfd_create");
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/tessary-fuzz-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) fail("mkdtemp");
  m_folder = pattern;
  m_path = m_folder + "/image." + extension;
  const std::string target = "/proc/self/fd/" + std::to_string(m_fd);
  if (::symlink(target.c_str(), m_path.c_str()) != 0) fail("symlink");
}

MemoryImageFile::~MemoryImageFile() {
  ::unlink(m_path.c_str());
  ::rmdir(m_folder.c_str());
  if (m_fd >= 0) ::close(m_fd);
}

void MemoryImageFile::fill(std::span<const std::uint8_t> bytes) {
  if (::ftruncate(m_fd, 0) != 0) fail("ftruncate");
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::pwrite(m_fd, bytes.data() + done, bytes.size() - done, static_cast<off_t>(done));
    if (n <= 0) fail("pwrite");
    done += static_cast<std::size_t>(n);
  }
}

}  // namespace tessary::fuzz
