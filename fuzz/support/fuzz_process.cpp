// Set up for every fuzz process (linked into each fuzz target, not into the replay test): a smaller
// quarantine, and large heap blocks kept for the next input instead of being given back to the host.
//
// A run makes and drops blocks of hundreds of KiB: libFuzzer's copy of every input, the volume-sized read
// buffers of the scans, a file's data chunks. AddressSanitizer maps every block over 128 KiB afresh and
// unmaps it when it leaves the quarantine, so each one costs the kernel a page fault and a page clearing
// per 4 KiB, and more than the parse itself. Here operator new hands out such a block from a few kept per
// size class; the checks stay: the block is poisoned while it is kept, and the bytes past the size asked
// for stay poisoned while it is in use (an access there is reported as a use after poison; beyond the
// block AddressSanitizer's own redzone reports it). What is lost for large blocks only: the quarantine's
// delay before reuse (a use after free that comes after the block was handed out again is not seen).
#include <sanitizer/allocator_interface.h>
#include <sanitizer/asan_interface.h>
#include <stdlib.h>

#include <array>
#include <bit>
#include <cstddef>
#include <mutex>
#include <new>

// A quarantine of 16 MiB instead of 256: a freed block is still held back from reuse (and an access to it
// reported) until 16 MiB more have been freed, and the allocator reuses memory that is still in the
// processor's caches; with 256 MiB the runs kept touching cold memory, at twice the CPU time per run
// (hfsplus_fuzz). ASAN_OPTIONS still overrides it.
extern "C" const char* __asan_default_options() { return "quarantine_size_mb=16"; }

namespace {

// Blocks from 128 KiB (where AddressSanitizer's own size classes end) to 16 MiB, in power-of-two classes.
constexpr std::size_t kSmallestKept = std::size_t{128} << 10;
constexpr unsigned kFirstClass = 17;
constexpr unsigned kLastClass = 24;
constexpr std::size_t kKeptPerClass = 4;

struct Kept {
  std::array<void*, kKeptPerClass> blocks{};
  std::size_t count = 0;
};

std::mutex& keptLock() {
  static std::mutex lock;
  return lock;
}

std::array<Kept, kLastClass - kFirstClass + 1>& keptBlocks() {
  static std::array<Kept, kLastClass - kFirstClass + 1> kept;
  return kept;
}

// The class a block of `size` bytes falls in, or -1 for blocks handled as AddressSanitizer handles them.
int classOf(std::size_t size) {
  if (size < kSmallestKept || size > (std::size_t{1} << kLastClass)) return -1;
  return static_cast<int>(std::bit_width(size - 1)) - static_cast<int>(kFirstClass);
}

void* allocate(std::size_t size) {
  const int c = classOf(size);
  if (c < 0) return ::malloc(size == 0 ? 1 : size);
  {
    std::lock_guard<std::mutex> hold(keptLock());
    Kept& kept = keptBlocks()[static_cast<std::size_t>(c)];
    if (kept.count > 0) {
      void* block = kept.blocks[--kept.count];
      kept.blocks[kept.count] = nullptr;  // a block that leaks is then reported as a leak
      __asan_unpoison_memory_region(block, size);
      return block;
    }
  }
  const std::size_t capacity = std::size_t{1} << (kFirstClass + static_cast<unsigned>(c));
  void* block = ::malloc(capacity);
  if (block) __asan_poison_memory_region(static_cast<char*>(block) + size, capacity - size);
  return block;
}

void release(void* block) {
  if (!block) return;
  const std::size_t capacity = __sanitizer_get_allocated_size(block);
  const int c = classOf(capacity);
  if (c >= 0 && capacity == std::size_t{1} << (kFirstClass + static_cast<unsigned>(c))) {
    std::lock_guard<std::mutex> hold(keptLock());
    Kept& kept = keptBlocks()[static_cast<std::size_t>(c)];
    if (kept.count < kKeptPerClass) {
      __asan_poison_memory_region(block, capacity);
      kept.blocks[kept.count++] = block;
      return;
    }
  }
  if (c >= 0) __asan_unpoison_memory_region(block, capacity);
  ::free(block);
}

void* allocateOrThrow(std::size_t size) {
  if (void* block = allocate(size)) return block;
  throw std::bad_alloc();
}

void* allocateAligned(std::size_t size, std::align_val_t alignment) {
  void* block = nullptr;
  const auto a = static_cast<std::size_t>(alignment);
  return ::posix_memalign(&block, a < sizeof(void*) ? sizeof(void*) : a, size == 0 ? 1 : size) == 0 ? block : nullptr;
}

void* allocateAlignedOrThrow(std::size_t size, std::align_val_t alignment) {
  if (void* block = allocateAligned(size, alignment)) return block;
  throw std::bad_alloc();
}

}  // namespace

// Every form of operator new and delete is defined here, so that none of AddressSanitizer's own is linked
// beside them. Aligned blocks go straight to the sanitizer's allocator.
void* operator new(std::size_t size) { return allocateOrThrow(size); }
void* operator new[](std::size_t size) { return allocateOrThrow(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return allocate(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return allocate(size); }
void* operator new(std::size_t size, std::align_val_t a) { return allocateAlignedOrThrow(size, a); }
void* operator new[](std::size_t size, std::align_val_t a) { return allocateAlignedOrThrow(size, a); }
void* operator new(std::size_t size, std::align_val_t a, const std::nothrow_t&) noexcept { return allocateAligned(size, a); }
void* operator new[](std::size_t size, std::align_val_t a, const std::nothrow_t&) noexcept { return allocateAligned(size, a); }
void operator delete(void* block) noexcept { release(block); }
void operator delete[](void* block) noexcept { release(block); }
void operator delete(void* block, const std::nothrow_t&) noexcept { release(block); }
void operator delete[](void* block, const std::nothrow_t&) noexcept { release(block); }
void operator delete(void* block, std::size_t) noexcept { release(block); }
void operator delete[](void* block, std::size_t) noexcept { release(block); }
void operator delete(void* block, std::align_val_t) noexcept { ::free(block); }
void operator delete[](void* block, std::align_val_t) noexcept { ::free(block); }
void operator delete(void* block, std::align_val_t, const std::nothrow_t&) noexcept { ::free(block); }
void operator delete[](void* block, std::align_val_t, const std::nothrow_t&) noexcept { ::free(block); }
void operator delete(void* block, std::size_t, std::align_val_t) noexcept { ::free(block); }
void operator delete[](void* block, std::size_t, std::align_val_t) noexcept { ::free(block); }
