#include "support/crash_states.hpp"

#include <algorithm>
#include <filesystem>
#include <random>
#include <set>

#include "support/test_support.hpp"

namespace qx::test {
namespace {

namespace fs = std::filesystem;

constexpr uint64_t kPage = 4096;

std::vector<RecordedChange>* g_changes = nullptr;

std::string normal(std::string_view path) {
  std::string s = fs::path(path).lexically_normal().string();
  while (s.size() > 1 && s.back() == '/') s.pop_back();
  return s;
}

std::string folder_of(const std::string& path) { return fs::path(path).parent_path().string(); }

void record(const FileChangeRecord& r) noexcept {
  try {
    RecordedChange c;
    c.change = r.change;
    c.path = r.path.empty() ? std::string() : normal(r.path);
    c.to = r.to.empty() ? std::string() : normal(r.to);
    c.offset = r.offset;
    c.length = r.length;
    if (r.fd != platform::kNoHandle) {
      platform::FileInfo info;
      if (platform::handle_info(r.fd, info)) c.inode = info.inode;
    }
    if (r.change == FileChange::kWrite) c.data.assign(r.data.begin(), r.data.end());
    if (r.change == FileChange::kCopy) {
      // Copied inside the kernel or shared: what the file holds there now.
      c.data.resize(r.length);
      for (size_t done = 0; done < c.data.size();) {
        const int64_t n = platform::read_at(r.fd, c.data.data() + done, c.data.size() - done, r.offset + done);
        if (n <= 0) std::abort();
        done += static_cast<size_t>(n);
      }
    }
    g_changes->push_back(std::move(c));
  } catch (...) {
    std::abort();
  }
}

// The folder as the disk holds it and as the running program sees it.
class Model {
 public:
  struct Inode {
    std::vector<uint8_t> now, durable;
    std::set<uint64_t> dirty;  // pages written since the last sync
  };
  struct NameChange {
    FileChange change;
    std::string path, to;
    size_t inode;
  };

  explicit Model(const ChangeRecording& log) {
    for (const auto& [path, bytes] : log.initial()) {
      const size_t id = inodes_.size();
      inodes_.push_back({*bytes, *bytes, {}});
      names_[path] = durable_names_[path] = id;
      by_number_[log.initial_inodes().at(path)] = id;
    }
  }

  // Answers true when the change made something durable.
  bool apply(const RecordedChange& c) {
    switch (c.change) {
      case FileChange::kCreate: {
        const size_t id = inodes_.size();
        inodes_.push_back({});
        by_number_[c.inode] = id;
        names_[c.path] = id;
        pending_.push_back({c.change, c.path, {}, id});
        return false;
      }
      case FileChange::kWrite:
      case FileChange::kCopy: {
        Inode& f = file(c.inode);
        if (f.now.size() < c.offset + c.data.size()) f.now.resize(c.offset + c.data.size());
        std::copy(c.data.begin(), c.data.end(), f.now.begin() + static_cast<ptrdiff_t>(c.offset));
        for (uint64_t p = c.offset / kPage; p * kPage < c.offset + c.data.size(); ++p) f.dirty.insert(p);
        return false;
      }
      case FileChange::kPunch: {
        // Zeros up to the end of the file alone (the length is kept); unsynced, page by page.
        Inode& f = file(c.inode);
        const uint64_t end = std::min<uint64_t>(c.offset + c.length, f.now.size());
        if (c.offset >= end) return false;
        std::fill(f.now.begin() + static_cast<ptrdiff_t>(c.offset), f.now.begin() + static_cast<ptrdiff_t>(end), 0);
        for (uint64_t p = c.offset / kPage; p * kPage < end; ++p) f.dirty.insert(p);
        return false;
      }
      case FileChange::kSetLength: {
        Inode& f = file(c.inode);
        f.now.resize(c.length);
        return false;
      }
      case FileChange::kReserve: return false;
      case FileChange::kSync: {
        Inode& f = file(c.inode);
        f.durable = f.now;
        f.dirty.clear();
        return true;
      }
      case FileChange::kLink:
      case FileChange::kRename:
      case FileChange::kRemove: {
        const size_t id = names_.at(c.path);
        if (c.change != FileChange::kLink) names_.erase(c.path);
        if (c.change != FileChange::kRemove) names_[c.to] = id;
        pending_.push_back({c.change, c.path, c.to, id});
        return false;
      }
      case FileChange::kSyncFolder: {
        const std::string& folder = c.path;
        std::erase_if(durable_names_, [&](const auto& e) { return folder_of(e.first) == folder; });
        for (const auto& [name, id] : names_)
          if (folder_of(name) == folder) durable_names_[name] = id;
        std::erase_if(pending_, [&](const NameChange& n) { return folder_of(n.path) == folder; });
        return true;
      }
    }
    return false;
  }

  size_t pending_names() const { return pending_.size(); }

  // Chooses each change of a name since its folder's sync with `name` (given its place), and
  // each page and length since its file's sync with `page`; null for all of them.
  CrashState crash(const std::function<bool(size_t)>& name, const std::function<bool()>& page) const {
    std::map<std::string, size_t> names = durable_names_;
    for (size_t i = 0; i < pending_.size(); ++i) {
      const NameChange& n = pending_[i];
      if (!name(i)) continue;
      const auto from = names.find(n.path);
      switch (n.change) {
        case FileChange::kCreate:
          if (from == names.end()) names[n.path] = n.inode;
          break;
        case FileChange::kLink:
          if (from != names.end() && from->second == n.inode && !names.count(n.to)) names[n.to] = n.inode;
          break;
        case FileChange::kRename:
          if (from != names.end() && from->second == n.inode) {
            names.erase(from);
            names[n.to] = n.inode;
          }
          break;
        case FileChange::kRemove:
          if (from != names.end() && from->second == n.inode) names.erase(from);
          break;
        default: break;
      }
    }
    std::map<size_t, FileBytes> contents;
    CrashState state;
    for (const auto& [name, id] : names) {
      auto& bytes = contents[id];
      if (!bytes) bytes = file_after_crash(id, page);
      state.files[name] = bytes;
    }
    return state;
  }

 private:
  Inode& file(uint64_t number) {
    now_.clear();
    return inodes_.at(by_number_.at(number));
  }

  // Whole contents are shared by the states of one point.
  FileBytes cached(std::map<size_t, FileBytes>& cache, size_t id, const std::vector<uint8_t>& bytes) const {
    FileBytes& b = cache[id];
    if (!b) b = std::make_shared<const std::vector<uint8_t>>(bytes);
    return b;
  }

  FileBytes file_after_crash(size_t id, const std::function<bool()>& take) const {
    const Inode& f = inodes_[id];
    if (!take || (f.dirty.empty() && f.now.size() == f.durable.size())) return cached(now_, id, f.now);
    auto out = std::make_shared<std::vector<uint8_t>>(f.durable);
    out->resize(take() ? f.now.size() : f.durable.size());
    for (uint64_t p : f.dirty) {
      const uint64_t begin = p * kPage, end = std::min<uint64_t>({begin + kPage, out->size(), f.now.size()});
      if (begin >= end || !take()) continue;
      std::copy(f.now.begin() + static_cast<ptrdiff_t>(begin), f.now.begin() + static_cast<ptrdiff_t>(end),
                out->begin() + static_cast<ptrdiff_t>(begin));
    }
    return out;
  }

  std::vector<Inode> inodes_;
  std::map<uint64_t, size_t> by_number_;
  std::map<std::string, size_t> names_, durable_names_;
  std::vector<NameChange> pending_;
  mutable std::map<size_t, FileBytes> now_;
};

}  // namespace

ChangeRecording::ChangeRecording(const std::string& folder) {
  for (const auto& e : fs::recursive_directory_iterator(folder)) {
    if (!e.is_regular_file()) continue;
    const std::string path = normal(e.path().string());
    initial_[path] = std::make_shared<const std::vector<uint8_t>>(read_file(path));
    FileInfo info;
    if (file_info(path, info)) inodes_[path] = info.inode;
  }
  g_changes = &changes_;
  set_file_recorder(record);
}

ChangeRecording::~ChangeRecording() { stop(); }

void ChangeRecording::stop() {
  set_file_recorder(nullptr);
  g_changes = nullptr;
}

size_t for_each_crash_state(const ChangeRecording& log, const CrashSweepPlan& plan,
                            const std::function<void(const CrashState&)>& each) {
  const auto& changes = log.changes();
  std::mt19937_64 rng(plan.seed);
  // Points between durability points, drawn once.
  std::set<size_t> between;
  std::vector<size_t> candidates;
  for (size_t i = 0; i < changes.size(); ++i)
    if (changes[i].change != FileChange::kSync && changes[i].change != FileChange::kSyncFolder)
      candidates.push_back(i + 1);
  std::shuffle(candidates.begin(), candidates.end(), rng);
  for (size_t i = 0; i < candidates.size() && i < plan.points_between; ++i) between.insert(candidates[i]);

  Model model(log);
  size_t count = 0;
  std::bernoulli_distribution coin(0.5);
  auto random = [&] { return coin(rng); };
  auto emit = [&](size_t after, bool at_sync, const std::string& choice, const std::function<bool(size_t)>& name,
                  const std::function<bool()>& page) {
    CrashState s = model.crash(name, page);
    s.after = after;
    s.at_sync = at_sync;
    s.choice = choice;
    each(s);
    ++count;
  };
  // Every choice of the names since their folders' syncs (a sample when there are too many),
  // with every file as written; then files with nothing since their syncs, and random choices.
  auto at_point = [&](size_t after, bool at_sync, uint32_t samples) {
    const size_t n = model.pending_names();
    const uint64_t choices = n < 9 ? uint64_t{1} << n : 256;
    for (uint64_t mask = 0; mask < choices; ++mask) {
      const uint64_t bits = n < 9 ? mask : rng();
      emit(after, at_sync, "names " + std::to_string(bits), [&](size_t i) { return i >= 64 || (bits >> i & 1); },
           nullptr);
    }
    if (at_sync) emit(after, at_sync, "no pages", [](size_t) { return true; }, [] { return false; });
    for (uint32_t k = 0; k < samples; ++k)
      emit(after, at_sync, "sample " + std::to_string(k), [&](size_t) { return random(); }, random);
  };
  at_point(0, true, 0);
  for (size_t i = 0; i < changes.size(); ++i) {
    const bool at_sync = model.apply(changes[i]);
    const size_t after = i + 1;
    if (at_sync || after == changes.size()) at_point(after, at_sync, plan.samples_at_sync);
    else if (between.count(after)) at_point(after, false, plan.samples_between);
  }
  return count;
}

void write_crash_state(const std::string& folder, const CrashState& state) {
  for (const auto& e : fs::directory_iterator(folder)) fs::remove_all(e.path());
  for (const auto& [name, bytes] : state.files) {
    fs::create_directories(fs::path(name).parent_path());
    write_file(name, *bytes);
  }
}

}  // namespace qx::test
