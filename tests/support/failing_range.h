// A reader over another whose reads that touch one byte range fail and deliver nothing at all: a bad
// stretch of the image under a file's data.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "disk/read_write_interface.h"

namespace tessary::test {

class FailingRange : public readWriteInterface {
 public:
  FailingRange(readWriteInterface& inner, std::uint64_t from, std::uint64_t to) : m_inner(inner), m_from(from), m_to(to) {}
  bool open(const std::string&) override { return true; }
  bool seek(std::int64_t offset, std::uint32_t origin) override {
    m_at = static_cast<std::uint64_t>(offset);
    return m_inner.seek(offset, origin);
  }
  bool read(void* buffer, std::uint32_t length) override {
    const bool touches = m_at < m_to && m_at + length > m_from;
    m_at += length;
    if (touches) return false;
    return m_inner.read(buffer, length);
  }
  std::optional<std::uint64_t> nextDataOffset(std::uint64_t offset) const override { return m_inner.nextDataOffset(offset); }

 private:
  readWriteInterface& m_inner;
  std::uint64_t m_from, m_to, m_at = 0;
};

}  // namespace tessary::test
