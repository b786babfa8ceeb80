// Every way a run of quorvex can fail gives exactly one reason line on standard error, with
// standard output and the exit status as they always were; --json names the reason's key, and
// its lines are JSON for a success as well.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <functional>

#include "app/run_outcome.hpp"
#include "image/file.hpp"
#include "support/fault_injection.hpp"
#include "support/json_reader.hpp"
#include "support/qemu_tools.hpp"
#include "support/test_support.hpp"
#include "support/vhdx_builder.hpp"

namespace qx {
namespace {

namespace fs = std::filesystem;
using test::sh;
using test::shell_quote;

// A dynamic VHD by qemu-img with data the trim keeps and zeros it drops.
std::string vhd(const std::string& dir) {
  const std::string path = dir + "/d.vhd";
  sh("qemu-img create -q -f vpc " + shell_quote(path) + " 16M");
  sh("qemu-io -f vpc -c 'write -P 0x5a 1M 64k' -c 'write -P 0 8M 64k' " + shell_quote(path) + " >/dev/null");
  return path;
}

// A QCOW2 image with one header byte set (crypt method, incompatible feature bits).
std::string qcow2_with(const std::string& dir, long offset, uint8_t value) {
  const std::string path = dir + "/d.qcow2";
  sh("qemu-img create -q -f qcow2 " + shell_quote(path) + " 16M");
  std::FILE* f = std::fopen(path.c_str(), "r+b");
  std::fseek(f, offset, SEEK_SET);
  std::fputc(value, f);
  std::fclose(f);
  return path;
}

enum class Out { kUsage, kNothing, kError };

struct ReasonCase {
  const char* key;
  std::function<std::string(const std::string& dir)> make;  // the image's path
  int exit_code;
  Out out;
  test::FaultPlan plan;
};

test::FaultPlan fail_at(FileCall kind, uint64_t n, int error = 0) {
  test::FaultPlan plan = test::at_call_of(test::FaultMode::kFail, kind, n);
  plan.error = error;
  return plan;
}

std::string g_image;  // what the acting plans act on

test::FaultPlan act_at_first_write(std::function<void()> action) {
  test::FaultPlan plan = test::at_call_of(test::FaultMode::kAct, FileCall::kWrite, 1);
  plan.action = std::move(action);
  return plan;
}

const std::vector<ReasonCase>& cases() {
  static const std::vector<ReasonCase> all = {
      {"not_found", [](const std::string& d) { return d + "/missing.vhd"; }, 1, Out::kUsage, {}},
      {"unknown_format",
       [](const std::string& d) {
         test::write_file(d + "/junk.img", std::vector<uint8_t>(4096, 0x11));
         return d + "/junk.img";
       },
       2, Out::kNothing, {}},
      {"read_only_format",
       [](const std::string& d) {
         sh("qemu-img create -q -f qcow " + shell_quote(d + "/old.qcow") + " 16M");
         return d + "/old.qcow";
       },
       2, Out::kError, {}},
      {"encrypted", [](const std::string& d) { return qcow2_with(d, 35, 1); }, 2, Out::kNothing, {}},
      {"corrupt", [](const std::string& d) { return qcow2_with(d, 79, 2); }, 2, Out::kNothing, {}},
      {"unsupported_feature", [](const std::string& d) { return qcow2_with(d, 72, 0x80); }, 2,
       Out::kNothing, {}},
      {"unnamed_parent",
       [](const std::string& d) {
         sh("qemu-img create -q -f qcow2 " + shell_quote(d + "/b.qcow2") + " 16M && qemu-img create -q -f qcow2 -F qcow2 -b b.qcow2 " +
            shell_quote(d + "/c.qcow2"));
         // The backing name's first byte becomes one that no text holds.
         const auto head = test::read_file(d + "/c.qcow2");
         long at = 0;
         for (int i = 8; i < 16; ++i) at = at * 256 + head[static_cast<size_t>(i)];
         std::FILE* f = std::fopen((d + "/c.qcow2").c_str(), "r+b");
         std::fseek(f, at, SEEK_SET);
         std::fputc(0xff, f);
         std::fclose(f);
         return d + "/c.qcow2";
       },
       2, Out::kNothing, {}},
      {"not_closed_cleanly", [](const std::string& d) { return qcow2_with(d, 79, 1); }, 2, Out::kError, {}},
      {"log_not_replayed",
       [](const std::string& d) {
         test::VhdxShape shape;
         shape.log_guid = test::guid_of(0x42);
         test::VhdxBuilder(shape).write_to(d + "/d.vhdx");
         return d + "/d.vhdx";
       },
       2, Out::kError, {}},
      {"wrong_parent",
       [](const std::string& d) {
         sh("cd " + shell_quote(d) + " && qemu-img create -q -f vmdk base.vmdk 16M && "
            "qemu-img create -q -f vmdk -b base.vmdk -F vmdk child.vmdk && "
            "qemu-io -f vmdk -c 'write -P 1 0 4k' base.vmdk >/dev/null");
         return d + "/child.vmdk";
       },
       2, Out::kError, {}},
      {"name_taken",
       [](const std::string& d) {
         fs::create_directory(d + "/d.vhd_TEMP");
         return vhd(d);
       },
       2, Out::kError, {}},
      {"no_space", vhd, 2, Out::kError, fail_at(FileCall::kWrite, 2)},
      {"write_failed", vhd, 2, Out::kError, fail_at(FileCall::kWrite, 2, EIO)},
      {"write_failed", vhd, 2, Out::kError, fail_at(FileCall::kSync, 1, EIO)},
      // A read that fails as the image is opened ends the run as quietly as any failed open.
      {"read_failed", vhd, 2, Out::kNothing, fail_at(FileCall::kRead, 1, EIO)},
      {"create_failed", vhd, 2, Out::kError, fail_at(FileCall::kRename, 1, EIO)},
      {"interrupted", vhd, 2, Out::kError, act_at_first_write([] { ::raise(SIGTERM); })},
      {"changed", vhd, 2, Out::kError,
       act_at_first_write([] { fs::resize_file(g_image, fs::file_size(g_image) + 512); })},
  };
  return all;
}

// Every line of the output as JSON; a line that is not JSON fails the test.
std::vector<test::Json> json_lines(const std::string& output) {
  std::vector<test::Json> lines;
  for (size_t at = 0; at < output.size();) {
    const size_t end = output.find('\n', at);
    EXPECT_NE(end, std::string::npos) << output;
    if (end == std::string::npos) break;
    lines.emplace_back();
    EXPECT_TRUE(test::JsonReader(output.substr(at, end - at)).read(lines.back())) << output;
    at = end + 1;
  }
  return lines;
}

const std::string kUsage = "QUORVEX Ver.0 alpha04\nUsage:\nquorvex [-d] [-s] [--json] [--in-place] [-f FORMAT] [--key-file FILE]... filepath\n";

TEST(FailureReasons, EveryFailureGivesOneReasonLineAndItsKey) {
  if (!test::have_tool("qemu-img")) GTEST_SKIP() << "qemu-img missing";
  for (const ReasonCase& c : cases()) {
    SCOPED_TRACE(c.key);
    for (const std::vector<std::string>& options : {std::vector<std::string>{}, {"-s"}, {"--json"}}) {
      SCOPED_TRACE(options.empty() ? "" : options[0]);
      test::TempDir dir(test::memory_folder()), scratch(test::memory_folder());
      g_image = c.make(dir.path().string());
      std::vector<std::string> args = options;
      args.push_back(g_image);
      const test::ChildRun r = test::run_quorvex_child(args, c.plan, scratch.path().string());
      EXPECT_EQ(r.exit_code, c.exit_code);
      EXPECT_FALSE(fs::exists(g_image + "_DEL"));
      const std::string line = "quorvex: " + g_image + ": ";
      EXPECT_EQ(r.errors.compare(0, line.size(), line), 0) << r.errors;
      EXPECT_EQ(std::count(r.errors.begin(), r.errors.end(), '\n'), 1) << r.errors;
      EXPECT_EQ(r.errors.back(), '\n');
      if (options.empty() || options[0] == "-s") {
        const bool quiet = !options.empty();
        switch (c.out) {
          case Out::kUsage: EXPECT_EQ(r.output, kUsage); break;
          case Out::kNothing: EXPECT_EQ(r.output, ""); break;
          case Out::kError:
            EXPECT_TRUE(quiet ? r.output.empty() : r.output.ends_with("\nERROR\n")) << r.output;
        }
        continue;
      }
      const std::vector<test::Json> lines = json_lines(r.output);
      ASSERT_FALSE(lines.empty());
      const test::Json& last = lines.back();
      EXPECT_EQ(last["result"].text, "ERROR");
      EXPECT_EQ(last["exit_status"].number, c.exit_code);
      EXPECT_EQ(last["reason"]["key"].text, c.key);
      EXPECT_EQ(line + last["reason"]["text"].text + "\n", r.errors);
    }
  }
}

// Whatever code a writer's own failure ends in, the reason says it in words.
TEST(FailureReasons, EveryCodeOfTheWriterIsSaidInWords) {
  clear_file_failure();
  const auto page = test::read_file(test::source_dir() + "/man/quorvex.1");
  const std::string manual(page.begin(), page.end());
  for (const ErrorCode code : {ERR_OPEN, ERR_READ, ERR_WRITE, ERR_FILE_SIZE, ERR_NO_MEMORY, ERR_BAD_FORMAT,
                               ERR_UNSUPPORTED, ERR_CREATE, ERR_KEY_REQUIRED, ERR_LAYOUT, ERR_BAD_RECORD,
                               ERR_FILE_SYSTEM}) {
    const Reason r = failure_reason(code, "/nonexistent/disk.qcow2");
    EXPECT_NE(r.key, "failed") << error_name(code);
    EXPECT_NE(r.text.rfind("the trim failed (", 0), 0u) << r.text;
    EXPECT_NE(r.text.substr(0, 4), "ERR_") << r.text;
    EXPECT_TRUE(manual.find(" " + r.key + "\n") != std::string::npos || manual.find(" " + r.key + " ") != std::string::npos)
        << r.key;
  }
}

TEST(FailureReasons, TheManualPageListsEveryKey) {
  const auto bytes = test::read_file(test::source_dir() + "/man/quorvex.1");
  const std::string page(bytes.begin(), bytes.end());
  for (const ReasonCase& c : cases())
    EXPECT_TRUE(page.find(" " + std::string(c.key) + "\n") != std::string::npos ||
                page.find(" " + std::string(c.key) + " ") != std::string::npos)
        << c.key;
}

TEST(JsonOutput, ASuccessIsProgressEventsThenTheResult) {
  if (!test::have_tool("qemu-img")) GTEST_SKIP() << "qemu-img missing";
  test::TempDir dir(test::memory_folder());
  const std::string image = vhd(dir.path().string());
  const uint64_t before = fs::file_size(image);
  const auto r = test::run_command(shell_quote(test::quorvex_binary()) + " --json " + shell_quote(image));
  EXPECT_EQ(r.status, 0);
  const std::vector<test::Json> lines = json_lines(r.output);
  ASSERT_GE(lines.size(), 3u);
  uint64_t done = 0;
  for (size_t i = 0; i + 1 < lines.size(); ++i) {
    EXPECT_EQ(lines[i]["event"].text, "progress");
    EXPECT_EQ(lines[i]["total_bytes"].number, 16 * 1024 * 1024 + 512 * 8);  // qemu-img's rounding
    EXPECT_GE(static_cast<uint64_t>(lines[i]["done_bytes"].number), done);
    done = static_cast<uint64_t>(lines[i]["done_bytes"].number);
  }
  const test::Json& result = lines.back();
  EXPECT_EQ(result["event"].text, "result");
  EXPECT_EQ(result["result"].text, "SUCCESS");
  EXPECT_EQ(result["exit_status"].number, 0);
  EXPECT_EQ(result["reason"].kind, test::Json::Null);
  EXPECT_EQ(result["size_before"].number, static_cast<long long>(before));
  EXPECT_EQ(result["size_after"].number, static_cast<long long>(fs::file_size(image)));
  EXPECT_LT(fs::file_size(image), before);
  ASSERT_EQ(result["new_files"].items.size(), 1u);
  EXPECT_EQ(result["new_files"][0].text, image);
  ASSERT_EQ(result["backups"].items.size(), 1u);
  EXPECT_EQ(fs::file_size(result["backups"][0].text), before);
}

}  // namespace
}  // namespace qx
