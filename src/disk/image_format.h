// Which reader an image file needs (by its contents, then by its extension), the readers' creation, and
// the image page's reading of each format's values.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "disk/read_write_interface.h"
#include "disk/vhdx_reader.h"

namespace tessary {

enum class ImageFormat { Vhdx, Vhd, Vdi, Vmdk, Qcow2, Flat };

// The format whose header the file holds: the VHDX, VDI, VMDK and qcow2 signatures at the start, the VHD
// footer at the start or the end. None when no header claims the file (or it cannot be read).
std::optional<ImageFormat> imageFormatByContent(const std::string& path);
// The reader a file needs: the format its content names, whatever its name. A file that no header claims
// is a flat disk, unless its name says ".vhdx", ".vhd", ".vdi" or ".vmdk" (ASCII case ignored): then that
// format's reader refuses it with its own message.
ImageFormat imageFormatOf(const std::string& path);
const char* imageFormatName(ImageFormat format);

// A new, unopened reader for the format that reads the image over its parents (parent_chain.h); its
// messages go to context.messages.
std::unique_ptr<readWriteInterface> createDiskReader(ImageFormat format, DiskContext& context);
// The format's own reader of one file, without its parents.
std::unique_ptr<readWriteInterface> createLayerReader(ImageFormat format, DiskContext& context);

// The image page's values of a VHD, VDI or VMDK file, read by opening its reader once (readImageInfo of
// vhdx_reader.h reads a VHDX). True when the values were shown; false after a rejection message.
bool readVhdImageInfo(PageSink& page, DiskContext& context, readWriteInterface* reader, const std::string& path,
                      ImageInfo& info);
bool readVdiImageInfo(PageSink& page, DiskContext& context, readWriteInterface* reader, const std::string& path,
                      ImageInfo& info);
bool readVmdkImageInfo(PageSink& page, DiskContext& context, readWriteInterface* reader, const std::string& path,
                       ImageInfo& info);
bool readQcow2ImageInfo(PageSink& page, DiskContext& context, readWriteInterface* reader, const std::string& path,
                        ImageInfo& info);
bool readFlatImageInfo(PageSink& page, DiskContext& context, readWriteInterface* reader, const std::string& path,
                       ImageInfo& info);
// The routine of the image's format.
bool readAnyImageInfo(PageSink& page, DiskContext& context, readWriteInterface* reader, const std::string& path,
                      ImageInfo& info);

}  // namespace tessary
