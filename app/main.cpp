// quorvex: makes a virtual-disk image smaller by dropping the blocks its file systems do not use.
#include "app/trim_driver.hpp"

int main(int argc, char** argv) { return qx::run_quorvex(argc, argv); }
