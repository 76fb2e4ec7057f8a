#!/usr/bin/env bash
# Builds the release packages into dist/: per architecture a zip (kelvarn.exe, the sample
# kvn.ini, the stick guide, the licence) and an MSI that installs kelvarn.exe under Program
# Files and registers and starts the service; then SHA256SUMS over all of them.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
[ "${KVN_SKIP_DEPS:-}" = 1 ] || bash scripts/install-deps.sh

version=""
rm -rf dist
mkdir -p dist build/package
# The sample configuration with Windows line ends, for Notepad users.
sed 's/$/\r/' docs/kvn.ini > build/package/kvn.ini
for arch in x64 x86; do
  case $arch in
    x64) preset=win64 wixarch=x64 win64=yes pfdir=ProgramFiles64Folder ;;
    x86) preset=win32 wixarch=x86 win64=no pfdir=ProgramFilesFolder ;;
  esac
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" --target kelvarn
  exe="build/$preset/kelvarn.exe"
  version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "build/$preset/CMakeCache.txt")
  name="kelvarn-$version-$arch"

  stage=$(mktemp -d)
  mkdir -p "$stage/$name"
  cp "$exe" "$stage/$name/kelvarn.exe"
  cp build/package/kvn.ini docs/stick-setup.md "$stage/$name/"
  cp LICENSE "$stage/$name/LICENSE.txt"
  (cd "$stage" && python3 -m zipfile -c "$root/dist/$name.zip" "$name")
  rm -rf "$stage"

  wixl -a "$wixarch" -D Version="$version" -D ExePath="$exe" -D Win64="$win64" \
    -D ProgramFilesDir="$pfdir" -D IniPath=build/package/kvn.ini -o "dist/$name.msi" packaging/kelvarn.wxs
done

(cd dist && sha256sum -- *.zip *.msi > SHA256SUMS)
echo
echo "Release packages of Kelvarn $version in dist/:"
ls -l dist
