// Writer records and the protocol that swaps rewritten files in: every rewritten file gets a
// "_TEMP" sibling; a commit moves the original to a backup name and the new file into place.
#pragma once

#include <cstdint>
#include <vector>

#include "image/error.hpp"
#include "text/path_string.hpp"

namespace qx {

inline constexpr TextView kTempSuffix = "_TEMP";
inline constexpr TextView kBackupSuffix = "_DEL";

struct ReplacementEntry {
  PathBuffer<4096> target;     // empty when the entry is unused
  PathBuffer<4096> temporary;  // empty when no file was produced
};

// Single-file images.
struct Replacement {
  bool active = false;
  ReplacementEntry entry;
};

// Images of several files, one entry per rewritten file.
struct ReplacementList {
  uint32_t count = 0;
  std::vector<ReplacementEntry> entries;
};

// What a trim fills and the driver commits or discards: a single entry, a list, or both.
struct WriterRecord {
  Replacement single;
  ReplacementList list;
};

// Sets the entry's target and its "_TEMP" name; ERR_UNSUPPORTED when a name does not fit.
ErrorCode set_replacement_names(ReplacementEntry& entry, TextView target);

ErrorCode commit_replacement(Replacement& record, TextView suffix, bool delete_backup, bool quiet);
ErrorCode discard_replacement(Replacement& record);

// Allocates n empty entries; false when memory runs out.
[[nodiscard]] bool reserve_replacement_list(ReplacementList& list, uint32_t n) noexcept;
ErrorCode commit_replacement_list(ReplacementList& list, TextView suffix, bool delete_backup,
                                  bool quiet);
ErrorCode discard_replacement_list(ReplacementList& list);

// The single entry first; the list only when that succeeded.
ErrorCode commit_writer_record(WriterRecord& record, TextView suffix, bool delete_backup, bool quiet);
ErrorCode discard_writer_record(WriterRecord& record);

}  // namespace qx
