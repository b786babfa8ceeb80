#include "app/run_outcome.hpp"

#include <array>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "app/inspect.hpp"
#include "formats/format_ids.hpp"
#include "formats/raw/raw.hpp"
#include "image/detect.hpp"
#include "image/file.hpp"
#include "image/replacement.hpp"
#include "platform/file_ops.hpp"

namespace qx {
namespace {

std::string system_words(const FileFailure& f) {
  return f.error ? std::string(": ") + std::strerror(f.error) : std::string();
}

std::string bytes_text(uint64_t n) {
  char text[64];
  std::snprintf(text, sizeof text, "%" PRIu64 " bytes", n);
  return text;
}

void json_list(const std::vector<std::string>& names) {
  std::fputc('[', stdout);
  for (size_t i = 0; i < names.size(); ++i)
    std::printf("%s%s", i ? ", " : "", json_quote(names[i]).c_str());
  std::fputc(']', stdout);
}

}  // namespace

uint64_t folder_free_bytes(std::string_view path) {
  const std::string folder(platform::folder_of(path, platform::last_separator(path)));
  uint64_t free = 0;
  return platform::folder_free_bytes(folder.c_str(), free) ? free : UINT64_MAX;  // unknown: the writes will tell
}

Reason no_room(uint64_t needed, uint64_t free) {
  return {"no_space", "out of space for the new file beside the image: it needs " + bytes_text(needed) +
                          ", the folder has " + bytes_text(free) + " free; nothing was written"};
}

Reason failure_reason(ErrorCode code, std::string_view image) {
  const FileFailure f = last_file_failure();
  if (f.error == ENOSPC || f.error == EDQUOT) {
    FileInfo info;
    const uint64_t size = file_info(image, info) ? info.size : 0;
    return {"no_space", "out of space for the new file beside the image: it needs up to " +
                            bytes_text(size) + " (the size of the image), the folder has " +
                            bytes_text(folder_free_bytes(image)) + " free"};
  }
  switch (code) {
    case CANCELLED:
      return {"interrupted", "interrupted by a signal before the swap; the image is as it was"};
    case ERR_NO_MEMORY: return {"no_memory", "out of memory"};
    case ERR_READ: return {"read_failed", "a read failed" + system_words(f)};
    case ERR_WRITE:
    case ERR_FILE_SIZE: return {"write_failed", "a write of the new file failed" + system_words(f)};
    case ERR_CREATE:
      if (f.error == EEXIST)
        return {"name_taken", "a link or folder holds the name of the new file (the image's name with "
                              "_TEMP or _DEL_TEMP added); remove it, nothing is ever written through it"};
      return {"create_failed", "the new file could not be created or put in place" + system_words(f)};
    case ERR_OPEN: return {"cannot_open", "a file of the image could not be opened" + system_words(f)};
    case ERR_BAD_FORMAT:
    case ERR_BAD_RECORD:
    case ERR_LAYOUT:
    case ERR_FILE_SYSTEM:
      return {"image_damaged", std::string("the image holds a table entry or structure that is out of range or "
                                     "out of place, met only as it was copied (") +
                             error_name(code) + "); check it with its hypervisor's tools (qemu-img check)"};
    case ERR_UNSUPPORTED:
      return {"unsupported", std::string("the image holds a layout this tool cannot rewrite (") + error_name(code) +
                                 "); the image is as it was"};
    case ERR_KEY_REQUIRED: return {"encrypted", "the image, or a file it refers to, is encrypted"};
    default: break;
  }
  return {"failed", std::string("the trim failed on an error of this tool's own (") + error_name(code) + ")" +
                        system_words(f)};
}

Reason not_regular_reason() {
  if (!refused_file_type()) return {};
  return {"not_a_regular_file", std::string(refused_file_path()) + " is " + file_type_words(refused_file_type()) +
                                    ", not an image file: every file of an image (its backing file, "
                                    "parent or extents too) must be a regular file"};
}

Reason unfinishable_swap_reason() {
  return {"unfinished_swap", "a run was cut off in the middle of the swap of this image's files, and the "
                             "swap cannot be finished" + system_words(last_file_failure())};
}

Reason untrusted_journal_reason(std::string_view image) {
  const std::string journal = std::string(image) + std::string(kJournalSuffix);
  FileInfo info;
  const bool file = !file_info(journal, info) || info.regular();
  return {"untrusted_journal",
          journal + (file ? " is not the journal of a swap of this image's own files (it names other "
                            "files, files outside the image's folder or a foreign suffix)"
                          : std::string(" is ") + file_type_words(info.type_and_mode) +
                                ", not the journal of a swap of this image's files") +
              "; nothing was renamed or removed and the image was not trimmed. Look at that file: if "
              "no run of quorvex over this image was cut off, you did not expect it; remove it, then "
              "run again"};
}

std::string format_note(const DiskImage& image, std::string_view path) {
  const bool raw_layout = image.format == FORMAT_RAW || image.format == FORMAT_FLAT ||
                          image.format == FORMAT_SPLIT_RAW || image.format == FORMAT_WINDOW;
  if (raw_layout || !raw_disk_name(path)) return {};
  return std::string("named like a raw disk, but the file reads as a ") + format_name(image.format) +
         " image and is taken as one; if it is a raw disk (whose guest wrote that header at its start), "
         "give -f raw";
}

bool is_format_name(std::string_view name) noexcept {
  std::array<int32_t, kMaxDetectionAttempts> order;
  return named_format_order(name, order) != 0;
}

Reason refusal_reason(std::string_view fallback_key, std::string fallback) {
  if (const char* note = refusal_note())
    return {refusal_key() ? refusal_key() : std::string(fallback_key), note};
  return {std::string(fallback_key), std::move(fallback)};
}

Reason unresolved_reason(int error) {
  if (error == ENOENT) return {"not_found", "the file does not exist"};
  return {"cannot_open", std::string("the path cannot be followed: ") + std::strerror(error)};
}

Reason open_reason(ErrorCode rc, std::string_view resolved, std::string_view format) {
  if (rc == ERR_NO_MEMORY || rc == ERR_READ) return failure_reason(rc, resolved);
  if (Reason why = not_regular_reason(); !why.empty()) return why;
  if (rc == ERR_OPEN && !refusal_note()) {
    const FileFailure f = last_file_failure();
    return {"cannot_open", "the image, or a file it refers to (a parent, an extent), cannot be opened" +
                               system_words(f)};
  }
  if (rc == ERR_KEY_REQUIRED) return refusal_reason("encrypted", "the image is encrypted");
  if (!format.empty())
    return refusal_reason("unknown_format", "the image does not open as " + std::string(format) +
                                                " (named with -f): it is not one, or one damaged "
                                                "beyond recognition");
  return refusal_reason("unknown_format",
                        "no known image format (or an image damaged beyond recognition)");
}

Reason parent_chain_reason(ErrorCode rc) {
  if (rc == ERR_UNSUPPORTED)
    return {"log_not_replayed", "the image (or a parent) holds writes in its log that were never "
                                "applied; open it once in the hypervisor that wrote it"};
  return {"wrong_parent", "the parent image is not the disk this image was made over"};
}

Reason map_failure_reason(ErrorCode rc, std::string_view resolved) {
  Reason why = failure_reason(rc, resolved);
  // A device that failed a read is said as such, wherever the run met it.
  if (why.key != "no_memory" && why.key != "read_failed") why.key = "map_failed";
  why.text = "the partitions and file systems could not be read: " + why.text;
  return why;
}

Reason usage_reason(std::string_view program, std::string_view argument, std::string_view why) {
  std::string text(argument);
  if (!text.empty()) text += ": ";
  return {"usage", text.append(why) + "; " + std::string(program) + " --help explains the arguments"};
}

void print_reason_line(std::FILE* to, std::string_view program, std::string_view subject,
                       const Reason& reason) {
  std::fprintf(to, "%.*s: ", static_cast<int>(program.size()), program.data());
  if (!subject.empty()) std::fprintf(to, "%.*s: ", static_cast<int>(subject.size()), subject.data());
  std::fprintf(to, "%s\n", reason.text.c_str());
}

Reason why_not_trimmed(const DiskImage& image) {
  clear_refusal();
  if (can_trim(image)) return {};
  return refusal_reason("read_only_format",
                        std::string(format_name(image.format)) + " images are read but not trimmed");
}

std::string json_quote(std::string_view s) {
  std::string out = "\"";
  for (const unsigned char c : s) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      char esc[8];
      std::snprintf(esc, sizeof esc, "\\u%04x", c);
      out += esc;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + '"';
}

int end_run(const RunOutcome& run, int exit_status, bool word) {
  if (!run.reason.empty())
    print_reason_line(stderr, "quorvex", run.usage_error ? std::string_view() : run.shown_path, run.reason);
  if (run.json) {
    std::printf("{\"event\": \"result\", \"result\": \"%s\", \"exit_status\": %d, \"path\": %s, "
                "\"size_before\": %" PRIu64 ", \"size_after\": %" PRIu64 ", \"new_files\": ",
                exit_status == 0 ? "SUCCESS" : "ERROR", exit_status,
                json_quote(run.shown_path).c_str(), run.size_before, run.size_after);
    json_list(run.new_files);
    std::fputs(", \"backups\": ", stdout);
    json_list(run.backups);
    if (run.reason.empty())
      std::fputs(", \"reason\": null}\n", stdout);
    else
      std::printf(", \"reason\": {\"key\": %s, \"text\": %s}}\n", json_quote(run.reason.key).c_str(),
                  json_quote(run.reason.text).c_str());
  } else if (word && !run.silent) {
    std::printf("\n%s\n", exit_status == 0 ? "SUCCESS" : "ERROR");
  }
  std::fflush(stdout);
  return exit_status;
}

}  // namespace qx
