// A file system made up for the tests: a boot record "TESTFS01" with the volume's MiB at byte 8, and a
// parser that lists one file, hello.txt ("hello"). Its registry row joins while an AddedFileSystem lives.
#pragma once

#include <string>

#include "fs/registry.h"

namespace tessary::test {

inline constexpr const char* kMadeUpMagic = "TESTFS01";

FileSystemRow madeUpFileSystemRow();
// A disk of two MBR volumes: a made-up one (type 0x83) at sector 2048 and one of type 0x99 without a
// boot record (listed as "Unknown") at sector 16384; written as a VHDX at `path`.
void writeMadeUpDisk(const std::string& path);

}  // namespace tessary::test
