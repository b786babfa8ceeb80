#include "support/xfs_tools.hpp"

#include <fstream>
#include <map>
#include <regex>
#include <sstream>

#include "support/test_support.hpp"

namespace qx::test {
namespace {

// mkfs.xfs refuses volumes below 300 MB unless it believes it runs under the XFS test suite.
const char* const kSmallVolumeEnv = "TEST_DIR=1 TEST_DEV=1 QA_CHECK_FS=1 ";

std::map<std::string, std::string> print_fields(const std::string& output) {
  std::map<std::string, std::string> fields;
  std::istringstream in(output);
  std::string line;
  while (std::getline(in, line)) {
    const size_t eq = line.find(" = ");
    if (eq != std::string::npos) fields[line.substr(0, eq)] = line.substr(eq + 3);
  }
  return fields;
}

uint64_t field_number(const std::map<std::string, std::string>& fields, const std::string& name) {
  const auto it = fields.find(name);
  return it == fields.end() ? 0 : std::stoull(it->second);
}

std::vector<uint64_t> regular_file_inodes(const std::string& path, const std::string& dir) {
  const CommandResult r =
      run_command("xfs_db -r -c " + shell_quote("ls " + dir) + " " + shell_quote(path) + " 2>/dev/null");
  std::vector<uint64_t> inodes;
  std::istringstream in(r.output);
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string cookie, inode, type;
    if (fields >> cookie >> inode >> type && type == "regular") inodes.push_back(std::stoull(inode));
  }
  return inodes;
}

}  // namespace

bool have_xfs_tools() {
  return have_tool("mkfs.xfs") && have_tool("xfs_db") && have_tool("xfs_repair");
}

int make_xfs_volume(const std::string& path, uint64_t size, const std::string& options,
                    const std::string& proto_file) {
  write_file(path, {});
  make_sparse_file(path, size);
  std::string cmd = std::string(kSmallVolumeEnv) + "mkfs.xfs -q -f " + options;
  if (!proto_file.empty()) cmd += " -p " + shell_quote(proto_file);
  return run_command(cmd + " " + shell_quote(path) + " >/dev/null 2>&1").status;
}

void write_xfs_proto(const std::string& proto_path, const std::vector<std::string>& dirs,
                     int files_per_dir, const std::string& source) {
  std::ofstream out(proto_path);
  out << "/dev/null\n0 0\nd--755 0 0\n";
  for (const std::string& dir : dirs) {
    out << dir << " d--755 0 0\n";
    for (int i = 1; i <= files_per_dir; ++i) out << "f" << i << " ---644 0 0 " << source << "\n";
    out << "$\n";
  }
  out << "$\n";
}

bool punch_every_other_file(const std::string& path, const std::vector<std::string>& dirs) {
  std::string commands;
  for (const std::string& dir : dirs) {
    const std::vector<uint64_t> inodes = regular_file_inodes(path, "/" + dir);
    if (inodes.empty()) return false;
    for (size_t i = 0; i < inodes.size(); i += 2)
      commands += "inode " + std::to_string(inodes[i]) +
                  "\nwrite core.nextents 0\nwrite core.size 0\nwrite core.nblocks 0\n";
  }
  const std::string script = path + ".xfs_db";
  {
    std::ofstream(script) << commands;
  }
  if (run_command("xfs_db -x " + shell_quote(path) + " < " + shell_quote(script) + " >/dev/null 2>&1")
          .status != 0)
    return false;
  return run_command("xfs_repair -f " + shell_quote(path) + " >/dev/null 2>&1").status == 0;
}

std::vector<bool> XfsOracle::free_blocks() const {
  std::vector<bool> free(data_blocks, false);
  for (const XfsExtentRow& e : free_extents)
    for (uint32_t b = 0; b < e.count; ++b) free.at(uint64_t{e.group} * ag_blocks + e.start + b) = true;
  for (uint32_t g = 0; g < free_list.size(); ++g)
    for (uint32_t b : free_list[g]) free.at(uint64_t{g} * ag_blocks + b) = false;
  return free;
}

XfsOracle read_xfs_oracle(const std::string& path) {
  XfsOracle oracle;
  const std::string quoted = shell_quote(path);
  const CommandResult sb = run_command("xfs_db -r -c 'sb 0' -c 'p blocksize agblocks agcount dblocks' " +
                                       quoted + " 2>/dev/null");
  if (sb.status != 0) return oracle;
  const auto fields = print_fields(sb.output);
  oracle.block_size = static_cast<uint32_t>(field_number(fields, "blocksize"));
  oracle.ag_blocks = static_cast<uint32_t>(field_number(fields, "agblocks"));
  oracle.ag_count = static_cast<uint32_t>(field_number(fields, "agcount"));
  oracle.data_blocks = field_number(fields, "dblocks");
  if (!oracle.block_size || !oracle.ag_blocks || !oracle.ag_count) return oracle;

  const CommandResult freesp = run_command("xfs_db -r -c 'freesp -d' " + quoted + " 2>/dev/null");
  if (freesp.status != 0) return oracle;
  std::istringstream in(freesp.output);
  std::string line;
  std::getline(in, line);  // column titles
  while (std::getline(in, line)) {
    std::istringstream row(line);
    XfsExtentRow e;
    if (!(row >> e.group >> e.start >> e.count)) break;  // the histogram follows the rows
    oracle.free_extents.push_back(e);
  }

  const std::regex entry(R"((\d+):(\d+|null))");
  for (uint32_t g = 0; g < oracle.ag_count; ++g) {
    const std::string ag = std::to_string(g);
    const CommandResult agf = run_command("xfs_db -r -c 'agf " + ag +
                                          "' -c 'p flfirst fllast flcount bnolevel' " + quoted +
                                          " 2>/dev/null");
    const CommandResult agfl =
        run_command("xfs_db -r -c 'agfl " + ag + "' -c 'p bno' " + quoted + " 2>/dev/null");
    if (agf.status != 0 || agfl.status != 0) return oracle;
    const auto header = print_fields(agf.output);
    oracle.by_block_levels.push_back(static_cast<uint32_t>(field_number(header, "bnolevel")));
    std::vector<uint32_t> slots;
    for (auto it = std::sregex_iterator(agfl.output.begin(), agfl.output.end(), entry);
         it != std::sregex_iterator(); ++it) {
      const size_t index = std::stoul((*it)[1]);
      if (slots.size() <= index) slots.resize(index + 1, UINT32_MAX);
      if ((*it)[2] != "null") slots[index] = static_cast<uint32_t>(std::stoul((*it)[2]));
    }
    std::vector<uint32_t> listed;
    const uint64_t count = field_number(header, "flcount");
    const uint64_t first = field_number(header, "flfirst");
    for (uint64_t i = 0; i < count && !slots.empty(); ++i) listed.push_back(slots[(first + i) % slots.size()]);
    oracle.free_list.push_back(listed);
  }
  oracle.ok = true;
  return oracle;
}

}  // namespace qx::test
