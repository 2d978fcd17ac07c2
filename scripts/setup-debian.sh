#!/usr/bin/env bash
# Installs what building and testing need on Debian 12. Run as root (or with sudo).
set -euo pipefail
packages=(
  build-essential cmake ninja-build pkg-config ccache clang libclang-rt-14-dev
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  qt6-base-dev qt6-base-dev-tools libgl-dev fonts-wqy-zenhei fonts-urw-base35 fonts-dejavu-core
  zlib1g-dev libcups2-dev libcupsimage2-dev cups cups-daemon cups-client cups-filters
  libusb-1.0-0-dev libudev-dev umockdev libumockdev-dev libcli11-dev libpng-dev
  systemd lintian help2man desktop-file-utils libxml2-utils poppler-utils ghostscript
  libpappl-dev cups-ipp-utils curl python3 libjpeg-dev libjpeg-turbo-progs
  iproute2 util-linux binutils
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q
  apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
