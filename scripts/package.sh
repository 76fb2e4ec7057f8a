#!/usr/bin/env bash
# Builds the release packages into dist/: per architecture a zip (kelvarn.exe, the sample
# kvn.ini, the stick and deployment guides, the security model, the licence) and an MSI that installs kelvarn.exe
# under Program Files, registers the service and its event source and starts it (the x86 MSI
# on 32-bit Windows only: on 64-bit Windows it refuses, naming the x64 MSI); then SHA256SUMS
# over them.
#
#   scripts/package.sh [VERSION]     VERSION (or KVN_VERSION) is major.minor.patch, default the
#                                    project version; it goes into kelvarn.exe and the packages
#
#   KVN_SIGN_PFX, KVN_SIGN_PASSWORD  a PKCS#12 file and its password: kelvarn.exe (before it is
#                                    packed) and the MSIs get an Authenticode SHA-256 signature.
#                                    The password is taken out of the environment at once: no
#                                    program started from here sees it there, on its command
#                                    line or in a file; openssl and osslsigncode read it from a
#                                    pipe.
#   KVN_SIGN_TIMESTAMP               optional RFC 3161 time-stamp server for the signatures
#   KVN_ARCHS                        the architectures, default "x64 x86"
#   KVN_DIST                         the output folder, default dist
#
# Each architecture builds in build/package/<preset>, apart from the development builds. All
# output is made in a staging folder that replaces the output folder only once everything is
# built and signed, so a failed run leaves no half-made or half-signed packages behind.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

fail() {
  echo "package.sh: $*" >&2
  exit 1
}

version=${1:-${KVN_VERSION:-}}
[ -n "$version" ] || version=$(sed -nE 's/^project\(kelvarn VERSION ([^ )]+).*/\1/p' CMakeLists.txt)
# Windows Installer compares the first three fields, as 0-255, 0-255 and 0-65535.
if ! [[ $version =~ ^(0|[1-9][0-9]{0,2})\.(0|[1-9][0-9]{0,2})\.(0|[1-9][0-9]{0,4})$ ]] ||
  ((BASH_REMATCH[1] > 255 || BASH_REMATCH[2] > 255 || BASH_REMATCH[3] > 65535)); then
  fail "refused version '$version': give major.minor.patch in digits without leading zeros, major and minor at most 255, patch at most 65535 (for example 1.2.3)"
fi
archs=${KVN_ARCHS:-x64 x86}
for arch in $archs; do
  case $arch in x64 | x86) ;; *) fail "unknown architecture '$arch' in KVN_ARCHS (x64, x86)" ;; esac
done
dist=${KVN_DIST:-dist}

# The signing password lives in this shell's variable alone. printf is a builtin, so the pipes
# that hand it on never show it in a command line.
password=${KVN_SIGN_PASSWORD-} password_given=${KVN_SIGN_PASSWORD+set}
unset KVN_SIGN_PASSWORD
# pkcs12_check [OPTION]: whether openssl opens the certificate with the password (openssl reads
# one line from the pipe and drops its line end, so an empty password works too).
pkcs12_check() {
  openssl pkcs12 "$@" -in "$KVN_SIGN_PFX" -passin fd:3 -noout 3< <(printf '%s\n' "$password") 2>/dev/null
}

# Signing: check the certificate and its password before anything is built.
signing=()
if [ -n "${KVN_SIGN_PFX:-}" ]; then
  [ -n "$password_given" ] || fail "KVN_SIGN_PFX is set but KVN_SIGN_PASSWORD is not (set it empty for a file without password)"
  if [ ! -f "$KVN_SIGN_PFX" ] || [ ! -r "$KVN_SIGN_PFX" ]; then fail "cannot read the signing certificate $KVN_SIGN_PFX"; fi
  pkcs12_check || pkcs12_check -legacy ||
    fail "cannot open the signing certificate $KVN_SIGN_PFX: wrong password, or not a PKCS#12 file"
elif [ -n "$password" ]; then
  fail "KVN_SIGN_PASSWORD is set but KVN_SIGN_PFX is not"
fi

[ "${KVN_SKIP_DEPS:-}" = 1 ] || bash scripts/install-deps.sh

mkdir -p build/package
work=$(mktemp -d build/package/work.XXXXXX)
stage=$(mktemp -d build/package/stage.XXXXXX)
trap 'rm -rf "$work" "$stage"' EXIT
chmod 755 "$stage"

if [ -n "${KVN_SIGN_PFX:-}" ]; then
  signing=(-pkcs12 "$KVN_SIGN_PFX" -h sha256 -n Kelvarn)
  # osslsigncode cannot read an empty password; a file without one needs none.
  [ -z "$password" ] || signing+=(-readpass /dev/fd/3)
  [ -z "${KVN_SIGN_TIMESTAMP:-}" ] || signing+=(-ts "$KVN_SIGN_TIMESTAMP")
fi
# sign IN OUT: an Authenticode-signed copy of IN, or a plain copy when not signing.
sign() {
  if [ "${#signing[@]}" -gt 0 ]; then
    osslsigncode sign "${signing[@]}" -in "$1" -out "$2" 3< <(printf '%s' "$password") >/dev/null ||
      fail "signing $1 failed"
  else
    cp "$1" "$2"
  fi
}

# The sample configuration with Windows line ends, for Notepad users.
sed 's/$/\r/' docs/kvn.ini > "$work/kvn.ini"
for arch in $archs; do
  case $arch in
    x64) preset=win64 win64=yes pfdir=ProgramFiles64Folder ;;
    x86) preset=win32 win64=no pfdir=ProgramFilesFolder ;;
  esac
  build=build/package/$preset
  cmake --preset "$preset" -B "$build" -DKVN_VERSION="$version" -DKVN_TESTS=OFF >/dev/null
  cmake --build "$build" --target kelvarn
  name="kelvarn-$version-$arch"

  mkdir -p "$work/$name"
  sign "$build/kelvarn.exe" "$work/$name/kelvarn.exe"
  cp "$work/kvn.ini" docs/stick-setup.md docs/deploy.md docs/security-model.md "$work/$name/"
  cp LICENSE "$work/$name/LICENSE.txt"
  (cd "$work" && python3 -m zipfile -c "$root/$stage/$name.zip" "$name")

  # wixl takes its sources relative to the folder it runs in.
  wixl -a "$arch" -D Version="$version" -D ExePath="$work/$name/kelvarn.exe" -D Win64="$win64" \
    -D ProgramFilesDir="$pfdir" -D IniPath="$work/kvn.ini" -o "$work/$name.msi" packaging/kelvarn.wxs
  # What wixl cannot write: an "expandable" registry value (wixl writes a plain string; the #%
  # prefix makes it REG_EXPAND_SZ); the service's failure actions as "kelvarn -install" sets
  # them (restart after 5 s, 5 s, then 60 s; the count reset after 86400 s), also after a stop
  # with an error (MsiServiceConfig, type 4: SERVICE_CONFIG_FAILURE_ACTIONS_FLAG), both applied
  # on install and repair by MsiConfigureServices, a Windows Installer 5 action; and the removal of the
  # key of the service's mount record on uninstall (a "-" row deletes the key when its
  # component goes).
  msibuild "$work/$name.msi" \
    -q "UPDATE Registry SET Value = '#%[#KelvarnExe]' WHERE Name = 'EventMessageFile'" \
    -q "CREATE TABLE MsiServiceConfigFailureActions (MsiServiceConfigFailureActions CHAR(72) NOT NULL, Name CHAR(255) NOT NULL LOCALIZABLE, Event SHORT NOT NULL, ResetPeriod LONG, RebootMessage CHAR(255) LOCALIZABLE, Command CHAR(255), Actions CHAR(255), DelayActions CHAR(255), Component_ CHAR(72) NOT NULL PRIMARY KEY MsiServiceConfigFailureActions)" \
    -q "INSERT INTO MsiServiceConfigFailureActions (MsiServiceConfigFailureActions, Name, Event, ResetPeriod, Actions, DelayActions, Component_) VALUES ('KelvarnRestart', 'Kelvarn', 5, 86400, '1[~]1[~]1', '5000[~]5000[~]60000', 'KelvarnService')" \
    -q "CREATE TABLE MsiServiceConfig (MsiServiceConfig CHAR(72) NOT NULL, Name CHAR(255) NOT NULL LOCALIZABLE, Event SHORT NOT NULL, ConfigType LONG NOT NULL, Argument CHAR(0) LOCALIZABLE, Component_ CHAR(72) NOT NULL PRIMARY KEY MsiServiceConfig)" \
    -q "INSERT INTO MsiServiceConfig (MsiServiceConfig, Name, Event, ConfigType, Argument, Component_) VALUES ('KelvarnRestartOnError', 'Kelvarn', 5, 4, '1', 'KelvarnService')" \
    -q "INSERT INTO InstallExecuteSequence (Action, Condition, Sequence) VALUES ('MsiConfigureServices', 'VersionMsi >= \"5.00\"', 5850)" \
    -q "INSERT INTO Registry (Registry, Root, \`Key\`, Name, Component_) VALUES ('MountRecord', 2, 'SOFTWARE\\Kelvarn', '-', 'KelvarnService')"
  sign "$work/$name.msi" "$stage/$name.msi"
done

(cd "$stage" && sha256sum -- *.zip *.msi > SHA256SUMS)
rm -rf "$dist"
mv "$stage" "$dist"
echo
if [ "${#signing[@]}" -gt 0 ]; then
  echo "Signed kelvarn.exe and the MSIs with $KVN_SIGN_PFX (Authenticode, SHA-256)."
else
  echo "Not signed: KVN_SIGN_PFX and KVN_SIGN_PASSWORD name no certificate."
fi
echo "Release packages of Kelvarn $version in $dist/:"
ls -l "$dist"
