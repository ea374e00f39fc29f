// Memory for large buffers that image bytes are read into (the export's transfers, the MFT's pieces):
// anonymous pages, so that the buffer starts on a page boundary (the host copies into such a buffer at
// full speed), with huge pages asked for so that filling them costs few page faults, given back whole.
#pragma once

#include <cstddef>
#include <new>
#include <span>

namespace tessary {

class LargeBuffer {
 public:
  explicit LargeBuffer(std::size_t bytes);
  ~LargeBuffer();
  LargeBuffer(const LargeBuffer&) = delete;
  LargeBuffer& operator=(const LargeBuffer&) = delete;

  // Null when the memory could not be had.
  std::byte* data() const { return m_data; }
  std::size_t size() const { return m_data ? m_size : 0; }

 private:
  std::byte* m_data = nullptr;
  std::size_t m_size = 0;
};

// Anonymous memory for a large table: whole 2 MiB steps on a 2 MiB boundary with huge pages asked for,
// so that filling it costs a page fault per 2 MiB rather than per 4 KiB. Null when it cannot be had.
// Given back with the same size.
void* allocateLarge(std::size_t bytes);
void freeLarge(void* at, std::size_t bytes);

// An allocator for the containers of large tables (a parse's entry tables): from 1 MiB on, memory comes
// from allocateLarge; below that, from the heap.
template <typename T>
struct LargeTableAllocator {
  using value_type = T;
  static constexpr std::size_t kLargeFrom = 1024 * 1024;
  LargeTableAllocator() = default;
  template <typename U>
  LargeTableAllocator(const LargeTableAllocator<U>&) noexcept {}
  T* allocate(std::size_t n) {
    if (n > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_array_new_length();
    const std::size_t bytes = n * sizeof(T);
    if (bytes < kLargeFrom) return static_cast<T*>(::operator new(bytes));
    void* at = allocateLarge(bytes);
    if (!at) throw std::bad_alloc();
    return static_cast<T*>(at);
  }
  void deallocate(T* at, std::size_t n) noexcept {
    const std::size_t bytes = n * sizeof(T);
    if (bytes < kLargeFrom) ::operator delete(at);
    else freeLarge(at, bytes);
  }
  template <typename U>
  bool operator==(const LargeTableAllocator<U>&) const noexcept { return true; }
};

// Page-aligned memory of at least `bytes` bytes that belongs to the calling thread and is kept for its
// next call: the data writers read a file's pieces into it, one piece after another, and so allocate no
// memory per piece or per file. It grows to the largest size asked for. What the last user left in it
// is still there: a caller clears a piece before reading into it unless every byte is sure to be
// written by the read. It must not be held across another call on the same thread. Empty when the
// memory could not be had.
std::span<std::byte> threadReadBuffer(std::size_t bytes);

}  // namespace tessary
