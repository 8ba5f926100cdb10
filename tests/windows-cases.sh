#!/usr/bin/env bash
# Builds skelvane.exe with the mingw-w64 cross compiler and runs the
# black-box case table against it under Wine. Exits 77 (a skip for CTest)
# and says why when the cross compiler or Wine is missing.
set -u
source_dir=$1
cases_binary=$2
for tool in i686-w64-mingw32-g++-posix wine; do
    if ! command -v "$tool" >/dev/null; then
        echo "skipped: $tool is not installed (apt-get install g++-mingw-w64-i686 wine wine32:i386)"
        exit 77
    fi
done
# Wine needs a kernel that runs 32-bit programs; some do not (Exec format error).
if ! wine --version >/dev/null 2>&1; then
    echo "skipped: wine cannot run here ($(wine --version 2>&1 | tail -1))"
    exit 77
fi
cd "$source_dir" || exit 1
cmake --preset windows-x86 >/dev/null && cmake --build --preset windows-x86 || exit 1
# No Mono or Gecko installer: the tests need neither, and there is no display.
export WINEDEBUG=-all WINEPREFIX="${WINEPREFIX:-$HOME/.wine-skelvane}" WINEDLLOVERRIDES="mscoree,mshtml="
wineboot -i >/dev/null 2>&1
SKELVANE_EXE="$source_dir/build/windows-x86/skelvane.exe" SKELVANE_WRAPPER=wine SKELVANE_PLATFORM=windows \
    "$cases_binary" --gtest_filter='cases/*:windows*'
