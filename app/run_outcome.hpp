// What a run of quorvex tells when it ends: why it failed, on standard error, and for --json the
// events and the final object on standard output (a stable interface: see man/quorvex.1).
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "image/disk_image.hpp"
#include "image/error.hpp"

namespace qx {

// A stable short key (listed in the manual page) and words a user can act on.
struct Reason {
  std::string key;
  std::string text;
  bool empty() const noexcept { return key.empty(); }
};

struct RunOutcome {
  std::string_view shown_path;  // the image as the user named it
  bool usage_error = false;     // the reason names the argument at fault, not the image
  bool json = false;
  bool silent = false;
  Reason reason;
  uint64_t size_before = 0;
  uint64_t size_after = 0;
  std::vector<std::string> new_files;
  std::vector<std::string> backups;
};

// The reason of a run that ended in `code`, from what the file primitives saw fail last; `image`
// is the resolved path (its folder is where the new file goes).
Reason failure_reason(ErrorCode code, std::string_view image);
// The refusal a driver left (refusal_note), or `fallback_key` with `fallback` words.
Reason refusal_reason(std::string_view fallback_key, std::string fallback);
// Why the image's path leads to no file (`error` from the resolution: ENOENT or another).
Reason unresolved_reason(int error);
// Why open_image failed with `rc`; `format`: the format the user named (-f), if any.
Reason open_reason(ErrorCode rc, std::string_view resolved, std::string_view format = {});
// Why an opened image's parent chain is not to be read (parent_chain_status answered `rc`).
Reason parent_chain_reason(ErrorCode rc);
// Why the partitions and file systems of an opened image could not be read.
Reason map_failure_reason(ErrorCode rc, std::string_view resolved);
// The reason naming a file that an open refused for not being a regular file (a FIFO, a device, a
// folder named as a backing file, parent or extent); empty when none was refused.
Reason not_regular_reason();
// Why a swap that a crash cut off could not be finished (from the file call that failed last).
Reason unfinishable_swap_reason();
// Why the journal beside the image (see judge_cut_off_swap) is not acted on, and what to do.
Reason untrusted_journal_reason(std::string_view image);
// A word on the format the image was found to have, when its name says otherwise: a ".img",
// ".raw" or ".bin" file read as a container format (a raw disk whose guest wrote such a header
// at its start reads so too); empty otherwise.
std::string format_note(const DiskImage& image, std::string_view path);
// Whether -f may name this format.
[[nodiscard]] bool is_format_name(std::string_view name) noexcept;
// Why quorvex would not trim the opened image; empty when it would.
Reason why_not_trimmed(const DiskImage& image);

// The "usage" reason of an argument (none: the image is missing) that `program` does not take,
// its text led by the argument.
Reason usage_reason(std::string_view program, std::string_view argument, std::string_view why);
// "PROGRAM: SUBJECT: TEXT", or "PROGRAM: TEXT" without a subject, on its own line.
void print_reason_line(std::FILE* to, std::string_view program, std::string_view subject,
                       const Reason& reason);

// Prints the reason line (on a success too, when it has one), then (unless silent) the result word, or with
// --json the final object; returns `exit_status`. `word` is false for the failures that have
// always ended without a word.
int end_run(const RunOutcome& run, int exit_status, bool word = true);

// Free bytes of the folder that holds `path`, for whoever may write there.
uint64_t folder_free_bytes(std::string_view path);
// The reason of a new file that cannot fit: what it needs and what the folder has.
Reason no_room(uint64_t needed, uint64_t free);

// A JSON string literal of s.
std::string json_quote(std::string_view s);

}  // namespace qx
