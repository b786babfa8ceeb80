// The driver table: one row per format id 0..27. It lives with the drivers so that the image
// layer dispatches through it without knowing any particular format.
#include <array>

#include "formats/parallels/bundle.hpp"
#include "formats/parallels/parallels.hpp"
#include "formats/vhd/vhd.hpp"
#include "image/disk_image.hpp"

namespace qx {

namespace {

// Rows stay null until their format exists. One row per line, so that drivers land apart.
constexpr std::array<const FormatDriver*, kFormatTableSize> kDriverTable = {
    nullptr,  // 0 VMDK descriptor
    nullptr,  // 1
    nullptr,  // 2
    nullptr,  // 3
    nullptr,  // 4
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
    &kParallelsDriver,  // 15 Parallels image
    &kParallelsBundleDriver,  // 16 Parallels bundle
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
