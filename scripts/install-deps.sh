#!/usr/bin/env bash
# Installs what building quorvex and running its tests need on a Debian machine, and any further
# packages named as arguments.
set -euo pipefail
PACKAGES=(cmake g++ make libgtest-dev libgmock-dev zlib1g-dev libzstd-dev
  qemu-utils dosfstools mtools ntfs-3g exfatprogs e2fsprogs xfsprogs fdisk gdisk
  sleuthkit hfsplus libvhdi-utils libvmdk-utils lvm2 time util-linux attr
  tcl8.6 python3 btrfs-progs "$@")
missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}" >/dev/null
fi
