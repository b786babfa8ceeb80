// quorvex-inspect: shows what a trim would see in an image, without writing anything.
#include <cstdio>

#include "app/inspect.hpp"

int main(int argc, char** argv) { return qx::run_inspect(argc, argv, stdout, stderr); }
