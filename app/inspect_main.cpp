// quorvex-inspect: shows what a trim would see in an image, without writing anything.
#include <cstdio>

#include "app/inspect.hpp"
#include "platform/file_ops.hpp"

int main(int argc, char** argv) {
  return qx::platform::run_with_utf8_arguments(argc, argv, [](int n, const char* const* args) {
    return qx::run_inspect(n, args, stdout, stderr);
  });
}
