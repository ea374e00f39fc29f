// Differencing images read over their parents: the interface by which a reader names its parent and says
// which bytes it holds itself, and the reader that stacks a child on its chain of parents.
//
// A reader of a format with parents (differencing VHDX and VHD, VMDK snapshots, VDI snapshots; a qcow2
// backing file fits the same way) implements ChainLayer beside readWriteInterface:
//   - parentLink() says what the image records about its parent: the file names it remembers (taken
//     only beside the image, never as an absolute path or one that leaves the image's folder), or the
//     file extension to search beside it when it records no name, and the identity the parent must have;
//   - chainIdentity() is what a child of this image records (data write GUID, unique id, CID, UUID);
//   - holds() says whether a run of the disk is the image's own; its reads there are used, elsewhere the
//     parent's. Bytes a child explicitly zeroed are its own (zeros), not the parent's.
// createDiskReader (image_format.h) returns a ChainedDiskReader for every format; an image without a
// parent is read through it unchanged.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "disk/read_write_interface.h"

namespace tessary {

enum class ImageFormat;

// What a differencing image records about its parent.
struct ParentLink {
  // File names the image remembers, most trusted first (a relative path, else the last component of an
  // absolute one is tried beside the image).
  std::vector<std::string> names;
  // When no name leads to the parent: files of this extension beside the image are tried (VDI).
  std::string searchExtension;
  // What the parent's chainIdentity() must be; empty when the format records nothing to check.
  std::string identity;
  // How the identity is called in messages ("linkage GUID", "CID", "UUID").
  std::string identityName;
};

class ChainLayer {
 public:
  virtual ~ChainLayer() = default;
  // None when the image has no parent.
  virtual std::optional<ParentLink> parentLink() const = 0;
  // What a child of this image records as its parent's identity.
  virtual std::string chainIdentity() const = 0;
  // Whether the disk's bytes from absolute offset `offset` are this image's own; `run` gets how many bytes
  // from there share the answer (at least one sector).
  virtual bool holds(std::uint64_t offset, std::uint64_t& run) const = 0;
};

// The longest chain read, the image itself included.
constexpr std::size_t kMaxChainDepth = 64;

// One image of a chain as `info` and the image page describe it.
struct ChainLinkInfo {
  std::string path;
  std::string formatName;
  std::uint64_t diskBytes = 0;
  std::uint64_t ownBytes = 0;  // bytes of the disk this image holds itself (0 for the last one: all)
  bool named = false;          // the user named it as a parent
  std::string note;            // a sentence about how it was taken, when there is one
};

class ChainedDiskReader : public readWriteInterface {
 public:
  ChainedDiskReader(DiskContext& context, ImageFormat format);
  ~ChainedDiskReader() override;

  bool open(const std::string& path) override;
  bool read(void* buffer, std::uint32_t length) override;
  bool seek(std::int64_t offset, std::uint32_t origin = 0) override;
  std::optional<std::uint64_t> nextDataOffset(std::uint64_t offset) const override;
  // The image's own stretches when it is read alone; none through a chain of parents.
  std::optional<HostStretch> hostStretch(std::uint64_t offset, std::uint64_t length) const override;

  // The images read, the opened one first.
  const std::vector<ChainLinkInfo>& chain() const { return m_chain; }
  // The parent that could not be found, when the chain ends early ("" when it is whole).
  const std::string& missingParent() const { return m_missing; }
  // The opened image's own reader.
  readWriteInterface* top() const { return m_layers.empty() ? nullptr : m_layers.front().reader.get(); }
  // Whether the last open failed at the parents (the image itself opened).
  bool chainRefused() const { return m_refused; }

 private:
  struct Layer {
    std::unique_ptr<DiskContext> context;  // parents keep their own, so the disk's values stay the child's
    std::unique_ptr<readWriteInterface> reader;
    const ChainLayer* chain = nullptr;
  };
  bool openParents(const std::string& path);
  bool readFrom(std::size_t layer, std::uint64_t offset, std::byte* out, std::uint64_t length) const;
  void message(const std::string& text) const;

  DiskContext& m_context;
  ImageFormat m_format;
  std::vector<Layer> m_layers;
  std::vector<ChainLinkInfo> m_chain;
  std::string m_missing;
  bool m_refused = false;
  std::int64_t m_current = 0;
  std::uint64_t m_diskBytes = 0;
};

// The image page's lines about the chain of the image at `path`, one per image, the image first; the
// parent that is missing ("" when none is); and what the chain said about itself (a missing parent, a
// parent named although its identity differs, a link not followed) in `notes`. False when the chain is
// refused (a loop, too deep, a parent of another identity that was not named): `notes` then ends with
// the reason.
bool describeChain(const DiskContext& context, const std::string& path, ImageFormat format,
                   std::vector<std::string>& lines, std::string& missing, std::vector<std::string>& notes);

}  // namespace tessary
