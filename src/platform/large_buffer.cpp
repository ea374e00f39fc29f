// Anonymous mappings for large buffers.
#include "platform/large_buffer.h"

#include <sys/mman.h>

#include <new>

namespace tessary {

#ifdef TESSARY_FUZZ_HEAP_BUFFERS
// The fuzz build takes these buffers from the heap: the address checks then cover every access to them, and
// the fuzz process keeps large heap blocks for its next input, where a mapping would be made and faulted in
// afresh for every input. Every user fills what it reads before reading it, as with a fresh mapping.
LargeBuffer::LargeBuffer(std::size_t bytes) : m_size(bytes) {
  if (bytes > 0) m_data = new (std::nothrow) std::byte[bytes];
}

LargeBuffer::~LargeBuffer() { delete[] m_data; }
#else
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
#endif

}  // namespace tessary
