// Anonymous mappings for large buffers.
#include "platform/large_buffer.h"

#include <sys/mman.h>

#include <cstdint>
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

#ifdef TESSARY_FUZZ_HEAP_BUFFERS
// The large tables come from the heap in the fuzz build too, for the same reasons as the buffers above.
void* allocateLarge(std::size_t bytes) {
  if (bytes == 0) return nullptr;
  return ::operator new(bytes, std::nothrow);
}

void freeLarge(void* at, std::size_t) { ::operator delete(at); }
#else
namespace {
constexpr std::size_t kHugePage = 2 * 1024 * 1024;
std::size_t hugeSteps(std::size_t bytes) { return (bytes + kHugePage - 1) / kHugePage * kHugePage; }
}  // namespace

void* allocateLarge(std::size_t bytes) {
  if (bytes == 0 || bytes > SIZE_MAX / 2 - kHugePage) return nullptr;
  const std::size_t length = hugeSteps(bytes);
  // A mapping one huge page longer, cut down to the aligned part.
  void* at = ::mmap(nullptr, length + kHugePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (at == MAP_FAILED) return nullptr;
  const auto start = reinterpret_cast<std::uintptr_t>(at);
  const std::uintptr_t aligned = (start + kHugePage - 1) / kHugePage * kHugePage;
  if (aligned > start) ::munmap(at, aligned - start);
  const std::size_t tail = start + length + kHugePage - (aligned + length);
  if (tail > 0) ::munmap(reinterpret_cast<void*>(aligned + length), tail);
#ifdef MADV_HUGEPAGE
  ::madvise(reinterpret_cast<void*>(aligned), length, MADV_HUGEPAGE);
#endif
  return reinterpret_cast<void*>(aligned);
}

void freeLarge(void* at, std::size_t bytes) {
  if (at) ::munmap(at, hugeSteps(bytes));
}
#endif

}  // namespace tessary
