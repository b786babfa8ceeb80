// The number of every format: its row in the driver table, or a negative number for the formats
// that live outside it. The numbers are part of the inspection tool's JSON and never change.
#pragma once

#include <cstdint>

#include "formats/format_ids.hpp"
#include "image/disk_image.hpp"

namespace qx {

inline constexpr FormatId FORMAT_VMDK = 0;
inline constexpr FormatId FORMAT_VMDK_SPARSE = 1;
inline constexpr FormatId FORMAT_VMDK_SPLIT_SPARSE = 2;
inline constexpr FormatId FORMAT_VMDK_SPARSE_HINT = 3;
inline constexpr FormatId FORMAT_VMDK_SPLIT_SPARSE_HINT = 4;
inline constexpr FormatId FORMAT_COWD3 = 5;
inline constexpr FormatId FORMAT_COWD3_REDO = 6;
inline constexpr FormatId FORMAT_COWD1 = 7;
inline constexpr FormatId FORMAT_COWD1_REDO = 8;
inline constexpr FormatId FORMAT_VHDX = 9;
inline constexpr FormatId FORMAT_VHD = 10;
inline constexpr FormatId FORMAT_VHD_FIXED = 11;
inline constexpr FormatId FORMAT_VHD_CXSPARSE = 12;
inline constexpr FormatId FORMAT_VHD_511 = 13;
inline constexpr FormatId FORMAT_VHD_CXSPARSE2 = 14;
inline constexpr FormatId FORMAT_PARALLELS = 15;
inline constexpr FormatId FORMAT_PARALLELS_BUNDLE = 16;
inline constexpr FormatId FORMAT_BOCHS = 17;
inline constexpr FormatId FORMAT_CHAINED = 18;
inline constexpr FormatId FORMAT_QCOW = 19;
inline constexpr FormatId FORMAT_VDI = 20;
inline constexpr FormatId FORMAT_CHD = 21;
inline constexpr FormatId FORMAT_HDI = 22;
inline constexpr FormatId FORMAT_THD = 23;
inline constexpr FormatId FORMAT_NHD = 24;
inline constexpr FormatId FORMAT_HDD = 25;
inline constexpr FormatId FORMAT_FIXED_69M = 26;
inline constexpr FormatId FORMAT_H0 = 27;
inline constexpr FormatId FORMAT_QCOW2 = 28;
inline constexpr FormatId FORMAT_RAW = 29;
inline constexpr int32_t kFormatTableSize = 30;

// Outside the table (the image layer's own flat and window images are -1 and -5).
inline constexpr FormatId FORMAT_NVT = -2;
inline constexpr FormatId FORMAT_SPLIT_RAW = -3;

// Openers of the probing order that are no driver of their own.
inline constexpr int32_t kAttemptNdi = -101;
inline constexpr int32_t kAttemptSplitRawText = -103;
inline constexpr int32_t kAttemptSplitRawPart = -104;
// A raw disk named so by the user (-f raw), whatever the file's name.
inline constexpr int32_t kAttemptNamedRaw = -105;

}  // namespace qx
