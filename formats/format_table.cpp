// The driver table: one row per format id 0..27. It lives with the drivers so that the image
// layer dispatches through it without knowing any particular format.
#include <array>

#include "formats/bochs/bochs.hpp"
#include "formats/chained/chained.hpp"
#include "formats/chd/chd.hpp"
#include "formats/headed_flat/headed_flat.hpp"
#include "formats/nvt/nvt.hpp"
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
    nullptr,  // 15 Parallels image
    nullptr,  // 16 Parallels bundle
    &kBochsDriver,  // 17 Bochs
    &kChainedDriver,  // 18 chained block image
    nullptr,  // 19 QCOW
    nullptr,  // 20 VDI
    &kChdDriver,  // 21 CHD
    &kHdiDriver,  // 22
    &kThdDriver,  // 23
    &kNhdDriver,  // 24
    &kHddDriver,  // 25
    &kFixed69mDriver,  // 26
    &kH0Driver,  // 27
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
