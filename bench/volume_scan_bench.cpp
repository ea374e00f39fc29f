// Times the advanced volume scan of a VHDX (every sector tested) against a plain sequential read of the
// same image file, in one run, and prints both rates and their ratio.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

#include "disk/vhdx_reader.h"
#include "platform/files.h"
#include "platform/page_sink.h"
#include "volumes/partition.h"

namespace {

double seconds(std::chrono::steady_clock::duration d) { return std::chrono::duration<double>(d).count(); }

}  // namespace

int main(int argc, char** argv) {
  using namespace tessary;
  if (argc != 2) {
    std::fprintf(stderr, "usage: volume_scan_bench IMAGE.vhdx\n");
    return 2;
  }
  const std::string path = argv[1];

  // The raw bytes first: this also brings the file into the page cache for both measurements.
  ImageFile file;
  if (!file.open(path)) {
    std::fprintf(stderr, "cannot open %s\n", path.c_str());
    return 1;
  }
  std::vector<std::byte> buffer(8u << 20);
  auto readAll = [&] {
    std::uint64_t total = 0;
    for (std::uint64_t at = 0;;) {
      const auto got = file.readAt(at, buffer);
      if (!got || *got == 0) break;
      total += *got;
      at += *got;
    }
    return total;
  };
  // Each measurement is the best of a few runs: the first read also brings the file into the page cache.
  constexpr int kRuns = 3;
  readAll();
  std::uint64_t rawBytes = 0;
  double rawSeconds = 1e9;
  for (int run = 0; run < kRuns; ++run) {
    const auto start = std::chrono::steady_clock::now();
    rawBytes = readAll();
    rawSeconds = std::min(rawSeconds, seconds(std::chrono::steady_clock::now() - start));
  }

  NullSink sink;
  DiskContext context;
  FileReadSeekVHDX reader(context);
  if (!reader.open(path)) {
    std::fprintf(stderr, "cannot open %s as VHDX\n", path.c_str());
    return 1;
  }
  std::size_t found = 0;
  int result = 0;
  double scanSeconds = 1e9;
  for (int run = 0; run < kRuns; ++run) {
    found = 0;
    Partition partition(sink, [&](const VolumeEntry&) { ++found; });
    partition.skipVolumes = 0;  // every sector is tested
    const auto start = std::chrono::steady_clock::now();
    result = partition.advancedScan(reader, context.diskSectorCount);
    scanSeconds = std::min(scanSeconds, seconds(std::chrono::steady_clock::now() - start));
  }
  const double scanBytes = static_cast<double>(context.diskSectorCount) * kSectorSize;

  const double rawRate = static_cast<double>(rawBytes) / rawSeconds / (1 << 20);
  const double scanRate = scanBytes / scanSeconds / (1 << 20);
  std::printf("raw read:      %10.1f MiB/s (%llu bytes in %.3f s)\n", rawRate,
              static_cast<unsigned long long>(rawBytes), rawSeconds);
  std::printf("advanced scan: %10.1f MiB/s (%.0f bytes in %.3f s, %zu volumes, result %d)\n", scanRate, scanBytes,
              scanSeconds, found, result);
  std::printf("ratio scan/raw: %.2f\n", scanRate / rawRate);
  return 0;
}
