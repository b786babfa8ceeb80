// Writer records and the protocol that swaps rewritten files in: every rewritten file gets a
// "_TEMP" sibling; a commit keeps the original under a backup name and puts the new file in its
// place without the name ever being empty (a second name for the original, then one rename over
// it), for all files of an image or, after any failure, for none of them.
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

// What a commit tells as it goes, for its caller to show: a backup it is about to delete, and an
// image whose name was briefly empty because its file system cannot make links.
enum class SwapEvent : uint8_t { kDeletingBackup, kSwappedWithoutLink };
struct SwapNotice {
  void (*tell)(SwapEvent event, TextView path, void* user) noexcept = nullptr;  // null: tell nobody
  void* user = nullptr;
};

// Sets the entry's target and its "_TEMP" name; ERR_UNSUPPORTED when a name does not fit. While
// a trim runs the target is held from then on (ERR_OPEN when another process uses it).
ErrorCode set_replacement_names(ReplacementEntry& entry, TextView target);

// A commit refuses files that changed since the trim held them (image/file_guard.hpp), publishes
// only new files that are regular and have no other name, gives them the old files' owner and
// permissions, and syncs files and folders. Without -d the backup is target + suffix (an older
// one is replaced once the new one exists); with it the backups go last, each announced to the
// notice first. A failure puts every file back, removes every new file
// and answers ERR_CREATE (ERR_UNSUPPORTED for a name that does not fit); only a failure to
// delete a second or later backup leaves the set new, since an old file is then already gone.
ErrorCode commit_replacement(Replacement& record, TextView suffix, bool delete_backup,
                             SwapNotice notice = {});
ErrorCode discard_replacement(Replacement& record);

// Allocates n empty entries; false when memory runs out.
[[nodiscard]] bool reserve_replacement_list(ReplacementList& list, uint32_t n) noexcept;
ErrorCode commit_replacement_list(ReplacementList& list, TextView suffix, bool delete_backup,
                                  SwapNotice notice = {});
ErrorCode discard_replacement_list(ReplacementList& list);

// The single entry first; the list only when that succeeded.
ErrorCode commit_writer_record(WriterRecord& record, TextView suffix, bool delete_backup,
                               SwapNotice notice = {});
ErrorCode discard_writer_record(WriterRecord& record);

// For tests alone: the swap leaves out the folder sync that makes the backups' names durable
// before the new files take the names, so that a crash sweep can show it catches the gap.
void set_swap_skips_backup_sync(bool skip) noexcept;

}  // namespace qx
