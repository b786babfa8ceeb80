// quorvex: makes a virtual-disk image smaller by dropping the blocks its file systems do not use.
#include <string>
#include <vector>

#include "app/trim_driver.hpp"
#include "platform/file_ops.hpp"

int main(int argc, char** argv) {
  std::vector<std::string> args;
  std::vector<const char*> views;
  try {
    args = qx::platform::utf8_arguments(argc, argv);
    for (const std::string& a : args) views.push_back(a.c_str());
  } catch (...) {
    return 2;
  }
  return qx::run_quorvex(static_cast<int>(views.size()), views.data());
}
