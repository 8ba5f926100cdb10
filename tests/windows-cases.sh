#!/usr/bin/env bash
# windows-cases.sh SOURCE-DIR TESTS-DIR: builds skelvane.exe with mingw-w64
# and runs the cases, the concurrent runs, the Windows-only tests and the
# --watch basics against
# it under Wine: the shipped 32-bit build, or where the kernel cannot run
# 32-bit programs (nor 32-bit Wine), the 64-bit one under 64-bit Wine.
# Exits 77 (a skip for CTest) and says why when neither can run.
set -u
source_dir=$1 tests=$2
# No Mono or Gecko installer: the tests need neither, and there is no display.
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
if command -v i686-w64-mingw32-g++-posix >/dev/null && wine --version >/dev/null 2>&1; then
    preset=windows-x86 wine=wine
    export WINEPREFIX="${WINEPREFIX:-$HOME/.wine-skelvane}"
elif command -v x86_64-w64-mingw32-g++-posix >/dev/null && /usr/lib/wine/wine64 --version >/dev/null 2>&1; then
    preset=windows-x64 wine=/usr/lib/wine/wine64
    export WINEPREFIX="${WINEPREFIX:-$HOME/.wine-skelvane64}"
    echo "32-bit Wine cannot run here; testing the 64-bit build under 64-bit Wine"
else
    echo "skipped: no Wine that runs here with its cross compiler" \
         "(apt-get install g++-mingw-w64-i686 wine wine32:i386, or g++-mingw-w64-x86-64 wine64)"
    exit 77
fi
cd "$source_dir" && cmake --preset "$preset" >/dev/null && cmake --build --preset "$preset" || exit 1
"$wine" wineboot -i >/dev/null 2>&1
export SKELVANE_EXE="$source_dir/build/$preset/skelvane.exe" SKELVANE_WRAPPER="$wine" SKELVANE_PLATFORM=windows
"$tests/case_tests" --gtest_filter='run_*' && "$tests/hostiles_tests" --gtest_filter='*concurrent*:windows*' &&
    bash "$source_dir/tests/watch_test.sh" "$SKELVANE_EXE" saves appears cascade cycle failures idle list
