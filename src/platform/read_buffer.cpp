// The per-thread read buffer of the data writers.
#include <algorithm>
#include <cstdint>
#include <memory>

#include "platform/large_buffer.h"

namespace tessary {

std::span<std::byte> threadReadBuffer(std::size_t bytes) {
  // Whole pages, never less than 64 KiB, so that a run of small files does not grow it step by step.
  constexpr std::size_t kPage = 4096;
  constexpr std::size_t kLeast = 64 * 1024;
  thread_local std::unique_ptr<LargeBuffer> buffer;
  if (!buffer || buffer->size() < bytes) {
    const std::size_t rounded = bytes > SIZE_MAX - kPage ? bytes : (bytes + kPage - 1) / kPage * kPage;
    buffer.reset();
    buffer = std::make_unique<LargeBuffer>(std::max(rounded, kLeast));
    if (!buffer->data()) {
      buffer.reset();
      return {};
    }
  }
  return {buffer->data(), bytes};
}

}  // namespace tessary
