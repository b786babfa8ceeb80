#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <sstream>

#include "app/inspect.hpp"
#include "fs/reader.hpp"
#include "support/disk_builder.hpp"
#include "support/json_reader.hpp"
#include "support/lvm_builder.hpp"
#include "support/test_support.hpp"
#include "support/vhdx_builder.hpp"
#include "image/sector_bitmap.hpp"

namespace qx {
namespace {

using test::Json;
using test::JsonReader;

struct ToolRun {
  int status = -1;
  std::string out;
  std::string err;
};

ToolRun inspect(const std::string& args, const test::TempDir& dir) {
  const std::string err_file = dir.file("stderr.txt");
  const auto r = test::run_command(test::shell_quote(test::inspect_binary()) + " " + args + " 2>" +
                                   test::shell_quote(err_file));
  const auto e = test::read_file(err_file);
  std::filesystem::remove(err_file);
  return {r.status, r.output, std::string(e.begin(), e.end())};
}

Json inspect_json(const std::string& image, const test::TempDir& dir, bool ranges = false) {
  const ToolRun r = inspect(std::string("--json ") + (ranges ? "--ranges " : "") + test::shell_quote(image), dir);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  Json j;
  EXPECT_TRUE(JsonReader(r.out).read(j)) << r.out;
  // No volume kept whole without its reason, no image refused without one.
  EXPECT_EQ(j["trimmable"].kind, Json::Bool) << r.out;
  EXPECT_EQ(j["trimmable"].number == 0, j.has("reason")) << r.out;
  for (const Json& v : j["volumes"].items)
    if (v["kind"].number < 0) {
      EXPECT_NE(v["reason"]["key"].text, "") << r.out;
    }
  return j;
}

// A raw disk with its ".ndi" description beside it, so that detection opens it.
std::string raw_disk(const test::TempDir& dir, uint64_t sectors, const std::string& name = "disk") {
  const std::string path = dir.file(name + ".raw");
  test::make_sparse_file(path, sectors * 512);
  const std::string ndi = "NDI 0 " + std::to_string(sectors) + " 16 63 512\n";
  test::write_file(dir.file(name + ".ndi"), std::vector<uint8_t>(ndi.begin(), ndi.end()));
  return path;
}

struct Vol {
  long long start, length, kind;
  bool operator==(const Vol&) const = default;
};
std::ostream& operator<<(std::ostream& os, const Vol& v) {
  return os << "{" << v.start << ", " << v.length << ", " << v.kind << "}";
}

std::vector<Vol> volumes(const Json& j) {
  std::vector<Vol> out;
  for (const Json& v : j["volumes"].items) out.push_back({v["start"].number, v["length"].number, v["kind"].number});
  return out;
}

// Checks the invariants every report keeps: volumes cover the disk in order, used counts agree
// with the ranges, and unused_sectors is what remains.
void check_report(const Json& j, bool ranges) {
  ASSERT_EQ(j.kind, Json::Object);
  for (const char* key : {"format", "geometry", "volumes", "unused_sectors"}) EXPECT_TRUE(j.has(key)) << key;
  const Json& g = j["geometry"];
  for (const char* key : {"total_sectors", "heads", "sectors_per_track", "bytes_per_sector"})
    EXPECT_EQ(g[key].kind, Json::Number) << key;
  long long next = 0, used_total = 0;
  for (const Json& v : j["volumes"].items) {
    EXPECT_EQ(v["start"].number, next);
    next += v["length"].number;
    EXPECT_EQ(v["kind_name"].kind, Json::String);
    const long long used = v["used_sectors"].number;
    EXPECT_LE(used, v["length"].number);
    if (v["kind"].number < 0) {
      EXPECT_EQ(used, v["length"].number) << "gaps and unknown volumes are used";
    }
    used_total += used;
    EXPECT_EQ(v.has("used_ranges"), ranges);
    if (!ranges) continue;
    long long sum = 0, last_end = -1;
    for (const Json& r : v["used_ranges"].items) {
      ASSERT_EQ(r.items.size(), 2u);
      const long long first = r[0].number, count = r[1].number;
      EXPECT_GT(count, 0);
      EXPECT_GT(first, last_end) << "ranges are ascending and maximal";
      EXPECT_GE(first, v["start"].number);
      EXPECT_LE(first + count, v["start"].number + v["length"].number);
      last_end = first + count;
      sum += count;
    }
    EXPECT_EQ(sum, used);
  }
  EXPECT_EQ(next, g["total_sectors"].number);
  EXPECT_EQ(j["unused_sectors"].number, next - used_total);
}

TEST(Inspect, SfdiskDiskWithAnExtVolume) {
  if (!test::have_tool("sfdisk") || !test::have_tool("mke2fs")) GTEST_SKIP() << "sfdisk/mke2fs missing";
  test::TempDir dir;
  const std::string disk = raw_disk(dir, 131072);
  const std::string script =
      "label: dos\nstart=2048, size=16384, type=83\nstart=18432, size=4096, type=7\n"
      "start=22528, size=2048, type=c\nstart=26624, type=5\nstart=28672, size=4096, type=83\n"
      "start=34816, size=4096, type=82\nstart=40960, size=8192, type=83\n";
  ASSERT_EQ(test::run_command("printf '" + script + "' | sfdisk -q " + test::shell_quote(disk) +
                              " >/dev/null 2>&1").status, 0);
  ASSERT_EQ(test::run_command("mke2fs -q -F -t ext4 -O ^64bit -E nodiscard,offset=" + std::to_string(2048 * 512) + " " +
                              test::shell_quote(disk) + " 8192 >/dev/null 2>&1").status, 0);
  const auto before = std::filesystem::last_write_time(disk);
  const Json j = inspect_json(disk, dir, true);
  check_report(j, true);
  EXPECT_EQ(j["format"].number, FORMAT_FLAT);
  EXPECT_EQ(j["geometry"]["total_sectors"].number, 131072);
  EXPECT_EQ(j["geometry"]["heads"].number, 16);
  EXPECT_EQ(j["geometry"]["sectors_per_track"].number, 63);
  EXPECT_EQ(j["geometry"]["bytes_per_sector"].number, 512);
  EXPECT_EQ(volumes(j), (std::vector<Vol>{{0, 2048, -2},
                                          {2048, 16384, KIND_EXT},
                                          {18432, 4096, -1},
                                          {22528, 2048, -1},
                                          {24576, 4096, -2},
                                          {28672, 4096, -1},
                                          {32768, 2048, -2},
                                          {34816, 4096, -1},
                                          {38912, 2048, -2},
                                          {40960, 8192, -1},
                                          {49152, 131072 - 49152, -2}}));
  const Json& ext = j["volumes"][1];
  EXPECT_EQ(ext["kind_name"].text, volume_kind_name(KIND_EXT));
  EXPECT_LT(ext["used_sectors"].number, 8192) << "a fresh file system leaves most sectors free";
  EXPECT_GT(ext["used_sectors"].number, 0);
  EXPECT_GT(j["unused_sectors"].number, 0);
  // It wrote nothing.
  EXPECT_EQ(std::filesystem::last_write_time(disk), before);
  EXPECT_EQ(std::filesystem::file_size(disk), 131072u * 512);
  size_t files = 0;
  for ([[maybe_unused]] auto& e : std::filesystem::directory_iterator(dir.path())) ++files;
  EXPECT_EQ(files, 2u);

  // Without --ranges the same numbers and no ranges.
  const Json plain = inspect_json(disk, dir);
  check_report(plain, false);
  EXPECT_EQ(plain["unused_sectors"].number, j["unused_sectors"].number);
}

TEST(Inspect, SgdiskDisk) {
  if (!test::have_tool("sgdisk")) GTEST_SKIP() << "sgdisk missing";
  test::TempDir dir;
  const std::string disk = raw_disk(dir, 65536);
  ASSERT_EQ(test::run_command("sgdisk -n1:2048:+4M -t1:8300 -n2:0:+2M -t2:0700 -n3:0:0 " +
                              test::shell_quote(disk) + " >/dev/null 2>&1").status, 0);
  const Json j = inspect_json(disk, dir, true);
  check_report(j, true);
  EXPECT_EQ(volumes(j), (std::vector<Vol>{{0, 2048, -2},
                                          {2048, 8192, -1},
                                          {10240, 4096, -1},
                                          {14336, 65502 - 14336 + 1, -1},
                                          {65503, 33, -2}}));
  EXPECT_EQ(j["unused_sectors"].number, 0);
}

TEST(Inspect, LvmLogicalVolumes) {
  test::TempDir dir;
  const std::string disk = raw_disk(dir, 40000);
  test::write_boot_sector(disk, 0, {{0x8E, 4096, 16384}});
  test::LvmPvSpec spec;
  spec.extent_size = 2048;
  spec.pe_count = 6;
  spec.dev_size = 16384;
  spec.lvs = {test::linear_lv("root", 0, 2), test::linear_lv("home", 3, 3)};
  test::write_lvm_pv(disk, 4096 * 512, spec);
  const Json j = inspect_json(disk, dir);
  check_report(j, false);
  EXPECT_EQ(volumes(j), (std::vector<Vol>{{0, 6144, -2},
                                          {6144, 4096, -1},
                                          {10240, 2048, -2},
                                          {12288, 6144, -1},
                                          {18432, 40000 - 18432, -2}}));
}

TEST(Inspect, TextReport) {
  test::TempDir dir;
  const std::string disk = raw_disk(dir, 20000);
  test::write_boot_sector(disk, 0, {{0x83, 2048, 10000}});
  const ToolRun r = inspect("--ranges " + test::shell_quote(disk), dir);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("format: -1 (flat)"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("geometry: 20000 sectors, 16 heads, 63 sectors per track, 512 bytes per sector"),
            std::string::npos) << r.out;
  EXPECT_NE(r.out.find("used 2048 +10000"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("unused sectors: 0"), std::string::npos) << r.out;
}

TEST(Inspect, SaysWhetherQuorvexWouldTrimTheImageAndWhyNot) {
  test::TempDir dir;
  const std::string disk = raw_disk(dir, 20000);
  const Json flat = inspect_json(disk, dir);
  EXPECT_EQ(flat["trimmable"].number, 0);
  EXPECT_EQ(flat["reason"]["key"].text, "read_only_format");
  EXPECT_EQ(flat["reason"]["text"].text, "flat images are read but not trimmed");
  EXPECT_EQ(flat["volumes"][0]["reason"]["key"].text, "unknown_file_system");
  const ToolRun text = inspect(test::shell_quote(disk), dir);
  EXPECT_NE(text.out.find("\ntrimmable: no (read_only_format): flat images are read but not trimmed\n"),
            std::string::npos)
      << text.out;
  EXPECT_NE(text.out.find("kept whole (unknown_file_system)"), std::string::npos) << text.out;

  const std::string vhd = dir.file("d.vhd");
  if (!test::have_tool("qemu-img")) GTEST_SKIP() << "qemu-img missing";
  ASSERT_EQ(test::run_command("qemu-img create -q -f vpc " + test::shell_quote(vhd) + " 8M").status, 0);
  const Json trimmable = inspect_json(vhd, dir);
  EXPECT_EQ(trimmable["trimmable"].number, 1);
  EXPECT_NE(inspect(test::shell_quote(vhd), dir).out.find("\ntrimmable: yes\n"), std::string::npos);
}

// Each image that fails gets one line on standard error in quorvex's words, and with --json one
// object on standard output with quorvex's key; quorvex itself says the same of each.
TEST(Inspect, FailuresGiveQuorvexsReasons) {
  test::TempDir dir;
  std::vector<uint8_t> junk(8192);
  for (size_t i = 0; i < junk.size(); ++i) junk[i] = static_cast<uint8_t>(i * 13 + 1);
  test::write_file(dir.file("junk.bin"), junk);
  test::VhdxBuilder(test::VhdxShape{}).write_to(dir.file("cut.vhdx"));
  std::filesystem::resize_file(dir.file("cut.vhdx"), 200 << 10);
  std::filesystem::create_directory(dir.file("folder"));
  const std::string overlapping = raw_disk(dir, 20000);
  test::write_boot_sector(overlapping, 0, {{0x83, 2048, 1000}, {0x83, 3000, 100}});
  const std::pair<std::string, const char*> cases[] = {{dir.file("junk.bin"), "unknown_format"},
                                                       {dir.file("cut.vhdx"), "unknown_format"},
                                                       {dir.file("folder"), "unknown_format"},
                                                       {dir.file("missing.vhd"), "not_found"},
                                                       {overlapping, "map_failed"}};
  for (const auto& [path, key] : cases) {
    SCOPED_TRACE(path);
    const ToolRun text = inspect(test::shell_quote(path), dir);
    EXPECT_EQ(text.status, 2);
    EXPECT_EQ(text.out, "");
    const std::string line = "quorvex-inspect: " + path + ": ";
    ASSERT_EQ(text.err.compare(0, line.size(), line), 0) << text.err;
    EXPECT_EQ(std::count(text.err.begin(), text.err.end(), '\n'), 1) << text.err;
    const ToolRun json = inspect("--json " + test::shell_quote(path), dir);
    EXPECT_EQ(json.status, 2);
    EXPECT_EQ(json.err, text.err);
    Json object;
    ASSERT_TRUE(JsonReader(json.out).read(object)) << json.out;
    EXPECT_EQ(std::count(json.out.begin(), json.out.end(), '\n'), 1) << json.out;
    EXPECT_EQ(object["path"].text, path);
    EXPECT_EQ(object["error"].text, key);
    EXPECT_EQ(line + object["reason"].text + "\n", text.err);
    const auto trim = test::run_command(test::shell_quote(test::quorvex_binary()) + " -s --json " +
                                        test::shell_quote(path) + " 2>/dev/null");
    Json last;
    const size_t last_line = trim.output.rfind('\n', trim.output.size() - 2) + 1;  // npos + 1: the first
    ASSERT_TRUE(JsonReader(trim.output.substr(last_line)).read(last)) << trim.output;
    EXPECT_EQ(last["reason"]["key"].text, key);
    EXPECT_EQ(last["reason"]["text"].text, object["reason"].text);
  }
}

TEST(Inspect, WrongArgumentsAreNamed) {
  test::TempDir dir;
  const std::string image = test::shell_quote(raw_disk(dir, 20000));
  const std::pair<std::string, std::string> cases[] = {
      {"", "no image named"},           {"--bogus " + image, "--bogus: not an option"},
      {image + " --bogus", "--bogus: not an option"}, {"--json --json " + image, "--json: given twice"},
      {"--json", "no image named"},     {"-j " + image, "-j: not an option"},
      {"--help " + image, "--help: stands alone"}, {"''", "an empty argument names no image"}};
  for (const auto& [args, why] : cases) {
    const ToolRun r = inspect(args, dir);
    EXPECT_EQ(r.status, 1) << args;
    EXPECT_EQ(r.out, "") << args;
    EXPECT_EQ(r.err, "quorvex-inspect: " + why + "; quorvex-inspect --help explains the arguments\n"
                     "Usage: quorvex-inspect [--json] [--ranges] [--estimate] [-f FORMAT] [--key-file FILE]... IMAGE...\n") << args;
  }
  const ToolRun help = inspect("--help", dir), version = inspect("--version", dir);
  EXPECT_EQ(help.status, 0);
  for (const char* option : {"--json ", "--ranges ", "--estimate ", "-- ", "--help ", "--version "})
    EXPECT_NE(help.out.find("\n  " + std::string(option)), std::string::npos) << option;
  EXPECT_EQ(version.out, std::string("quorvex-inspect ") + kQuorvexVersion + "\n");
}

TEST(InspectArguments, OptionsInAnyOrder) {
  InspectOptions o;
  const char* a[] = {"--ranges", "img", "--json"};
  ASSERT_TRUE(parse_inspect_arguments(a, o));
  EXPECT_TRUE(o.json && o.ranges);
  EXPECT_EQ(o.path, "img");
  const char* b[] = {"--", "--json"};
  ASSERT_TRUE(parse_inspect_arguments(b, o));
  EXPECT_EQ(o.path, "--json");
  EXPECT_FALSE(o.json);
  const char* c[] = {"--ranges", "--ranges", "img"};
  EXPECT_FALSE(parse_inspect_arguments(c, o));
  const char* d[] = {""};
  EXPECT_FALSE(parse_inspect_arguments(d, o));
  const char* e[] = {"a", "--json", "b", "--", "-c"};
  ASSERT_TRUE(parse_inspect_arguments(e, o));
  EXPECT_EQ(o.path, "a");
  EXPECT_EQ(o.more_paths, (std::vector<std::string_view>{"b", "-c"}));
  const char* f[] = {"-f", "vpc", "a", "--", "--format=x"};
  ASSERT_TRUE(parse_inspect_arguments(f, o));
  EXPECT_EQ(o.format, "vpc");
  EXPECT_EQ(o.more_paths, (std::vector<std::string_view>{"--format=x"}));
  for (auto args : std::vector<std::vector<const char*>>{{"-f", "a"}, {"a", "-f"}, {"--format", "", "a"}})
    EXPECT_FALSE(parse_inspect_arguments(args, o)) << args[0];
}

TEST(Inspect, SeveralImagesGiveOneReportEachAndGoOnPastAFailure) {
  test::TempDir dir;
  const std::string a = raw_disk(dir, 20000, "a"), b = raw_disk(dir, 30000, "b");
  test::write_file(dir.file("junk.bin"), std::vector<uint8_t>(8192, 0x77));
  const std::string args = test::shell_quote(a) + " " + test::shell_quote(dir.file("junk.bin")) + " " +
                           test::shell_quote(b);
  ToolRun r = inspect("--json --estimate " + args, dir);
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
  std::vector<Json> lines;
  std::istringstream in(r.out);
  for (std::string line; std::getline(in, line);) {
    lines.emplace_back();
    EXPECT_TRUE(JsonReader(line).read(lines.back())) << line;
  }
  ASSERT_EQ(lines.size(), 3u) << r.out;
  EXPECT_EQ(lines[0]["path"].text, a);
  EXPECT_EQ(lines[0]["geometry"]["total_sectors"].number, 20000);
  EXPECT_EQ(lines[0]["estimate"].kind, Json::Null);
  EXPECT_EQ(lines[1]["path"].text, dir.file("junk.bin"));
  EXPECT_EQ(lines[1]["error"].text, "unknown_format");
  EXPECT_EQ(lines[2]["geometry"]["total_sectors"].number, 30000);
  r = inspect(test::shell_quote(a) + " " + test::shell_quote(b), dir);
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("image: " + a + "\nformat: -1 (flat)"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("image: " + b + "\n"), std::string::npos) << r.out;
}

// Counting and ranges over a volume larger than one query, with runs that cross query borders.
int g_states = 0;
struct StripeState : ReaderState {
  uint64_t declared_sectors() const noexcept override { return UINT64_MAX; }
};
ErrorCode stripe_probe(DiskImage&, uint32_t, uint32_t, std::unique_ptr<ReaderState>& state) {
  state = std::make_unique<StripeState>();
  ++g_states;
  return OK;
}
ErrorCode stripe_mark(const ReaderState&, uint32_t first, uint32_t count, std::span<uint8_t> bitmap,
                      uint32_t bit) {
  for (uint32_t i = 0; i < count; ++i) put_bit(bitmap, bit + i, ((uint64_t{first} + i) / 1000) % 2 == 0);
  return OK;
}
const FsReader kStripes = {"stripes", stripe_probe, stripe_mark};

TEST(InspectCounting, RunsAcrossQueryBorders) {
  test::TempDir dir;
  constexpr uint32_t kTotal = 2500000;  // more than two queries of 2^20 sectors
  const std::string path = dir.file("big.raw");
  test::make_sparse_file(path, uint64_t{kTotal} * 512);
  DiskImage image;
  ASSERT_EQ(open_flat(image, path, true, 0, DiskGeometry{kTotal, 16, 63, 512}), OK);
  override_fs_reader(0, &kStripes);
  ErrorCode rc = OK;
  uint32_t recognised = 0;
  auto map = build_usage_map(image, rc, recognised);
  struct Restore {
    ~Restore() { override_fs_reader(0, nullptr); }
  } restore;
  ASSERT_TRUE(map);
  ASSERT_EQ(map->volumes.size(), 1u);
  ASSERT_EQ(map->volumes[0].kind, 0);
  uint64_t used = 0;
  std::vector<std::pair<uint32_t, uint32_t>> runs;
  ASSERT_EQ(count_used_sectors(*map, map->volumes[0], used,
                               [&](uint32_t f, uint32_t c) { runs.emplace_back(f, c); }),
            OK);
  // Runs of 1000 used sectors every 2000: 1250 runs; the last one is whole too.
  EXPECT_EQ(used, 1250000u);
  ASSERT_EQ(runs.size(), 1250u);
  for (size_t i = 0; i < runs.size(); ++i) EXPECT_EQ(runs[i], std::make_pair(uint32_t(i * 2000), 1000u));
  uint64_t again = 0;
  ASSERT_EQ(count_used_sectors(*map, map->volumes[0], again), OK);
  EXPECT_EQ(again, used);
}

}  // namespace
}  // namespace qx
