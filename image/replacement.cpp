#include "image/replacement.hpp"

#include <algorithm>
#include <charconv>
#include <string>

#include "image/file.hpp"
#include "image/file_guard.hpp"
#include "platform/file_ops.hpp"
#include "text/paths.hpp"

namespace qx {
namespace {

bool g_skip_backup_sync = false;
bool g_skip_journal = false;

// Longest journal read back: a name per file, of at most a path each.
constexpr uint64_t kMaxJournalBytes = uint64_t{16} << 20;
constexpr TextView kJournalHead = "quorvex swap\n";

// Where one file of a swap stands; the way back from each stage is in roll_back.
enum class Stage : uint8_t {
  kReady,       // nothing changed yet
  kLinked,      // the pending backup is a second name of the old file
  kMovedAside,  // no links here: the old file went to the backup name, its own name is free
  kSwapped,     // the new file has the name; the old one is under the pending backup
  kBackedUp,    // the new file has the name; the old one is under the backup name
  kCreated,     // there was no old file; the new one has the name
  kDeleted,     // the backup is gone: no way back
};

struct Swap {
  const ReplacementEntry* entry = nullptr;
  PathBuffer<4096> backup;
  PathBuffer<4096> pending;  // the backup while it is being made, so that an older one survives
  FileInfo old_file;
  FileInfo new_file;
  bool existed = false;
  bool linked = false;
  Stage stage = Stage::kReady;

  TextView target() const noexcept { return entry->target.view(); }
  TextView temporary() const noexcept { return entry->temporary.view(); }
};

// The swap of a set of files as one: every file takes its new content, or after any failure
// every file is put back as it was and no new file is left.
class Transaction {
 public:
  Transaction(TextView suffix, bool delete_backup, SwapNotice notice) noexcept
      : suffix_(suffix), delete_backup_(delete_backup), notice_(notice) {}

  ErrorCode add(const ReplacementEntry& e) noexcept;
  // Where the journal goes when the swap has more than one file.
  [[nodiscard]] bool set_image(TextView image) noexcept;
  ErrorCode run() noexcept;
  void abandon() noexcept;  // removes every new file; the old ones were never touched
  // After a crash: the swap `journal` describes, over `entries` (its files' names), taken up where
  // the names show it stopped.
  ErrorCode recover(const SwapJournal& journal, const std::vector<ReplacementEntry>& entries) noexcept;

 private:
  ErrorCode prepare(Swap& s) noexcept;
  bool write_journal() noexcept;
  bool mark_journal_back() noexcept;
  bool end_journal() noexcept;
  bool link_backups() noexcept;
  bool swap_names() noexcept;
  bool name_backups() noexcept;
  bool delete_backups(bool& past_return) noexcept;
  bool sync_folders() noexcept;
  void roll_back() noexcept;
  void tell(SwapEvent event, TextView path) const noexcept {
    if (notice_.tell) notice_.tell(event, path, notice_.user);
  }

  TextView suffix_;
  bool delete_backup_;
  SwapNotice notice_;
  std::vector<Swap> swaps_;
  PathBuffer<4096> journal_;  // empty: no journal
  PathBuffer<4096> folder_;   // the image's folder, whose files the journal names
  uint64_t journal_length_ = 0;
  bool journaled_ = false;    // the journal is on the disk: the next run would finish the swap
};

bool named(TextView path) noexcept {
  FileInfo info;
  return file_info(path, info);
}

bool named_file(TextView path) noexcept {
  FileInfo info;
  return file_info(path, info) && info.regular();
}

// A name of the image's folder itself: no separator of either kind on any system, no drive, not
// "." or "..".
bool plain_name(TextView name) noexcept {
  return !name.empty() && name != "." && name != ".." && name.find('\\') == TextView::npos &&
         is_valid_stored_name(name, TextEncoding::Utf8);
}

// One file's way back from `stage`. Each step is skipped once done, so that a recovery after a
// crash in the middle can repeat it.
bool undo(Stage stage, const Swap& s) noexcept {
  switch (stage) {
    case Stage::kLinked: return remove_stale_file(s.pending.view());
    case Stage::kMovedAside:
    case Stage::kBackedUp: return !named(s.backup.view()) || file_rename(s.backup.view(), s.target());
    case Stage::kSwapped: return !named(s.pending.view()) || file_rename(s.pending.view(), s.target());
    case Stage::kCreated: return remove_stale_file(s.target());
    case Stage::kReady:
    case Stage::kDeleted: break;
  }
  return true;
}

void append_name(std::string& out, TextView name) {
  out += std::to_string(name.size());
  out += ':';
  out.append(name.data(), name.size());
}

ErrorCode Transaction::add(const ReplacementEntry& e) noexcept {
  if (e.target.empty()) return OK;
  try {
    swaps_.emplace_back();
  } catch (...) {
    return ERR_NO_MEMORY;
  }
  Swap& s = swaps_.back();
  s.entry = &e;
  if (!s.backup.assign(e.target.view(), suffix_) || !s.pending.assign(s.backup.view(), kTempSuffix))
    return ERR_UNSUPPORTED;
  return OK;
}

ErrorCode Transaction::prepare(Swap& s) noexcept {
  s.existed = file_info(s.target(), s.old_file);
  // Only a regular file is replaced, and only the one the trim read, as it was then.
  if (s.existed && !s.old_file.regular()) return ERR_CREATE;
  if (check_replaced_file(s.target()) != OK) return ERR_CREATE;
  if (!s.temporary().empty() &&
      !seal_new_file(s.temporary(), s.existed ? &s.old_file : nullptr, s.new_file))
    return ERR_CREATE;
  return OK;
}

bool Transaction::set_image(TextView image) noexcept {
  return image.empty() || (journal_.assign(image, kJournalSuffix) && journal_folder(image, folder_));
}

// Written once every new file and every pending backup is on the disk, before the first rename:
// from the moment it is whole on the disk, a crash leaves a swap that the next run finishes.
bool Transaction::write_journal() noexcept {
  if (journal_.empty() || swaps_.size() < 2 || g_skip_journal) return true;
  // Only what a later run would trust: the files' plain names in the image's folder.
  if (suffix_ != kBackupSuffix) return false;
  std::string text;
  try {
    text.assign(kJournalHead.data(), kJournalHead.size());
    text += "suffix ";
    append_name(text, suffix_);
    text += '\n';
    for (const Swap& s : swaps_) {
      TextView folder, name;
      split_host_dir(s.target(), folder, name);
      if (!same_host_path(folder, folder_.view()) || !plain_name(name)) return false;
      text += !s.temporary().empty() ? '1' : '0';
      text += s.existed ? '1' : '0';
      text += s.linked ? '1' : '0';
      text += ' ';
      append_name(text, name);
      text += '\n';
    }
    text += "end\n";
  } catch (...) {
    return false;
  }
  File file = File::create(journal_.view());
  const std::span<const uint8_t> bytes(reinterpret_cast<const uint8_t*>(text.data()), text.size());
  if (!file || !file.write_at(0, bytes) || !file.sync() || !file.close()) {
    (void)remove_stale_file(journal_.view());
    return false;
  }
  journal_length_ = text.size();
  if (!sync_parent_folder(journal_.view())) {
    // The journal may be on the disk after all: the swap is undone through it.
    journaled_ = true;
    return false;
  }
  journaled_ = true;
  return true;
}

// Before a swap that failed is undone: the names reached are made durable, then the journal says
// how far each file got, so that a crash during the undoing is undone in turn.
bool Transaction::mark_journal_back() noexcept {
  if (!sync_folders()) return false;
  std::string text;
  try {
    text = "back ";
    for (const Swap& s : swaps_) text += static_cast<char>('0' + static_cast<int>(s.stage));
    text += '\n';
  } catch (...) {
    return false;
  }
  const std::span<const uint8_t> bytes(reinterpret_cast<const uint8_t*>(text.data()), text.size());
  File file = File::open_existing(journal_.view(), false);
  return file && file.write_at(journal_length_, bytes) && file.sync() && file.close();
}

bool Transaction::end_journal() noexcept {
  if (!journaled_) return true;
  if (!remove_stale_file(journal_.view()) || !sync_parent_folder(journal_.view())) return false;
  journaled_ = false;
  return true;
}

bool Transaction::link_backups() noexcept {
  for (Swap& s : swaps_) {
    if (!s.existed) continue;
    // A run cut off after this step left the very link: Windows would not remove it while the
    // file is held, and it already is what the step makes.
    FileInfo left;
    if (file_info(s.pending.view(), left) && left.regular() && left.same_file(s.old_file)) {
      s.linked = true;
      s.stage = Stage::kLinked;
      continue;
    }
    if (!remove_stale_file(s.pending.view())) return false;
    bool unsupported = false;
    if (!file_link(s.target(), s.pending.view(), unsupported)) {
      if (!unsupported) return false;
      tell(SwapEvent::kSwappedWithoutLink, s.target());
      continue;
    }
    s.linked = true;
    s.stage = Stage::kLinked;
    FileInfo backup;
    if (!file_info(s.pending.view(), backup) || !backup.same_file(s.old_file)) return false;
  }
  return g_skip_backup_sync || sync_folders();
}

bool Transaction::swap_names() noexcept {
  for (Swap& s : swaps_) {
    if (s.existed && !s.linked) {
      // The two renames of old, for file systems without links: for a moment the name is empty.
      // The first is made durable before the second, else a crash could keep only the second,
      // which takes the old file's name and with it the only copy of the old file.
      if (!file_rename(s.target(), s.backup.view())) return false;
      s.stage = Stage::kMovedAside;
      if (!sync_parent_folder(s.target())) return false;
    }
    if (!s.temporary().empty()) {
      if (!file_rename(s.temporary(), s.target())) return false;
      s.stage = !s.existed ? Stage::kCreated : s.linked ? Stage::kSwapped : Stage::kBackedUp;
      FileInfo now;
      if (!file_info(s.target(), now) || !now.same_file(s.new_file)) return false;
    } else if (s.linked) {
      // A file that the image no longer needs: it leaves its name and keeps only the backup.
      if (!file_remove(s.target())) return false;
      s.stage = Stage::kSwapped;
    } else if (s.existed) {
      s.stage = Stage::kBackedUp;
    }
  }
  return sync_folders();
}

bool Transaction::name_backups() noexcept {
  bool renamed = false;
  for (Swap& s : swaps_) {
    if (s.stage != Stage::kSwapped) continue;
    if (!file_rename(s.pending.view(), s.backup.view())) return false;
    s.stage = Stage::kBackedUp;
    renamed = true;
  }
  return !renamed || sync_folders();
}

bool Transaction::delete_backups(bool& past_return) noexcept {
  for (Swap& s : swaps_) {
    if (s.stage != Stage::kBackedUp) continue;
    tell(SwapEvent::kDeletingBackup, s.backup.view());
    if (!file_remove(s.backup.view())) return false;
    s.stage = Stage::kDeleted;
    past_return = true;
  }
  return true;
}

bool Transaction::sync_folders() noexcept {
  try {
    std::vector<std::string> done;
    for (const Swap& s : swaps_) {
      const TextView t = s.target();
      const std::string folder(t.substr(0, platform::last_separator(t) + 1));
      bool seen = false;
      for (const std::string& d : done) seen = seen || d == folder;
      if (seen) continue;
      if (!sync_parent_folder(t)) return false;
      done.push_back(folder);
    }
    return true;
  } catch (...) {
    return false;
  }
}

void Transaction::roll_back() noexcept {
  // Without its mark a journal would have a crash during the undoing finished the other way (a
  // mark that cannot be written is a second fault: the undoing goes on).
  if (journaled_) (void)mark_journal_back();
  bool undone = true;
  for (auto it = swaps_.rbegin(); it != swaps_.rend(); ++it) {
    undone = undo(it->stage, *it) && undone;
    if (it->stage != Stage::kDeleted) it->stage = Stage::kReady;
  }
  abandon();
  undone = sync_folders() && undone;
  // A set not whole again stays behind its journal: nothing reads it, the next run tries again.
  if (undone) (void)end_journal();
}

void Transaction::abandon() noexcept {
  for (const Swap& s : swaps_)
    if (!s.temporary().empty()) (void)remove_stale_file(s.temporary());
}

ErrorCode Transaction::run() noexcept {
  for (Swap& s : swaps_) {
    if (ErrorCode rc = prepare(s); rc != OK) {
      abandon();
      return rc;
    }
  }
  const bool ready = link_backups() && write_journal();
  // Let go before a roll-back too: it removes a backup link, and Windows removes no name of a held
  // file.
  if (platform::kReplacedFilesMustBeClosed)
    for (const Swap& s : swaps_) release_replaced_file(s.target());
  if (!ready || !swap_names() || !name_backups()) {
    roll_back();
    return ERR_CREATE;
  }
  bool past_return = false;
  // The journal goes last: until it is gone from the disk a crash could still finish the swap.
  if ((delete_backup_ && !delete_backups(past_return)) || !end_journal()) {
    // Once one old file is gone the set can only stay new as a whole.
    if (!past_return) roll_back();
    else (void)end_journal();
    return ERR_CREATE;
  }
  return OK;
}

ErrorCode Transaction::recover(const SwapJournal& journal,
                               const std::vector<ReplacementEntry>& entries) noexcept {
  for (size_t i = 0; i < journal.entries.size(); ++i) {
    const SwapJournalEntry& j = journal.entries[i];
    if (ErrorCode rc = add(entries[i]); rc != OK) return rc;
    Swap& s = swaps_.back();
    s.existed = j.existed;
    s.linked = j.linked;
    s.stage = static_cast<Stage>(j.stage);
  }
  bool done = true;
  if (journal.back) {
    for (auto it = swaps_.rbegin(); it != swaps_.rend(); ++it) done = undo(it->stage, *it) && done;
    abandon();
  } else {
    // The same steps as the swap itself, each taken only where the names show it was not.
    for (Swap& s : swaps_) {
      if (!done) break;
      const bool has_new = !s.temporary().empty();
      if (has_new && !named_file(s.temporary())) continue;
      if (s.existed && !s.linked && named(s.target())) {
        done = file_rename(s.target(), s.backup.view()) && sync_parent_folder(s.target());
        if (!done) break;
      }
      if (has_new) done = file_rename(s.temporary(), s.target());
      else if (s.existed && s.linked && named(s.target())) done = file_remove(s.target());
    }
    done = done && sync_folders();
    for (Swap& s : swaps_)
      if (done && s.linked && named_file(s.pending.view())) done = file_rename(s.pending.view(), s.backup.view());
  }
  if (!done || !sync_folders()) return ERR_CREATE;
  if (!file_remove(journal_.view()) || !sync_parent_folder(journal_.view())) return ERR_CREATE;
  return OK;
}

ErrorCode discard_entry(const ReplacementEntry& e) {
  if (!e.temporary.empty()) {
    FileInfo info;
    // Only a file of ours goes: a link or folder that took the name stays untouched.
    if (!file_info(e.temporary.view(), info) || !info.regular() || !file_remove(e.temporary.view()))
      return ERR_CREATE;
  }
  return OK;
}

template <typename Each>
ErrorCode commit_set(Each&& each, TextView suffix, bool delete_backup, SwapNotice notice,
                     TextView image = {}) noexcept {
  Transaction t(suffix, delete_backup, notice);
  ErrorCode rc = t.set_image(image) ? OK : ERR_UNSUPPORTED;
  each([&](const ReplacementEntry& e) {
    if (rc == OK) rc = t.add(e);
  });
  if (rc != OK) {
    t.abandon();
    return rc;
  }
  return t.run();
}

template <typename Visit>
void each_listed(const ReplacementList& list, Visit&& visit) {
  for (uint32_t i = 0; i < list.count && i < list.entries.size(); ++i) visit(list.entries[i]);
}

void clear_list(ReplacementList& list) noexcept {
  list.entries.clear();
  list.count = 0;
}

}  // namespace

void set_swap_skips_backup_sync(bool skip) noexcept { g_skip_backup_sync = skip; }
void set_swap_skips_journal(bool skip) noexcept { g_skip_journal = skip; }

bool parse_swap_journal(std::span<const uint8_t> bytes, SwapJournal& out) {
  out = SwapJournal{};
  const TextView text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  size_t at = 0;
  const auto take = [&](TextView word) {
    if (text.substr(at, word.size()) != word) return false;
    at += word.size();
    return true;
  };
  const auto name = [&](std::string& s) {
    const char* const end = text.data() + text.size();
    size_t length = 0;
    const auto [p, ec] = std::from_chars(text.data() + at, end, length);
    if (ec != std::errc() || p == text.data() + at || p == end || *p != ':') return false;
    at = static_cast<size_t>(p - text.data()) + 1;
    if (length == 0 || length > kMaxPathBytes || length > text.size() - at) return false;
    s.assign(text.substr(at, length));
    at += length;
    return s.find('\0') == std::string::npos;
  };
  try {
    if (!take(kJournalHead) || !take("suffix ") || !name(out.suffix) || !take("\n") ||
        out.suffix.find('/') != std::string::npos)
      return false;
    while (!take("end\n")) {
      SwapJournalEntry e;
      for (bool* flag : {&e.has_new, &e.existed, &e.linked}) {
        if (at >= text.size() || (text[at] != '0' && text[at] != '1')) return false;
        *flag = text[at++] == '1';
      }
      if (!take(" ") || !name(e.target) || !take("\n")) return false;
      out.entries.push_back(std::move(e));
    }
    if (out.entries.empty()) return false;
    // The mark of a swap being undone counts only whole: until it was on the disk nothing was
    // undone, and the swap goes forward.
    const TextView rest = text.substr(at);
    if (rest.size() != 5 + out.entries.size() + 1 || !rest.starts_with("back ") || rest.back() != '\n')
      return true;
    for (size_t i = 0; i < out.entries.size(); ++i) {
      const char c = rest[5 + i];
      if (c < '0' || c > '0' + static_cast<int>(Stage::kDeleted)) return true;
    }
    for (size_t i = 0; i < out.entries.size(); ++i) out.entries[i].stage = static_cast<uint8_t>(rest[5 + i] - '0');
    out.back = true;
    return true;
  } catch (...) {
    return false;
  }
}

bool journal_targets(const SwapJournal& journal, TextView folder, std::span<const std::string> own_files,
                     std::vector<ReplacementEntry>& out) {
  out.clear();
  // This tool writes a journal only for a swap of several files, and with its own suffix; no more
  // entries than the image has files (so that none is allocated for a journal's mere claim).
  if (journal.suffix != kBackupSuffix || journal.entries.size() < 2 ||
      journal.entries.size() > own_files.size())
    return false;
  out.resize(journal.entries.size());
  for (size_t i = 0; i < out.size(); ++i) {
    const SwapJournalEntry& e = journal.entries[i];
    ReplacementEntry& r = out[i];
    const auto is_target = [&](TextView path) { return same_host_path(path, r.target.view()); };
    if (!plain_name(e.target) || !r.target.assign(folder, e.target) ||
        (e.has_new && !r.temporary.assign(r.target.view(), kTempSuffix)) ||
        std::none_of(own_files.begin(), own_files.end(), is_target) ||
        std::any_of(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(i),
                    [&](const ReplacementEntry& o) { return is_target(o.target.view()); }))
      return false;
  }
  return true;
}

bool journal_folder(TextView image, PathString& out) noexcept {
  // As a bundle names its files: behind a "/" added to the folder's path.
  if (is_directory(image)) return out.assign(image, image.ends_with('/') ? "" : "/");
  const size_t at = platform::last_separator(image);
  return out.assign(at == TextView::npos ? TextView() : image.substr(0, at + 1));
}

bool cut_off_swap_pending(TextView image) noexcept {
  PathBuffer<4096> journal;
  return journal.assign(image, kJournalSuffix) && named(journal.view());
}

namespace {

// The journal beside `image`, read and judged; with kTrusted, `entries` are its files' names.
JournalVerdict read_journal(TextView image, std::span<const std::string> own_files, SwapJournal& journal,
                            std::vector<ReplacementEntry>& entries) {
  PathBuffer<4096> path, folder;
  FileInfo info;
  if (!path.assign(image, kJournalSuffix) || !file_info(path.view(), info)) return JournalVerdict::kNone;
  // Never opened unless it is a regular file (a FIFO would block the open).
  if (!info.regular() || info.size > kMaxJournalBytes) return JournalVerdict::kUntrusted;
  std::vector<uint8_t> bytes(info.size);
  File f = File::open_existing(path.view(), true);
  if (!f) return last_file_failure().file_type ? JournalVerdict::kUntrusted : JournalVerdict::kUnreadable;
  if (!f.read_at(0, bytes)) return JournalVerdict::kUnreadable;
  f.close();
  if (!parse_swap_journal(bytes, journal)) return JournalVerdict::kPartial;
  if (!journal_folder(image, folder) || !journal_targets(journal, folder.view(), own_files, entries))
    return JournalVerdict::kUntrusted;
  return JournalVerdict::kTrusted;
}

}  // namespace

JournalVerdict judge_cut_off_swap(TextView image, std::span<const std::string> own_files) noexcept {
  try {
    SwapJournal journal;
    std::vector<ReplacementEntry> entries;
    return read_journal(image, own_files, journal, entries);
  } catch (...) {
    return JournalVerdict::kUnreadable;
  }
}

ErrorCode finish_cut_off_swap(TextView image, std::span<const std::string> own_files, bool& found) {
  found = false;
  return guard_no_memory([&] {
    SwapJournal j;
    std::vector<ReplacementEntry> entries;
    PathBuffer<4096> journal;
    if (!journal.assign(image, kJournalSuffix)) return OK;
    switch (read_journal(image, own_files, j, entries)) {
      case JournalVerdict::kNone: return OK;
      case JournalVerdict::kUnreadable: found = true; return ERR_CREATE;
      case JournalVerdict::kUntrusted: found = true; return ERR_BAD_RECORD;
      // A journal that is not whole was cut off before the first rename.
      case JournalVerdict::kPartial:
        found = true;
        return file_remove(journal.view()) && sync_parent_folder(journal.view()) ? OK : ERR_CREATE;
      case JournalVerdict::kTrusted: break;
    }
    found = true;
    Transaction t(j.suffix, false, {});
    if (!t.set_image(image)) return ERR_CREATE;
    return t.recover(j, entries);
  });
}

ErrorCode set_replacement_names(ReplacementEntry& entry, TextView target) {
  if (!entry.target.assign(target) || !entry.temporary.assign(target, kTempSuffix)) {
    entry.target.clear();
    entry.temporary.clear();
    return ERR_UNSUPPORTED;
  }
  // A file that is going to be replaced is held from here on, if its format did not do so when
  // it opened it.
  return guard_replaced_file(target);
}

ErrorCode commit_replacement(Replacement& record, TextView suffix, bool delete_backup,
                             SwapNotice notice) {
  if (!record.active) return OK;
  record.active = false;
  return commit_set([&](auto&& visit) { visit(record.entry); }, suffix, delete_backup, notice);
}

ErrorCode discard_replacement(Replacement& record) {
  if (!record.active) return OK;
  record.active = false;
  return discard_entry(record.entry);
}

bool reserve_replacement_list(ReplacementList& list, uint32_t n) noexcept {
  try {
    list.entries.clear();
    list.entries.resize(n);
    list.count = 0;
    return true;
  } catch (...) {
    return false;
  }
}

ErrorCode commit_replacement_list(ReplacementList& list, TextView suffix, bool delete_backup,
                                  SwapNotice notice) {
  const ErrorCode rc = commit_set([&](auto&& visit) { each_listed(list, visit); }, suffix,
                                  delete_backup, notice);
  clear_list(list);
  return rc;
}

ErrorCode discard_replacement_list(ReplacementList& list) {
  ErrorCode rc = OK;
  for (uint32_t i = 0; i < list.count && i < list.entries.size() && rc == OK; ++i)
    rc = discard_entry(list.entries[i]);
  clear_list(list);
  return rc;
}

ErrorCode commit_writer_record(WriterRecord& record, TextView suffix, bool delete_backup,
                               SwapNotice notice) {
  // The single file and the listed ones are one image: they are swapped together or not at all.
  const bool single = record.single.active;
  record.single.active = false;
  const ErrorCode rc = commit_set(
      [&](auto&& visit) {
        if (single) visit(record.single.entry);
        each_listed(record.list, visit);
      },
      suffix, delete_backup, notice, record.image.view());
  clear_list(record.list);
  return rc;
}

ErrorCode discard_writer_record(WriterRecord& record) {
  const ErrorCode rc = discard_replacement(record.single);
  const ErrorCode rc_list = discard_replacement_list(record.list);
  return rc != OK ? rc : rc_list;
}

}  // namespace qx
