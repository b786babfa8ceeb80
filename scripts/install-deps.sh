#!/usr/bin/env bash
# Installs what building quorvex and running its tests need on a Debian machine, and any further
# packages named as arguments.
set -euo pipefail
PACKAGES=(cmake g++ make libgtest-dev libgmock-dev zlib1g-dev libzstd-dev
  qemu-utils dosfstools mtools ntfs-3g exfatprogs e2fsprogs xfsprogs fdisk gdisk
  sleuthkit hfsplus libvhdi-utils libvmdk-utils lvm2 time util-linux attr
  tcl8.6 python3 btrfs-progs ccache libcryptsetup-dev libgcrypt20-dev cryptsetup-bin mdadm bcache-tools
  apfsprogs "$@")
missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  # On a fresh machine another install (unattended upgrades, cloud-init) often holds the package
  # manager's locks for minutes: wait for them instead of failing.
  wait_lock=(-o DPkg::Lock::Timeout=1800)
  for try in $(seq 1 180); do
    if out=$($SUDO apt-get "${wait_lock[@]}" update -qq 2>&1); then break; fi
    if ! grep -qi "lock" <<<"$out" || [ "$try" -eq 180 ]; then echo "$out" >&2; exit 1; fi
    [ "$try" -eq 1 ] && echo "install-deps: waiting for another package install to finish" >&2
    sleep 10
  done
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get "${wait_lock[@]}" install -y -qq "${missing[@]}" >/dev/null
fi
