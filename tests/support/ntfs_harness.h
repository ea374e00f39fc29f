// Drives the NTFS parser the way the results page's worker does, on a fixture or a built volume, and
// reads what the fixtures' manifests and The Sleuth Kit say about the same volume.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "controls/xhtml_tree.h"
#include "disk/vhdx_reader.h"
#include "fs/ntfs/ntfs.h"
#include "fs/ntfs/ntfs_data.h"
#include "platform/page_sink.h"
#include "support/ntfs_builder.h"
#include "support/recording_sink.h"

namespace tessary::test {

struct ParsedNtfs {
  DiskContext context;
  std::unique_ptr<readWriteInterface> reader;
  CXHtmlTree tree;
  RecordingSink sink;
  ntfs parser;
  VolumeEntry volume;

  // 1 standard, 2 advanced (the first MFT candidate, the boot sector's cluster size), 3 deep.
  int mode = 1;
  // Opens a fixture VHDX and parses its volume at `startSector` (size text in MiB for a damaged boot sector).
  bool openFixture(const std::string& name, std::int64_t startSector, const std::string& sizeText);
  // Parses a volume held in memory (the disk is the volume: start sector 0).
  void openMemory(const ByteVector& volume, const std::string& sizeText = "1");
  void parse();
};

// One entry of the parsed tree, with its '/'-separated path below the top item.
struct ListedEntry {
  std::string path;
  std::int64_t index = 0;
  bool folder = false;
  bool deleted = false;
};
// Depth first in link order from the root (as the tree shows it); every entry is listed once.
std::vector<ListedEntry> listTree(const ntfs& parser);

struct ManifestEntry {
  std::string path;
  bool folder = false;
  bool deleted = false;
  bool orphan = false;
  std::uint64_t size = 0;
  std::string sha256;
  std::int64_t record = -1;
  std::string created, accessed, modified;  // ISO 8601 UTC
  std::string recycledName;
  int generation = 0;   // on a volume made over an older one: 1 old, 2 new
  bool intact = true;   // an old file whose bytes the newer volume left alone
  std::string linkOf;   // a further name of the file made first at this path
};
struct Manifest {
  std::int64_t startSector = 0;
  std::int64_t sectorCount = 0;
  std::uint32_t clusterSize = 0;
  std::uint32_t bytesPerSector = 512;
  bool bootZeroed = false;
  std::vector<ManifestEntry> entries;
  const ManifestEntry* find(const std::string& path) const;
};
std::optional<Manifest> loadManifest(const std::string& fixtureName);
// Every volume of a manifest that describes several.
std::vector<Manifest> loadManifestVolumes(const std::string& fixtureName);

// The volume of a fixture as a raw file (for The Sleuth Kit), made with qemu-img; empty when it cannot be.
std::string rawVolume(const std::string& fixtureName, const std::string& dir);
bool haveSleuthKit();
// fls -r -p: path -> record number for the live entries (streams folded into their file), skipping
// $MFT and the $OrphanFiles folder.
std::map<std::string, std::int64_t> flsLiveEntries(const std::string& rawPath, std::int64_t startSector = 2048);

// sha256 of a host file, as sha256sum prints it.
std::string fileSha256(const std::string& path);
// Seconds since 1970 from an ISO 8601 UTC text.
std::int64_t isoSeconds(const std::string& iso);

}  // namespace tessary::test
