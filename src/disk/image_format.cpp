// Choosing and creating the reader of an image, and the image page's values of VHD, VDI and VMDK files.
#include "disk/image_format.h"

#include <array>

#include "disk/flat_reader.h"
#include "disk/qcow2_reader.h"
#include "disk/parent_chain.h"
#include "disk/vdi_reader.h"
#include "disk/vhd_reader.h"
#include "disk/vmdk_reader.h"
#include "platform/bytes.h"
#include "platform/files.h"
#include "platform/page_sink.h"
#include "platform/text.h"

namespace tessary {

namespace {

// Forwards a reader's messages to the page and notes whether it said anything.
class NotingSink : public PageSink {
 public:
  explicit NotingSink(PageSink& page) : m_page(page) {}
  void setStatus(const std::string& text) override { m_page.setStatus(text); }
  void postMessage(std::uint32_t id, std::int64_t first, std::int64_t second) override {
    m_page.postMessage(id, first, second);
  }
  void showMessage(const std::string& text) override {
    m_said = true;
    m_page.showMessage(text);
  }
  bool askYesNo(const std::string& text) override { return m_page.askYesNo(text); }
  bool said() const { return m_said; }

 private:
  PageSink& m_page;
  bool m_said = false;
};

// Opens a reader of type R on the path with the page as its message box; the context gets the disk size.
template <typename R>
bool openForPage(DiskContext& context, const std::string& path, R& reader, NotingSink& noting) {
  PageSink* saved = context.messages;
  context.messages = &noting;
  const bool opened = reader.open(path);
  context.messages = saved;
  return opened;
}

void finish(DiskContext& context, readWriteInterface* given, const readWriteInterface& opened, ImageInfo& info) {
  if (given) given->imageFileSize = opened.imageFileSize;
  info.shown = true;
  info.diskSize = context.diskSectorCount * kSectorSize;
  info.logicalSectorSize = kSectorSize;
  info.physicalSectorSize = kSectorSize;
}

// A file that cannot be opened at all shows nothing; the page's Next then names the path as invalid.
bool canOpen(const std::string& path) {
  ImageFile file;
  return file.open(path);
}

std::uint32_t geometryValue(const std::string& text) {
  const std::int64_t value = decimalValue(text);
  return value < 0 || value > UINT32_MAX ? 0 : static_cast<std::uint32_t>(value);
}

}  // namespace

std::optional<ImageFormat> imageFormatByContent(const std::string& path) {
  ImageFile file;
  if (!file.open(path)) return std::nullopt;
  std::array<std::byte, 512> first{};
  std::array<std::byte, 512> last{};
  const bool haveFirst = file.readExact(0, first);
  const bool haveLast = file.size() >= last.size() && file.readExact(file.size() - last.size(), last);
  if (haveFirst && hasMagic(first, 0, "vhdxfile")) return ImageFormat::Vhdx;
  if ((haveFirst && hasMagic(first, 0, "conectix")) || (haveLast && hasMagic(last, 0, "conectix")))
    return ImageFormat::Vhd;
  if (haveFirst && le32At(first, 64) == FileReadSeekVdi::kSignature) return ImageFormat::Vdi;
  if (haveFirst && (le32At(first, 0) == FileReadSeekVmdk::kMagic || hasMagic(first, 0, "# Disk DescriptorFile")))
    return ImageFormat::Vmdk;
  if (haveFirst && be32At(first, 0) == FileReadSeekQcow2::kMagic) return ImageFormat::Qcow2;
  return std::nullopt;
}

namespace {

std::optional<ImageFormat> formatOfName(const std::string& path) {
  if (endsWithNoCase(path, ".vhdx")) return ImageFormat::Vhdx;
  if (endsWithNoCase(path, ".vhd")) return ImageFormat::Vhd;
  if (endsWithNoCase(path, ".vdi")) return ImageFormat::Vdi;
  if (endsWithNoCase(path, ".vmdk")) return ImageFormat::Vmdk;
  return std::nullopt;
}

}  // namespace

ImageFormat imageFormatOf(const std::string& path) {
  if (const auto byContent = imageFormatByContent(path)) return *byContent;
  if (const auto byName = formatOfName(path)) return *byName;
  return ImageFormat::Flat;
}

const char* imageFormatName(ImageFormat format) {
  switch (format) {
    case ImageFormat::Vhdx: return "VHDX";
    case ImageFormat::Vhd: return "VHD";
    case ImageFormat::Vdi: return "VDI";
    case ImageFormat::Vmdk: return "VMDK";
    case ImageFormat::Qcow2: return "QCOW2";
    case ImageFormat::Flat: return "Flat";
  }
  return "VHDX";
}

std::unique_ptr<readWriteInterface> createDiskReader(ImageFormat format, DiskContext& context) {
  return std::make_unique<ChainedDiskReader>(context, format);
}

std::unique_ptr<readWriteInterface> createLayerReader(ImageFormat format, DiskContext& context) {
  switch (format) {
    case ImageFormat::Vhdx: return std::make_unique<FileReadSeekVHDX>(context);
    case ImageFormat::Vhd: return std::make_unique<FileReadSeekVHD>(context);
    case ImageFormat::Vdi: return std::make_unique<FileReadSeekVdi>(context);
    case ImageFormat::Vmdk: return std::make_unique<FileReadSeekVmdk>(context);
    case ImageFormat::Qcow2: return std::make_unique<FileReadSeekQcow2>(context);
    case ImageFormat::Flat: return std::make_unique<FileReadSeekFlat>(context);
  }
  return nullptr;
}

bool readVhdImageInfo(PageSink& page, DiskContext& context, readWriteInterface* reader, const std::string& path,
                      ImageInfo& info) {
  info = ImageInfo{};
  if (!canOpen(path)) return true;
  NotingSink noting(page);
  FileReadSeekVHD vhd(context);
  if (!openForPage(context, path, vhd, noting)) {
    if (!noting.said()) page.showMessage("Not a vhd file");
    return false;
  }
  finish(context, reader, vhd, info);
  info.formatName = "VHD";
  info.formatVersion = static_cast<std::uint16_t>(vhd.formatVersion >> 16);
  info.blockSize = vhd.diskType == FileReadSeekVHD::kFixed ? kSectorSize : vhd.blockSize;
  info.differencing = vhd.diskType == FileReadSeekVHD::kDifferencing;
  info.cylinders = vhd.cylinders;
  info.heads = vhd.heads;
  info.sectorsPerTrack = vhd.sectorsPerTrack;
  return true;
}

bool readVdiImageInfo(PageSink& page, DiskContext& context, readWriteInterface* reader, const std::string& path,
                      ImageInfo& info) {
  info = ImageInfo{};
  if (path.size() > 3 && !endsWithNoCase(path, "vdi") && imageFormatByContent(path) != ImageFormat::Vdi) {
    page.showMessage("not a vdi file");
    return false;
  }
  if (!canOpen(path)) return true;
  NotingSink noting(page);
  FileReadSeekVdi vdi(context);
  if (!openForPage(context, path, vdi, noting)) {
    // A header that fails the reader's plausibility test says nothing itself.
    if (!noting.said()) page.showMessage("not a vdi file");
    return false;
  }
  finish(context, reader, vdi, info);
  info.formatName = "VDI";
  info.formatVersion = static_cast<std::uint16_t>(vdi.version >> 16);
  info.blockSize = vdi.blockSize;
  info.differencing = vdi.imageType == 4;
  info.cylinders = vdi.cylinders;
  info.heads = vdi.heads;
  info.sectorsPerTrack = vdi.sectors;
  return true;
}

bool readVmdkImageInfo(PageSink& page, DiskContext& context, readWriteInterface* reader, const std::string& path,
                       ImageInfo& info) {
  info = ImageInfo{};
  if (!canOpen(path)) return true;
  NotingSink noting(page);
  FileReadSeekVmdk vmdk(context);
  if (!openForPage(context, path, vmdk, noting)) {
    if (!noting.said()) page.showMessage("Not a vmdk file");
    return false;
  }
  finish(context, reader, vmdk, info);
  info.formatName = "VMDK";
  const std::int64_t version = decimalValue(vmdk.version);
  info.formatVersion = static_cast<std::uint16_t>(version > 0 && version <= UINT16_MAX ? version : vmdk.headerVersion);
  info.blockSize = vmdk.grainSize > 0 ? static_cast<std::uint32_t>(vmdk.grainSize * kSectorSize) : kSectorSize;
  info.differencing = !vmdk.parentCid.empty() && !equalsNoCase(vmdk.parentCid, "ffffffff");
  info.cylinders = geometryValue(vmdk.geometryCylinders);
  info.heads = geometryValue(vmdk.geometryHeads);
  info.sectorsPerTrack = geometryValue(vmdk.geometrySectors);
  info.adapterType = vmdk.adapterType;
  info.createType = vmdk.createType;
  return true;
}

bool readQcow2ImageInfo(PageSink& page, DiskContext& context, readWriteInterface* reader, const std::string& path,
                        ImageInfo& info) {
  info = ImageInfo{};
  if (!canOpen(path)) return true;
  NotingSink noting(page);
  FileReadSeekQcow2 qcow2(context);
  if (!openForPage(context, path, qcow2, noting)) {
    if (!noting.said()) page.showMessage("Not a qcow2 file");
    return false;
  }
  finish(context, reader, qcow2, info);
  info.formatName = "QCOW2";
  info.formatVersion = static_cast<std::uint16_t>(qcow2.version);
  info.blockSize = static_cast<std::uint32_t>(qcow2.clusterBytes());
  // A backing file is the image's parent, read through the chain.
  info.differencing = !qcow2.backingFile.empty();
  return true;
}

bool readFlatImageInfo(PageSink& page, DiskContext& context, readWriteInterface* reader, const std::string& path,
                       ImageInfo& info) {
  info = ImageInfo{};
  if (!canOpen(path)) return true;
  NotingSink noting(page);
  FileReadSeekFlat flat(context);
  if (!openForPage(context, path, flat, noting)) {
    if (!noting.said()) page.showMessage("The file cannot be read as a flat disk image");
    return false;
  }
  finish(context, reader, flat, info);
  info.formatName = "Flat";
  info.formatVersion = 0;
  info.blockSize = kSectorSize;
  return true;
}

bool readAnyImageInfo(PageSink& page, DiskContext& context, readWriteInterface* reader, const std::string& path,
                      ImageInfo& info) {
  const ImageFormat format = imageFormatOf(path);
  bool shown = false;
  switch (format) {
    case ImageFormat::Vhdx: shown = readImageInfo(page, context, reader, path, info); break;
    case ImageFormat::Vhd: shown = readVhdImageInfo(page, context, reader, path, info); break;
    case ImageFormat::Vdi: shown = readVdiImageInfo(page, context, reader, path, info); break;
    case ImageFormat::Vmdk: shown = readVmdkImageInfo(page, context, reader, path, info); break;
    case ImageFormat::Qcow2: shown = readQcow2ImageInfo(page, context, reader, path, info); break;
    case ImageFormat::Flat: return readFlatImageInfo(page, context, reader, path, info);
  }
  if (shown && info.shown && info.differencing) {
    // The chain as it will be read: each image, and the parent that is missing; a refused chain is
    // refused here already.
    std::vector<std::string> notes;
    if (!describeChain(context, path, format, info.chain, info.missingParent, notes)) {
      page.showMessage(notes.empty() ? std::string("The chain of parents cannot be read.") : notes.back());
      return false;
    }
    info.warnings.insert(info.warnings.end(), notes.begin(), notes.end());
  }
  // A file refused for its name alone (no header of any format): say how it can be read after all.
  if (!shown && !imageFormatByContent(path) && canOpen(path))
    page.showMessage(
        "The file holds no VHDX, VHD, VDI, VMDK or qcow2 header. If it is a flat disk image, give it another name "
        "(such as one ending in .img) to read it as one.");
  return shown;
}

}  // namespace tessary
