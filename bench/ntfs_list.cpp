// Bench driver: parses the NTFS volume of a VHDX as the results page's worker does and lists every entry
// below the top item with the detail list's texts (or, with --dump DIR, dumps every file into DIR; with
// --deep-scan, only scans the volume for MFT records as the deep mode does); prints the entry count, the
// time taken and the peak memory to stderr.
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "controls/xhtml_tree.h"
#include "disk/vhdx_reader.h"
#include "fs/ntfs/ntfs.h"
#include "platform/files.h"
#include "platform/page_sink.h"

using namespace tessary;

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s IMAGE.vhdx START_SECTOR [--dump DIR | --deep-scan]\n", argv[0]);
    return 2;
  }
  const std::string dumpDir = argc >= 5 && std::strcmp(argv[3], "--dump") == 0 ? argv[4] : "";
  const bool deepScanOnly = argc >= 4 && std::strcmp(argv[3], "--deep-scan") == 0;
  if (!dumpDir.empty() && !createDirectory(dumpDir)) return 1;
  const auto started = std::chrono::steady_clock::now();
  DiskContext context;
  FileReadSeekVHDX reader(context);
  if (!reader.open(argv[1])) return 1;
  NullSink sink;
  CXHtmlTree tree;
  VolumeEntry volume;
  volume.fileSystem = "NTFS";
  volume.startSector = std::stoll(argv[2]);
  volume.volumeSizeText = "0";
  ntfs parser;
  parser.setVolume(volume);
  parser.setSink(&sink);
  parser.setTree(&tree, "ROOT");
  if (deepScanOnly) parser.setMode(3);
  parser.attachVolume(&reader);
  parser.readBootSector();
  if (deepScanOnly) {
    parser.deepScan();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    const double mib = static_cast<double>((context.diskSectorCount - static_cast<std::uint64_t>(volume.startSector)) * 512) / 1048576.0;
    std::fprintf(stderr, "tessary deep scan: %lld records named, %.3f s, %.0f MiB/s of the volume, %.0f records/s\n",
                 static_cast<long long>(parser.entryCount() - 1), seconds, mib / seconds,
                 static_cast<double>(parser.entryCount() - 1) / seconds);
    return 0;
  }
  parser.locateMft();
  parser.collectMftRecords();
  parser.parseAllEntries();

  // Depth first in link order, every entry once, as `tessary ls` walks the tree.
  std::vector<std::uint8_t> seen(static_cast<std::size_t>(parser.entryCount()), 0);
  struct Frame {
    std::int64_t index;
    std::string path;
  };
  std::vector<Frame> stack;
  const auto top = parser.childEntries(parser.rootIndex());
  for (auto it = top.rbegin(); it != top.rend(); ++it) stack.push_back({*it, parser.entryName(*it)});
  std::uint64_t listed = 0;
  std::uint64_t written = 0;
  std::FILE* out = dumpDir.empty() ? std::fopen("/dev/null", "w") : nullptr;
  while (!stack.empty()) {
    Frame f = stack.back();
    stack.pop_back();
    if (seen[static_cast<std::size_t>(f.index)]) continue;
    seen[static_cast<std::size_t>(f.index)] = 1;
    ++listed;
    const bool folder = parser.isFolder(f.index);
    if (dumpDir.empty()) {
      const auto texts = parser.formatEntryTimes(parser.entries()[static_cast<std::size_t>(f.index)]);
      std::fprintf(out, "%s\t%d\t%d\t%llu\t%s\t%s\t%s\t%s\t%s\n", f.path.c_str(), folder, parser.isDeleted(f.index),
                   static_cast<unsigned long long>(parser.entryDataSize(f.index)),
                   parser.formatEntrySize(f.index).c_str(), texts.creation.c_str(), texts.access.c_str(),
                   texts.modification.c_str(), texts.attributes.c_str());
    } else if (!folder && !parser.isDeleted(f.index)) {
      const std::string folderPath = dumpDir + "/" + std::to_string(f.index % 1000);
      createDirectory(folderPath);
      parser.setOutputFolder(folderPath + "/");
      parser.dumpEntry(std::to_string(f.index));
      written += parser.lastDumpWritten();
    }
    if (!folder) continue;
    const auto children = parser.childEntries(f.index);
    for (auto it = children.rbegin(); it != children.rend(); ++it)
      stack.push_back({*it, f.path + "/" + parser.entryName(*it)});
  }
  if (out) std::fclose(out);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  std::fprintf(stderr, "tessary: %llu entries, %llu bytes written, %.3f s, peak %ld KiB\n",
               static_cast<unsigned long long>(listed), static_cast<unsigned long long>(written), seconds,
               usage.ru_maxrss);
  return 0;
}
