#!/usr/bin/env bash
# Runs clang-tidy (.clang-tidy: bugprone, cert, clang-analyzer, concurrency, misc, performance)
# on the product's sources: the portable core and its POSIX stand-ins natively, the Win32
# adapter and the process entry for both MinGW targets, from each preset's compile commands.
# Clang 14 does not find MinGW's C++ headers (GCC's 12-posix) by itself: they are named. Every
# finding is an error; ends non-zero when there is one.
set -uo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root" || exit 2
jobs=${KVN_JOBS:-2}
status=0

# Runs clang-tidy on the files after "--", two at a time per job, with the preset's database.
tidy() {
  local preset=$1
  shift
  local args=()
  while [ "$1" != "--" ]; do args+=("--extra-arg=$1"); shift; done
  shift
  cmake --preset "$preset" >/dev/null || return 2
  # Without the count of suppressed warnings (system headers) that clang-tidy prints per file.
  printf '%s\n' "$@" | xargs -P "$jobs" -n 2 clang-tidy -p "build/$preset" --quiet "${args[@]}" 2>&1 |
    grep -v ' warnings\? generated\.$'
  return "${PIPESTATUS[1]}"
}

mapfile -t core < <(git ls-files 'src/*.cpp' | grep -v '^src/win32/')
mapfile -t win < <(git ls-files 'src/win32/*.cpp')
tidy native -- "${core[@]}" || status=1
for target in x86_64-w64-mingw32:win64 i686-w64-mingw32:win32; do
  triple=${target%%:*}
  headers=/usr/lib/gcc/$triple/12-posix/include/c++
  tidy "${target##*:}" "--target=$triple" -nostdinc++ "-isystem$headers" \
    "-isystem$headers/$triple" "-isystem$headers/backward" -- "${win[@]}" || status=1
done
if [ "$status" -eq 0 ]; then echo "clang-tidy: no findings"; else echo "clang-tidy: findings above"; fi
exit "$status"
