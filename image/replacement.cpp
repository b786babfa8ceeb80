#include "image/replacement.hpp"

#include <string>

#include "image/file.hpp"
#include "image/file_guard.hpp"
#include "platform/file_ops.hpp"

namespace qx {
namespace {

bool g_skip_backup_sync = false;

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
  ErrorCode run() noexcept;
  void abandon() noexcept;  // removes every new file; the old ones were never touched

 private:
  ErrorCode prepare(Swap& s) noexcept;
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
};

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

bool Transaction::link_backups() noexcept {
  for (Swap& s : swaps_) {
    if (!s.existed) continue;
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
  for (auto it = swaps_.rbegin(); it != swaps_.rend(); ++it) {
    Swap& s = *it;
    switch (s.stage) {
      case Stage::kLinked: (void)file_remove(s.pending.view()); break;
      case Stage::kMovedAside:
      case Stage::kBackedUp: (void)file_rename(s.backup.view(), s.target()); break;
      case Stage::kSwapped: (void)file_rename(s.pending.view(), s.target()); break;
      case Stage::kCreated: (void)file_remove(s.target()); break;
      case Stage::kReady:
      case Stage::kDeleted: break;
    }
    if (s.stage != Stage::kDeleted) s.stage = Stage::kReady;
  }
  abandon();
  (void)sync_folders();
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
  const bool linked = link_backups();
  if (linked && platform::kReplacedFilesMustBeClosed)
    for (const Swap& s : swaps_) release_replaced_file(s.target());
  if (!linked || !swap_names() || !name_backups()) {
    roll_back();
    return ERR_CREATE;
  }
  bool past_return = false;
  if (delete_backup_ && !delete_backups(past_return)) {
    // Once one old file is gone the set can only stay new as a whole.
    if (!past_return) roll_back();
    return ERR_CREATE;
  }
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
ErrorCode commit_set(Each&& each, TextView suffix, bool delete_backup, SwapNotice notice) noexcept {
  Transaction t(suffix, delete_backup, notice);
  ErrorCode rc = OK;
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
      suffix, delete_backup, notice);
  clear_list(record.list);
  return rc;
}

ErrorCode discard_writer_record(WriterRecord& record) {
  const ErrorCode rc = discard_replacement(record.single);
  const ErrorCode rc_list = discard_replacement_list(record.list);
  return rc != OK ? rc : rc_list;
}

}  // namespace qx
