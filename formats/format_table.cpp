// The driver table (one row per format id) and the tables of format detection. They live with the
// drivers so that the image layer dispatches and detects without knowing any particular format.
#include <array>
#include <iterator>

#include "formats/bochs/bochs.hpp"
#include "formats/chained/chained.hpp"
#include "formats/chd/chd.hpp"
#include "formats/cowd/cowd.hpp"
#include "formats/headed_flat/headed_flat.hpp"
#include "formats/format_ids.hpp"
#include "formats/ndi/ndi.hpp"
#include "formats/nvt/nvt.hpp"
#include "formats/parallels/bundle.hpp"
#include "formats/parallels/parallels.hpp"
#include "formats/qcow/qcow.hpp"
#include "formats/split_raw/split_raw.hpp"
#include "formats/qcow2/qcow2.hpp"
#include "formats/raw/raw.hpp"
#include "formats/vdi/vdi.hpp"
#include "formats/vhd/vhd.hpp"
#include "formats/vhdx/vhdx.hpp"
#include "formats/vhd_variants/vhd_variants.hpp"
#include "formats/vmdk/vmdk.hpp"
#include "image/detect.hpp"
#include "image/disk_image.hpp"
#include "image/special_drivers.hpp"
#include "volume/luks.hpp"

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
    &kRawDriver,  // 29 raw disk, known by its content
};

const ExtensionRule kExtensionRules[] = {
    {{"vmdk"}, {FORMAT_VMDK, FORMAT_COWD3, FORMAT_COWD3_REDO}},
    {{"dsk"}, {FORMAT_COWD1, FORMAT_COWD1_REDO}},
    {{"vhdx"}, {FORMAT_VHDX}},
    {{"vhd"}, {FORMAT_VHD, FORMAT_VHD_FIXED}},
    {{"qcow"}, {FORMAT_QCOW}},
    {{"qcow2"}, {FORMAT_QCOW2}},
    {{"hdd"}, {FORMAT_PARALLELS, FORMAT_PARALLELS_BUNDLE, FORMAT_HDD}},
    {{"vdi"}, {FORMAT_VDI}},
    {{"chd"}, {FORMAT_CHD}},
    {{"hdi"}, {FORMAT_HDI}},
    {{"thd"}, {FORMAT_THD}},
    {{"nhd"}, {FORMAT_NHD}},
    {{"h0", "h1", "h2", "h3", "h4"}, {FORMAT_H0}},
};

constexpr int32_t kProbeOrder[] = {
    FORMAT_VMDK, FORMAT_VHDX, FORMAT_VHD, FORMAT_VHD_FIXED, FORMAT_PARALLELS,
    FORMAT_PARALLELS_BUNDLE, FORMAT_BOCHS, FORMAT_CHAINED, FORMAT_QCOW2, FORMAT_QCOW, FORMAT_VDI, FORMAT_CHD,
    kAttemptNdi, FORMAT_COWD3, FORMAT_COWD3_REDO, FORMAT_COWD1, FORMAT_COWD1_REDO, FORMAT_HDI,
    FORMAT_THD, FORMAT_NHD, FORMAT_HDD, FORMAT_FIXED_69M, FORMAT_NVT, kAttemptSplitRawText,
    kAttemptSplitRawPart, FORMAT_RAW};
static_assert(std::size(kProbeOrder) + 3 <= kMaxDetectionAttempts);

// qemu-img's names, and those of the openers that are no table row; every row answers to its
// driver's name as well.
const FormatName kFormatNames[] = {
    {"raw", {kAttemptNamedRaw}},
    {"vmdk", {FORMAT_VMDK, FORMAT_COWD3, FORMAT_COWD3_REDO, FORMAT_COWD1, FORMAT_COWD1_REDO}},
    {"vpc", {FORMAT_VHD, FORMAT_VHD_FIXED}},
    {"vhd", {FORMAT_VHD, FORMAT_VHD_FIXED}},
    {"parallels", {FORMAT_PARALLELS, FORMAT_PARALLELS_BUNDLE}},
    {"ndi", {kAttemptNdi}},
    {"nvt", {FORMAT_NVT}},
    {"split raw", {kAttemptSplitRawText, kAttemptSplitRawPart}},
};

ErrorCode attempt(DiskImage& image, std::string_view path, bool read_only, int32_t id) {
  switch (id) {
    case kAttemptNamedRaw: return open_raw_named(image, path, read_only);
    case kAttemptNdi: return open_ndi_image(image, path, read_only);
    case kAttemptSplitRawText: return open_split_raw_description(image, path, read_only);
    case kAttemptSplitRawPart: return open_split_raw_part(image, path, read_only);
    case FORMAT_NVT: return open_nvt_image(image, path, read_only);
    default: return open_image_as(image, path, read_only, id);
  }
}

const DetectionRules kDetectionRules{kExtensionRules, kProbeOrder,    attempt,
                                     FORMAT_PARALLELS_BUNDLE, kFormatNames, kFormatTableSize};

}  // namespace

const DetectionRules& detection_rules() noexcept { return kDetectionRules; }

const FormatDriver* format_driver(int32_t id) noexcept {
  if (id < 0 || id >= kFormatTableSize) return nullptr;
  return kDriverTable[static_cast<size_t>(id)];
}

const FormatDriver* format_special_driver(int32_t id) noexcept {
  switch (id) {
    case FORMAT_FLAT: return &kFlatDriver;
    case FORMAT_WINDOW: return &kWindowDriver;
    case FORMAT_NVT: return &kNvtDriver;
    case FORMAT_SPLIT_RAW: return &kSplitRawDriver;
#ifdef QX_HAVE_LUKS
    case FORMAT_DECRYPTED: return &kDecryptedDriver;
#endif
    default: return nullptr;
  }
}

}  // namespace qx
