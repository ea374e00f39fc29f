// CRC-32C (Castagnoli, bits reflected), as the VHDX headers and regions and the ext metadata checksums
// use it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace tessary {

// Carries `crc` on over `data`, without the inversions at either end, so that checksums that chain it
// (ext's seed from the volume's UUID) can; the usual CRC-32C is ~crc32cOn(~0u, data).
std::uint32_t crc32cOn(std::uint32_t crc, std::span<const std::byte> data);

}  // namespace tessary
