#!/usr/bin/env bash
# Installs every Debian package that building, testing, benchmarking and the demo need.
# The one place where the project's packages are named. Safe to run again.
set -euo pipefail

packages=(
  # native build and unit tests
  build-essential cmake ninja-build pkg-config git ca-certificates
  googletest libgtest-dev libgmock-dev
  # fuzzing (libFuzzer comes with clang's runtime), formatting and the analysers
  clang libclang-rt-14-dev clang-format clang-tidy
  # benchmarks: Google Benchmark and the peer parser SimpleIni (ICU for its wide mode)
  libbenchmark-dev libsimpleini-dev libicu-dev
  # Windows builds and running them: Wine's 64-bit and 32-bit halves (the x86 kelvarn.exe runs
  # under the 32-bit one, which comes from the i386 architecture added below)
  g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix binutils-mingw-w64-x86-64 binutils-mingw-w64-i686
  wine wine64 wine32:i386
  # end-to-end harness
  python3 python3-pytest procps
  # release packages: MSI, Authenticode signatures (and the certificate checks), MSI extraction in tests
  wixl osslsigncode openssl msitools
)

# wine32 is an i386 package: the architecture must be known before apt can find it.
added_arch=0
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
  added_arch=1
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if [ "${#missing[@]}" -gt 0 ] || [ "$added_arch" = 1 ]; then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update
  apt-get install -y --no-install-recommends "${missing[@]}"
fi
