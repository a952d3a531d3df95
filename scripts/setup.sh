#!/usr/bin/env bash
# Installs every Debian package the build, the tests and the application need.
# Non-interactive and idempotent: packages already present are left as they are.
# `setup.sh lint` adds lintian (large; only packaging/lint.sh uses it, CI does not).
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config git clang-format ccache
  clang libclang-rt-14-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  nlohmann-json3-dev libcli11-dev
  qt6-base-dev qt6-base-dev-tools libgl1-mesa-dev libxkbcommon-dev
  fonts-noto-cjk
  dpkg-dev file desktop-file-utils appstream librsvg2-bin
  pcscd libpcsclite-dev vsmartcard-vpcd pcsc-tools opensc util-linux iproute2
)
[ "${1:-}" = lint ] && packages+=(lintian)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

if [ "${#missing[@]}" -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update -q
  $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
