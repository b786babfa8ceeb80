// quorvex: makes a virtual-disk image smaller by dropping the blocks its file systems do not use.
#include "app/trim_driver.hpp"
#include "platform/file_ops.hpp"

int main(int argc, char** argv) { return qx::platform::run_with_utf8_arguments(argc, argv, qx::run_quorvex); }
