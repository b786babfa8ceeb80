// The manual pages against the tools: every option, exit status and file name a page names is a
// case below, and each case runs the tool.
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <set>

#include "support/test_support.hpp"
#include "support/trim_run.hpp"
#include "support/vhd_builder.hpp"

namespace qx {
namespace {

namespace fs = std::filesystem;
using test::shell_quote;

std::string page(const std::string& name) {
  const auto bytes = test::read_file(test::source_dir() + "/man/" + name);
  return std::string(bytes.begin(), bytes.end());
}

// The text between ".SH TITLE" and the next section.
std::string section(const std::string& text, const std::string& title) {
  const size_t at = text.find(".SH " + title + "\n");
  if (at == std::string::npos) return "";
  const size_t end = text.find("\n.SH ", at + 1);
  return text.substr(at, end == std::string::npos ? std::string::npos : end - at);
}

// Tags of the ".TP" items of a section, spaces and quotes dropped: ".B \-d" gives "-d", ".B 2"
// gives "2", ".BI \-\-key\-file " FILE"" gives "--key-fileFILE".
std::set<std::string> items(const std::string& text) {
  std::set<std::string> out;
  static const std::regex item(R"(\.TP\n\.[BI]+ ([^\n]+))");
  for (std::sregex_iterator i(text.begin(), text.end(), item), e; i != e; ++i) {
    std::string tag = (*i)[1];
    tag = std::regex_replace(tag, std::regex(R"(\\-)"), "-");
    tag = std::regex_replace(tag, std::regex(R"([\s"])"), "");
    out.insert(tag);
  }
  return out;
}

// A small dynamic VHD with data in a few blocks: something every trim can work on.
std::string make_image(const test::TempDir& dir) {
  test::VhdShape shape;
  shape.total_sectors = 16 * 4096;
  test::VhdBuilder b(shape);
  b.fill(0, 8, 0x42);
  b.fill(9000, 8, 0x43);
  b.allocate(3);
  const std::string path = dir.file("disk.vhd");
  b.write_to(path);
  return path;
}

TEST(ManualPages, RenderWithoutWarnings) {
  if (!test::have_tool("groff")) GTEST_SKIP() << "groff missing";
  for (const char* name : {"quorvex.1", "quorvex-inspect.1"}) {
    const auto r = test::run_command("groff -ww -z -man " +
                                     shell_quote(test::source_dir() + "/man/" + name) + " 2>&1");
    EXPECT_EQ(r.status, 0) << name;
    EXPECT_EQ(r.output, "") << name;
  }
}

TEST(ManualPages, QuorvexOptionsFilesAndStatusesAreWhatTheToolDoes) {
  const std::string text = page("quorvex.1");
  EXPECT_EQ(items(section(text, "OPTIONS")),
            (std::set<std::string>{"-d", "-s", "--json", "--in-place", "-fformat", "--key-fileFILE", "--help", "--version"}));
  EXPECT_EQ(items(section(text, "EXIT STATUS")), (std::set<std::string>{"0", "1", "2"}));
  EXPECT_EQ(items(section(text, "FILES")), (std::set<std::string>{"filepath_TEMP", "filepath_DEL", "filepath_SWAP"}));
  EXPECT_NE(text.find("QxDeleteFile"), std::string::npos);

  struct Case {
    const char* options;
    int status;
    bool backup_kept, result_printed;
  };
  // Both spellings of the options, alone and together.
  for (const Case& c : {Case{"", 0, true, true}, Case{"-d", 0, false, true}, Case{"-s", 0, true, false},
                        Case{"/D /s", 0, false, false}}) {
    SCOPED_TRACE(c.options);
    test::TempDir dir;
    const std::string image = make_image(dir);
    const auto r = test::quorvex(std::string(c.options) + " " + shell_quote(image), true);
    EXPECT_EQ(r.status, c.status) << r.output;
    EXPECT_EQ(fs::exists(image + "_DEL"), c.backup_kept);
    EXPECT_FALSE(fs::exists(image + "_TEMP"));
    EXPECT_FALSE(fs::exists(image + "_SWAP"));
    EXPECT_EQ(r.output.find("SUCCESS") != std::string::npos, c.result_printed) << r.output;
    EXPECT_EQ(r.output.find("QxDeleteFile " + image + "_DEL") != std::string::npos,
              !c.backup_kept)
        << r.output;
  }
  // Status 1: the usage text, also for a path that does not exist; status 2: a file no format owns.
  test::TempDir dir;
  for (const char* args : {"", "-x img", "nothere.vhd"}) {
    const auto r = test::quorvex(args, true);
    EXPECT_EQ(r.status, 1) << args;
    EXPECT_NE(r.output.find("Usage:"), std::string::npos) << args;
  }
  test::write_file(dir.file("junk.img"), std::vector<uint8_t>(4096, 0x5A));
  EXPECT_EQ(test::quorvex(shell_quote(dir.file("junk.img")), true).status, 2);
  EXPECT_FALSE(fs::exists(dir.file("junk.img_TEMP")));
}

TEST(ManualPages, InspectOptionsAndStatusesAreWhatTheToolDoes) {
  const std::string text = page("quorvex-inspect.1");
  EXPECT_EQ(items(section(text, "OPTIONS")),
            (std::set<std::string>{"--json", "--ranges", "--estimate", "-fformat", "--key-fileFILE", "--", "--help", "--version"}));
  EXPECT_EQ(items(section(text, "EXIT STATUS")), (std::set<std::string>{"0", "1", "2"}));
  test::TempDir dir;
  const std::string image = make_image(dir);
  auto inspect = [](const std::string& args) {
    return test::run_command(shell_quote(test::inspect_binary()) + " " + args + " 2>&1");
  };
  EXPECT_EQ(inspect(shell_quote(image)).status, 0);
  const auto json = inspect("--ranges --json " + shell_quote(image));
  EXPECT_EQ(json.status, 0);
  for (const char* key : {"\"format\"", "\"geometry\"", "\"volumes\"", "\"unused_sectors\"",
                          "\"used_ranges\"", "\"kind_name\""}) {
    EXPECT_NE(json.output.find(key), std::string::npos) << key;
    EXPECT_NE(text.find(std::string(key).substr(1, std::string(key).size() - 2)), std::string::npos) << key;
  }
  fs::copy_file(image, dir.file("-dash.vhd"));
  EXPECT_EQ(test::run_command("cd " + shell_quote(dir.path().string()) + " && " +
                              shell_quote(test::inspect_binary()) + " -- -dash.vhd >/dev/null 2>&1")
                .status,
            0);
  EXPECT_EQ(inspect("--bogus " + shell_quote(image)).status, 1);
  test::write_file(dir.file("junk.img"), std::vector<uint8_t>(4096, 0x5A));
  const auto bad = inspect(shell_quote(dir.file("junk.img")));
  EXPECT_EQ(bad.status, 2);
  EXPECT_NE(bad.output.find(": no known image format"), std::string::npos) << bad.output;
}

}  // namespace
}  // namespace qx
