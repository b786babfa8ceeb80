// The driver table: one row per format id 0..27. It lives with the drivers so that the image
// layer dispatches through it without knowing any particular format.
#include <array>

#include "formats/vhd/vhd.hpp"
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
    nullptr,  // 5 COWD
    nullptr,  // 6
    nullptr,  // 7
    nullptr,  // 8
    nullptr,  // 9 VHDX
    &kVhdDriver,  // 10 VHD
    nullptr,  // 11 fixed VHD
    nullptr,  // 12
    nullptr,  // 13
    nullptr,  // 14
    nullptr,  // 15 Parallels image
    nullptr,  // 16 Parallels bundle
    nullptr,  // 17 Bochs
    nullptr,  // 18 chained block image
    nullptr,  // 19 QCOW
    nullptr,  // 20 VDI
    nullptr,  // 21 CHD
    nullptr,  // 22
    nullptr,  // 23
    nullptr,  // 24
    nullptr,  // 25
    nullptr,  // 26
    nullptr,  // 27
};

}  // namespace

const FormatDriver* format_driver(int32_t id) noexcept {
  if (id < 0 || id >= kFormatTableSize) return nullptr;
  return kDriverTable[static_cast<size_t>(id)];
}

}  // namespace qx
