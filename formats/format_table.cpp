// The driver table: one row per format id 0..28. It lives with the drivers so that the image
// layer dispatches through it without knowing any particular format.
#include <array>

#include "formats/bochs/bochs.hpp"
#include "formats/chained/chained.hpp"
#include "formats/chd/chd.hpp"
#include "formats/cowd/cowd.hpp"
#include "formats/headed_flat/headed_flat.hpp"
#include "formats/nvt/nvt.hpp"
#include "formats/parallels/bundle.hpp"
#include "formats/parallels/parallels.hpp"
#include "formats/qcow/qcow.hpp"
#include "formats/qcow2/qcow2.hpp"
#include "formats/vdi/vdi.hpp"
#include "formats/vhd/vhd.hpp"
#include "formats/vhdx/vhdx.hpp"
#include "formats/vhd_variants/vhd_variants.hpp"
#include "formats/vmdk/vmdk.hpp"
#include "image/disk_image.hpp"

namespace qx {

namespace {

// Rows stay null until their format exists. One row per line, so that drivers land apart.
constexpr std::array<const FormatDriver*, kFormatTableSize> kDriverTable = {
    &kVmdkDriver,  // 0 VMDK descriptor
    &kVmdkDriver,  // 1 VMDK monolithic sparse
    &kVmdkDriver,  // 2 VMDK split sparse
    &kVmdkDriver,  // 3 VMDK monolithic sparse child
    &kVmdkDriver,  // 4 VMDK split sparse child
    &kCowd3Driver,  // 5 COWD version 3
    &kCowd3RedoDriver,  // 6 COWD version 3 redo log
    &kCowd1Driver,  // 7 COWD version 1
    &kCowd1RedoDriver,  // 8 COWD version 1 redo log
    &kVhdxDriver,  // 9 VHDX
    &kVhdDriver,  // 10 VHD
    &kVhdFixedDriver,  // 11 fixed VHD
    &kVhdStrictDriver,  // 12 strict 2 MiB-block VHD
    &kVhdHeadedDriver,  // 13 4096-byte head, 511-byte footer
    &kVhdStrictDiffDriver,  // 14 strict 2 MiB-block differencing VHD
    &kParallelsDriver,  // 15 Parallels image
    &kParallelsBundleDriver,  // 16 Parallels bundle
    &kBochsDriver,  // 17 Bochs
    &kChainedDriver,  // 18 chained block image
    &kQcowDriver,  // 19 QCOW
    &kVdiDriver,  // 20 VDI
    &kChdDriver,  // 21 CHD
    &kHdiDriver,  // 22
    &kThdDriver,  // 23
    &kNhdDriver,  // 24
    &kHddDriver,  // 25
    &kFixed69mDriver,  // 26
    &kH0Driver,  // 27
    &kQcow2Driver,  // 28 QCOW2
};

}  // namespace

const FormatDriver* format_driver(int32_t id) noexcept {
  if (id < 0 || id >= kFormatTableSize) return nullptr;
  return kDriverTable[static_cast<size_t>(id)];
}

const FormatDriver* format_special_driver(int32_t id) noexcept {
  switch (id) {
    case FORMAT_NVT: return &kNvtDriver;
    default: return nullptr;
  }
}

}  // namespace qx
