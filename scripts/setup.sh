#!/usr/bin/env bash
# Installs what the build needs on Debian 12, only when something is missing.
set -euo pipefail
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"

need=(cmake ninja-build g++ python3 libsnappy-dev libcrypto++-dev googletest)
if [ "${1:-}" = "--all" ]; then
  # 32-bit build, its emulator, and the test-only oracles.
  need+=(g++-multilib libsnappy-dev:i386 libcrypto++-dev:i386 qemu-user zlib1g-dev libpng-dev)
  # The fuzz build: clang with its libFuzzer and sanitizer runtimes.
  need+=(clang libclang-rt-14-dev)
fi

missing=()
for p in "${need[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if printf '%s\n' "${missing[@]}" | grep -q ':i386'; then
  dpkg --print-foreign-architectures | grep -qx i386 || $SUDO dpkg --add-architecture i386
fi
# An index that is momentarily inconsistent (a mirror in sync) makes the
# update fail although the packages we need are listed: retry once, then
# let the install decide.
if ! $SUDO apt-get update -q; then
  sleep 5
  $SUDO apt-get update -q || echo "setup: apt-get update failed twice; trying the install with the indexes at hand" >&2
fi
if ! DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q "${missing[@]}"; then
  echo "setup: could not install the needed packages: ${missing[*]}" >&2
  exit 1
fi
