// The image page: pick a VHDX (or VHD, VDI, VMDK, qcow2 or flat) image or a block device, show its values in
// three editable fields, and check them before Next.
#pragma once

#include <optional>
#include <string>

#include "disk/vhdx_reader.h"
#include "platform/page_sink.h"
#include "platform/page_view.h"

namespace tessary {

struct WizardState;

class VhdInputDialog {
 public:
  // Control ids of the page's view.
  static constexpr const char* kPath = "path";
  static constexpr const char* kInfoGroup = "File Information:";
  static constexpr const char* kFileVersion = "fileVersion";
  static constexpr const char* kSize = "Size of HDD:";
  static constexpr const char* kBlockSize = "Sector Per Track:";
  static constexpr const char* kLogicalSectorSize = "Head:";
  static constexpr const char* kNext = "Next";
  // The parents of a differencing image the user names, one path a line (the image's parent first), and
  // the chain as it is read, one image a line.
  static constexpr const char* kParents = "Parent images:";
  static constexpr const char* kChain = "Chain:";
  static constexpr const char* kFileFilter = ".VHDX Files (*.vhdx)|*vhdx||";
  // The other formats the readers take, offered beside the VHDX filter.
  static constexpr const char* kOtherImagesFilter = "VHD, VDI and VMDK Files (*.vhd *.vdi *.vmdk)|*.vhd;*.vdi;*.vmdk||";
  // Every image the readers take by its usual name (offered first), and any file at all: a flat image or
  // a renamed one is read by what it holds.
  static constexpr const char* kDiskImagesFilter =
      "Disk images (*.vhdx *.avhdx *.vhd *.avhd *.vdi *.vmdk *.qcow2 *.qcow *.img *.raw *.dd *.bin *.001)|"
      "*.vhdx;*.avhdx;*.vhd;*.avhd;*.vdi;*.vmdk;*.qcow2;*.qcow;*.img;*.raw;*.dd;*.bin;*.001||";
  static constexpr const char* kAllFilesFilter = "All files (*)|*||";

  VhdInputDialog(WizardState& state, PageView& view, PageSink& sink);

  void onOpen();
  // The file dialog of "..." closed; `picked` is the chosen path, none when cancelled.
  void onBrowseClosed(const std::optional<std::string>& picked);
  // True when the scan-mode page may open.
  bool onNext();

  const ImageInfo& info() const { return m_info; }

 private:
  WizardState& m_state;
  PageView& m_view;
  PageSink& m_sink;
  ImageInfo m_info;
};

}  // namespace tessary
