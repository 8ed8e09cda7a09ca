#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need. Idempotent: when everything is
# present it does not touch apt at all; otherwise one `apt-get update`, then one install.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  libcurl4-openssl-dev zlib1g-dev libtinyxml2-dev libsqlite3-dev liblzma-dev libarchive-dev libssl-dev
  libgtest-dev libgmock-dev libbenchmark-dev libcpp-httplib-dev nlohmann-json3-dev libcli11-dev
  xz-utils openssl p7zip-full curl clang-format
)

if ! command -v dpkg-query >/dev/null 2>&1; then
  echo "setup: not a Debian system; install these packages by hand: ${packages[*]}" >&2
  exit 0
fi

missing=()
for pkg in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$pkg")
  fi
done

if ((${#missing[@]} == 0)); then
  exit 0
fi

sudo=()
if [[ $(id -u) -ne 0 ]]; then
  sudo=(sudo)
fi
echo "setup: installing ${missing[*]}"
"${sudo[@]}" apt-get update
DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y "${missing[@]}"
