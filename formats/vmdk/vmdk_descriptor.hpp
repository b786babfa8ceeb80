// The VMDK descriptor: the text (embedded in a sparse extent or a file of its own) that names the
// create type, the extent files, the parent and the identity of a VMware virtual disk.
#pragma once

#include <cstdint>
#include <vector>

#include "image/error.hpp"
#include "image/file.hpp"
#include "text/text_view.hpp"

namespace qx {

inline constexpr uint32_t kMaxVmdkExtents = 1000;
inline constexpr uint32_t kMaxDescriptorBytes = 0x20000;

struct VmdkExtentEntry {
  uint32_t size = 0;      // sectors
  TextView file_name;     // between the quotes, untrimmed
  TextEncoding name_encoding = TextEncoding::Utf8;  // the text's encoding at its line
  uint32_t is_flat = 0;   // 0 SPARSE, 1 FLAT or VMFS
  uint64_t offset = 0;    // sectors into the file (flat extents)
};

struct VmdkDescriptor {
  uint32_t is_split = 0;
  uint32_t is_flat = 0;
  uint32_t is_child = 0;
  std::vector<VmdkExtentEntry> extents;
  bool encoding_absent = true;
  TextView encoding_value;
  uint32_t encoding_code = 0;  // 0 none, 1 Shift_JIS, 2 UTF-8, 3 other
  TextEncoding text_encoding = TextEncoding::Utf8;
  TextView cid, parent_cid, create_type, parent_file_name_hint;
  TextEncoding hint_encoding = TextEncoding::Utf8;
  int32_t virtual_hw_version = -1;
  bool uuid_absent = true;
  TextView uuid;
  uint32_t cylinders = 0, heads = 0, sectors = 0;
  int32_t adapter_type = -1;  // 0 ide, 1 buslogic, 2 lsilogic
  // Whether the create type keeps the disk in a single extent that is the descriptor's own file.
  bool extent_is_own_file() const noexcept { return !is_split && !is_flat; }
};

struct KeyValueLine {
  TextView key;
  TextView value;
};
struct ExtentLine {
  TextView access, size, type, file_name, offset;
};

// The key = value grammar, bare value (quoted false) or value between double quotes (quoted true).
[[nodiscard]] bool parse_key_value_line(TextView line, bool quoted, TextEncoding enc,
                                        KeyValueLine& out) noexcept;
// access size type "file name" [offset] [# comment]
[[nodiscard]] bool parse_extent_line(TextView line, TextEncoding enc, ExtentLine& out) noexcept;
// Views of `out` point into `text`.
[[nodiscard]] bool parse_vmdk_descriptor(TextView text, VmdkDescriptor& out) noexcept;

// Reads the embedded or separate descriptor of an open file into `text` and parses it.
ErrorCode read_vmdk_descriptor(File& file, VmdkDescriptor& out, std::vector<char>& text);

// The 32-bit value of a CID written in hexadecimal; false when it is not one.
[[nodiscard]] bool parse_cid(TextView value, uint32_t& out) noexcept;

}  // namespace qx
