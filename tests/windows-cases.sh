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
# Wine's prefixes (about a gigabyte each) in the build folder, never the
# user's own nor one in $HOME.
prefix32=$tests/wine-prefix prefix64=$tests/wine-prefix64
# Whether Wine runs 32-bit programs here: `wine --version` succeeds where
# only 64-bit Wine is installed, so a tiny 32-bit program is run.
runs32() {
    local probe
    command -v i686-w64-mingw32-g++-posix >/dev/null && command -v wine >/dev/null || return 1
    probe=$(mktemp -d) || return 1
    printf 'int main() { return 42; }\n' >"$probe/probe.c"
    i686-w64-mingw32-gcc -o "$probe/probe.exe" "$probe/probe.c" >/dev/null 2>&1 &&
        WINEPREFIX=$prefix32 timeout 120 wine "$probe/probe.exe" >/dev/null 2>&1
    local status=$?
    rm -rf "$probe"
    [[ $status == 42 ]]
}
if runs32; then
    preset=windows-x86 wine=wine
    export WINEPREFIX=$prefix32
elif command -v x86_64-w64-mingw32-g++-posix >/dev/null && /usr/lib/wine/wine64 --version >/dev/null 2>&1; then
    preset=windows-x64 wine=/usr/lib/wine/wine64
    export WINEPREFIX=$prefix64
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
    bash "$source_dir/tests/watch_test.sh" "$SKELVANE_EXE" idle &&
    python3 "$source_dir/tests/watch_property.py" "$SKELVANE_EXE" 8 new saves appears cascade cycle failed mended list folders hardlinks \
        added removed nested hidden links moved replaced
