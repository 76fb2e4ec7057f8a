#!/usr/bin/env bash
# A cheap guard for building with other compilers (Visual Studio among them): the portable
# core compiles with clang as strict ISO C++17 (no GNU extensions, pedantic errors), and no
# core file includes <windows.h> or a POSIX header.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
mapfile -t core < <(git ls-files -co --exclude-standard -- 'src/common/*.cpp' 'src/config/*.cpp' 'src/rules/*.cpp' \
  'src/token/*.cpp' 'src/service/*.cpp')
bad=$(grep -lE '#include *<(windows\.h|unistd\.h|fcntl\.h|sys/)' \
  $(git ls-files -co --exclude-standard -- 'src/common/*' 'src/config/*' 'src/rules/*' 'src/token/*' 'src/service/*' 'src/os/*.h') || true)
if [ -n "$bad" ]; then
  echo "platform headers in the portable core: $bad"
  exit 1
fi
for f in "${core[@]}"; do
  clang++ -std=c++17 -DKVN_VERSION_TEXT='"0.0.0"' -pedantic-errors -Wall -Wextra -Wconversion -Wshadow -Werror -fsyntax-only -Isrc "$f"
done
echo "portable core: ${#core[@]} files compile as strict C++17 with clang"
