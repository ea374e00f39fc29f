// Anonymous mappings for large buffers.
#include "platform/large_buffer.h"

#include <sys/mman.h>

namespace tessary {

LargeBuffer::LargeBuffer(std::size_t bytes) : m_size(bytes) {
  if (bytes == 0) return;
  void* at = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (at == MAP_FAILED) return;
#ifdef MADV_HUGEPAGE
  ::madvise(at, bytes, MADV_HUGEPAGE);
#endif
  m_data = static_cast<std::byte*>(at);
}

LargeBuffer::~LargeBuffer() {
  if (m_data) ::munmap(m_data, m_size);
}

}  // namespace tessary
