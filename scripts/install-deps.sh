#!/usr/bin/env bash
# Installs every Debian package the project needs to build, test and run.
# Idempotent: when everything is present it only checks and returns; the
# package index is refreshed only when something must be installed.
set -euo pipefail

PACKAGES=(
  build-essential cmake ninja-build ccache pkg-config git
  clang clang-14 libclang-rt-14-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  libboost1.81-dev libboost-json1.81-dev
  libsqlite3-dev sqlite3
  unixodbc-dev unixodbc tdsodbc freetds-bin
  libzip-dev zlib1g-dev libssl-dev
  python3
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "install-deps: installing ${missing[*]}" >&2
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
