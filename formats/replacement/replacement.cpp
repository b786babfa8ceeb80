#include "formats/replacement/replacement.hpp"

#include <cstdio>

#include "image/file.hpp"

namespace qx {
namespace {

ErrorCode commit_entry(ReplacementEntry& e, TextView suffix, bool delete_backup, bool quiet) {
  if (e.target.empty()) return OK;
  PathBuffer<4096> backup;
  if (!backup.assign(e.target.view(), suffix)) return ERR_UNSUPPORTED;
  const TextView target = e.target.view();
  const TextView temporary = e.temporary.view();
  const bool existed = file_exists(target);
  if (existed && !file_rename(target, backup.view())) {
    // The image stays as it was; the new file would only be left lying about.
    if (!temporary.empty()) (void)file_remove(temporary);
    return ERR_CREATE;
  }
  if (!temporary.empty() && !file_rename(temporary, target)) {
    // Put the original back so the image is never missing under its own name; the new file is
    // dropped only once the original is safely back.
    if (existed && file_rename(backup.view(), target)) (void)file_remove(temporary);
    return ERR_CREATE;
  }
  if (delete_backup && existed) {
    if (!quiet && backup.append_terminator()) {
      std::printf("QxDeleteFile %s\n", backup.c_str());
      std::fflush(stdout);
    }
    if (!file_remove(backup.view())) return ERR_CREATE;
  }
  return OK;
}

ErrorCode discard_entry(ReplacementEntry& e) {
  if (!e.temporary.empty() && !file_remove(e.temporary.view())) return ERR_CREATE;
  return OK;
}

}  // namespace

ErrorCode set_replacement_names(ReplacementEntry& entry, TextView target) {
  if (!entry.target.assign(target) || !entry.temporary.assign(target, kTempSuffix)) {
    entry.target.clear();
    entry.temporary.clear();
    return ERR_UNSUPPORTED;
  }
  return OK;
}

ErrorCode commit_replacement(Replacement& record, TextView suffix, bool delete_backup, bool quiet) {
  if (!record.active) return OK;
  record.active = false;
  return commit_entry(record.entry, suffix, delete_backup, quiet);
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
                                  bool quiet) {
  ErrorCode rc = OK;
  for (uint32_t i = 0; i < list.count && i < list.entries.size() && rc == OK; ++i)
    rc = commit_entry(list.entries[i], suffix, delete_backup, quiet);
  list.entries.clear();
  list.count = 0;
  return rc;
}

ErrorCode discard_replacement_list(ReplacementList& list) {
  ErrorCode rc = OK;
  for (uint32_t i = 0; i < list.count && i < list.entries.size() && rc == OK; ++i)
    rc = discard_entry(list.entries[i]);
  list.entries.clear();
  list.count = 0;
  return rc;
}

ErrorCode commit_writer_record(WriterRecord& record, TextView suffix, bool delete_backup,
                               bool quiet) {
  const ErrorCode rc = commit_replacement(record.single, suffix, delete_backup, quiet);
  if (rc != OK) {
    (void)discard_replacement_list(record.list);
    return rc;
  }
  return commit_replacement_list(record.list, suffix, delete_backup, quiet);
}

ErrorCode discard_writer_record(WriterRecord& record) {
  const ErrorCode rc = discard_replacement(record.single);
  const ErrorCode rc_list = discard_replacement_list(record.list);
  return rc != OK ? rc : rc_list;
}

}  // namespace qx
