#!/usr/bin/env bash
# Installs the Debian packages that the build and the tests need, only those
# that are missing, running `apt-get update` once first when anything is.
set -euo pipefail

PACKAGES=(
  cmake ninja-build g++ pkg-config
  libsqlite3-dev zlib1g-dev
  libprotobuf-c-dev protobuf-c-compiler protobuf-compiler
  libcurl4-openssl-dev libssl-dev
  nlohmann-json3-dev libplist-dev
  libgtest-dev libgmock-dev libcpp-httplib-dev libbenchmark-dev
  sqlite3 python3 openssl gzip binutils coreutils curl iproute2 util-linux
  clang-14 lld-14 llvm-14 clang-format-14
  libunwind-dev gdb
  xvfb xdotool zenity x11-apps tesseract-ocr tesseract-ocr-eng
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  SUDO=""
  if [ "$(id -u)" != 0 ]; then
    if ! command -v sudo >/dev/null 2>&1; then
      echo "setup: run this as root or install sudo; missing packages: ${missing[*]}" >&2
      exit 1
    fi
    SUDO="sudo"
  fi
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
