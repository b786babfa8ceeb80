#!/usr/bin/env bash
# Cross-compiles static quorvex.exe and quorvex-inspect.exe for 64-bit Windows into build-windows/
# with Debian's MinGW-w64, and packs them with the README and the manual pages into a zip there.
# Built without libzstd (Debian has no MinGW build of it): zstd-compressed QCOW2 images are refused.
# Built without LUKS unlocking (Debian has no MinGW build of libcryptsetup): LUKS volumes are kept
# whole.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh g++-mingw-w64-x86-64-posix libz-mingw-w64-dev groff-base zip
build=build-windows
cmake -S . -B $build -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DCMAKE_BUILD_TYPE=Release \
  -DQX_WERROR=ON -DQX_ZSTD=OFF -DQX_LUKS=OFF -DBUILD_TESTING=${QX_WINDOWS_TESTS:-OFF} >/dev/null
cmake --build $build -j"$(nproc)" --target quorvex quorvex-inspect
rm -f $build/quorvex-*.zip
(cd $build && cpack -G ZIP >/dev/null)
ls -l $build/quorvex.exe $build/quorvex-inspect.exe $build/quorvex-*.zip
