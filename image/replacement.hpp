// Writer records and the protocol that swaps rewritten files in: every rewritten file gets a
// "_TEMP" sibling; a commit keeps the original under a backup name and puts the new file in its
// place without the name ever being empty (a second name for the original, then one rename over
// it), for all files of an image or, after any failure, for none of them. The renames of several
// files cannot be one: their swap is written first to a journal beside the image, so that after a
// power cut in the middle the next run finishes it (or undoes it) and nothing reads the files
// meanwhile.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "image/error.hpp"
#include "text/path_string.hpp"

namespace qx {

inline constexpr TextView kTempSuffix = "_TEMP";
inline constexpr TextView kBackupSuffix = "_DEL";
inline constexpr TextView kJournalSuffix = "_SWAP";

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
  // The image as it was opened: a swap of several files keeps its journal under this name plus
  // kJournalSuffix while it runs. Set by trim_image.
  PathBuffer<4096> image;
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

// The single entry and the list as one swap; with more than one file, and record.image set,
// through the journal.
ErrorCode commit_writer_record(WriterRecord& record, TextView suffix, bool delete_backup,
                               SwapNotice notice = {});
ErrorCode discard_writer_record(WriterRecord& record);

// For tests alone: the swap leaves out the folder sync that makes the backups' names durable
// before the new files take the names, so that a crash sweep can show it catches the gap.
void set_swap_skips_backup_sync(bool skip) noexcept;
// For tests alone: swaps of several files go without their journal.
void set_swap_skips_journal(bool skip) noexcept;

// What a journal says: the backup suffix, each file with what its swap was to do, and after an
// in-process failure the stage each file had reached (its way back).
struct SwapJournalEntry {
  std::string target;
  bool has_new = false;  // a "_TEMP" takes the name; else the file leaves it
  bool existed = false;  // there was an old file
  bool linked = false;   // the old file has a second name, the pending backup
  uint8_t stage = 0;
};
struct SwapJournal {
  std::string suffix;
  std::vector<SwapJournalEntry> entries;
  bool back = false;  // the swap failed and was being undone
};
// False for anything but a whole journal (a crash while it was written leaves a part of one).
[[nodiscard]] bool parse_swap_journal(std::span<const uint8_t> bytes, SwapJournal& out);

// A journal is a file beside the image that anybody who may write there could have planted: it is
// acted on only when it names the image's own files (`own_files`, their paths as the image's
// format lists them) by plain names of the image's folder, each at most once, with this tool's
// backup suffix. `folder` is that folder, ending in its separator (see journal_folder). Fills
// `out` with each file's names; false for anything else.
[[nodiscard]] bool journal_targets(const SwapJournal& journal, TextView folder,
                                   std::span<const std::string> own_files,
                                   std::vector<ReplacementEntry>& out);
// The folder whose files the journal of `image` names: a folder image's own (a bundle), else the
// one that holds the image; empty for a bare name. False when it does not fit.
[[nodiscard]] bool journal_folder(TextView image, PathString& out) noexcept;

// True when the journal of a swap of the image's files is there: until a run of quorvex finishes
// that swap, the files may be of two generations and are not read.
[[nodiscard]] bool cut_off_swap_pending(TextView image) noexcept;

enum class JournalVerdict : uint8_t {
  kNone,        // no journal
  kUnreadable,  // there, but it cannot be read now
  kPartial,     // not whole: cut off before the first rename, never acted on
  kTrusted,     // a swap of the image's own files that a run finishes
  kUntrusted,   // anything else (also no regular file): never acted on
};
// What the journal beside `image` is, judged against the image's files, without acting on it.
[[nodiscard]] JournalVerdict judge_cut_off_swap(TextView image,
                                                std::span<const std::string> own_files) noexcept;
// Finishes (or, when it had failed, undoes) a swap that a crash cut off, then removes its journal;
// `found` tells whether there was one. A journal that is not whole was never acted on: it goes
// alone. ERR_BAD_RECORD for a journal that is not trusted (nothing renamed or removed, the journal
// stays for the user to look at); ERR_CREATE when a step fails (the journal stays for the next try).
ErrorCode finish_cut_off_swap(TextView image, std::span<const std::string> own_files, bool& found);

}  // namespace qx
