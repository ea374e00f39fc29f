// Memory for large buffers that image bytes are read into (the export's transfers, the MFT's pieces):
// anonymous pages, so that the buffer starts on a page boundary (the host copies into such a buffer at
// full speed), with huge pages asked for so that filling them costs few page faults, given back whole.
#pragma once

#include <cstddef>

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

}  // namespace tessary
