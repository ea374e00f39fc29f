// The common body of the parser fuzz targets: the input is a volume that starts at the disk's first
// sector; the registry's parser for one of the target's labels parses it in one of the modes it runs
// (Advanced after the advanced-input page's candidate search), the page's steps after the worker follow
// (recycle-bin names, the tree's top level), then every entry reachable from the tree is listed and every
// file's data is written to a DiscardSink. The input's length picks the label and the mode.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace tessary::fuzz {

// Bytes one file's data may take before the sink refuses more (work stays bounded for files whose
// records claim more than the volume holds).
constexpr std::uint64_t kFileDataCap = std::uint64_t{16} << 20;
// Entries visited per parse at most.
constexpr std::size_t kMaxVisitedEntries = 200000;

// Candidates the Advanced mode's search keeps (the wizard's default).
constexpr int kMaxCandidates = 3;

// Runs a parser the registry creates for one of `labels` over `bytes`; aborts when no parser takes the
// label. The labels share their modes (those the first one's parser runs).
void parseVolume(std::span<const char* const> labels, std::span<const std::uint8_t> bytes);

}  // namespace tessary::fuzz
