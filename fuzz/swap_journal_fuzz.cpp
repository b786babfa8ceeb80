// The journal a swap of several files leaves beside the image, read back by the next run, and the
// check that it names only the image's own files in the image's own folder.
#include "image/replacement.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace qx;
  SwapJournal journal;
  if (!parse_swap_journal(std::span<const uint8_t>(data, size), journal)) return 0;
  // The image's files: the folder's path before every name the journal gives, for every second
  // entry, so that both answers of the check are reached.
  const std::string folder = "/images/vm/";
  std::vector<std::string> own = {folder + "d.vmdk"};
  for (size_t i = 0; i < journal.entries.size() && own.size() < 64; i += 2)
    own.push_back(folder + journal.entries[i].target);
  std::vector<ReplacementEntry> entries;
  if (!journal_targets(journal, folder, own, entries)) return 0;
  // What recovery may touch: files of the set, in the folder, under the tool's own suffixes.
  if (journal.suffix != kBackupSuffix || entries.size() != journal.entries.size()) std::abort();
  for (const ReplacementEntry& e : entries) {
    const TextView name = e.target.view().substr(folder.size());
    bool listed = false;
    for (const std::string& o : own) listed = listed || o == e.target.view();
    if (!e.target.view().starts_with(folder) || !listed || name.empty() || name == ".." ||
        name.find_first_of("/\\:") != TextView::npos)
      std::abort();
    PathBuffer<4096> backup;
    (void)backup.assign(e.target.view(), journal.suffix);
  }
  return 0;
}
