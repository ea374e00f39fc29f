#!/usr/bin/env bash
# Installs the Debian 12 packages Tessary builds and tests with (run as root; skips what is present).
set -euo pipefail
packages=(g++ cmake ninja-build pkg-config xz-utils libgtest-dev libgmock-dev libcli11-dev nlohmann-json3-dev zlib1g-dev libzstd-dev
          qt6-base-dev libre2-dev qemu-utils sleuthkit xvfb xauth e2fsprogs fdisk)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update
  apt-get install -y --no-install-recommends "${missing[@]}"
fi
