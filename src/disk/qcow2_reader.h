// The qcow2 reader (versions 2 and 3): the header, the L1 table and the L2 tables it names, clusters stored
// as they are, clusters marked as zeros, and clusters compressed with deflate or zstd. A backing file is the
// image's parent: the chain reader (parent_chain.h) reads it, beside the image, where this image holds
// nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "disk/mapped_reader.h"
#include "disk/parent_chain.h"

namespace tessary {

class FileReadSeekQcow2 : public MappedDiskReader, public ChainLayer {
 public:
  static constexpr std::uint32_t kMagic = 0x514649FB;  // "QFI\xfb"

  explicit FileReadSeekQcow2(DiskContext& context) : MappedDiskReader(context) {}

  bool open(const std::string& path) override;
  std::optional<std::uint64_t> nextDataOffset(std::uint64_t offset) const override;

  // The header's values.
  std::uint32_t version = 0;
  std::uint32_t clusterBits = 0;
  std::uint64_t diskSize = 0;  // bytes
  std::uint32_t cryptMethod = 0;
  std::uint64_t incompatibleFeatures = 0;
  bool extendedL2 = false;
  bool zstd = false;  // compressed clusters use zstd rather than deflate
  std::string backingFile;  // empty when the image has none
  std::vector<std::uint64_t> l1;

  std::uint64_t clusterBytes() const { return std::uint64_t{1} << clusterBits; }

  // The backing file, when there is one; qcow2 records no identity of it to check.
  std::optional<ParentLink> parentLink() const override;
  std::string chainIdentity() const override { return {}; }
  // Clusters with data, compressed ones and clusters (or subclusters) marked as zeros are the image's own;
  // the rest is the backing file's.
  bool holds(std::uint64_t offset, std::uint64_t& run) const override;

 private:
  // An L2 entry: the standard 64 bits, and the subcluster bitmap of extended L2 tables.
  struct Entry {
    std::uint64_t word = 0;
    std::uint64_t bitmap = 0;
  };

  Place place(std::uint64_t absolute) const override;
  // The L2 entry of a guest cluster; none when its table lies beyond the L1 table or cannot be read.
  Entry entryOf(std::uint64_t cluster) const;
  // The compressed cluster that `word` describes, inflated into m_cluster; false when it is broken.
  bool inflateCluster(std::uint64_t word) const;
  bool hasData(const Entry& entry) const;

  ImageFile m_file;
  std::uint64_t m_diskBytes = 0;  // the disk's size rounded up to whole sectors
  std::uint64_t m_l2Entries = 0;  // entries per L2 table

  mutable std::mutex m_cacheMutex;
  mutable std::uint64_t m_tableOffset = 0;  // host offset of the L2 table held, 0 for none
  mutable std::vector<std::byte> m_table;
  mutable std::optional<std::uint64_t> m_clusterWord;  // the compressed cluster held in m_cluster
  mutable bool m_clusterGood = false;
  mutable std::vector<std::byte> m_cluster;
};

}  // namespace tessary
