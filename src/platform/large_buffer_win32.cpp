// Large buffers from VirtualAlloc.
#include "platform/large_buffer.h"

#include <windows.h>

namespace tessary {

LargeBuffer::LargeBuffer(std::size_t bytes) : m_size(bytes) {
  if (bytes == 0) return;
  m_data = static_cast<std::byte*>(::VirtualAlloc(nullptr, bytes, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
}

LargeBuffer::~LargeBuffer() {
  if (m_data) ::VirtualFree(m_data, 0, MEM_RELEASE);
}

void* allocateLarge(std::size_t bytes) {
  if (bytes == 0) return nullptr;
  return ::VirtualAlloc(nullptr, bytes, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
}

void freeLarge(void* at, std::size_t) {
  if (at) ::VirtualFree(at, 0, MEM_RELEASE);
}

}  // namespace tessary
