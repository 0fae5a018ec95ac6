#!/usr/bin/env bash
# Runs the Windows build's unit tests under Wine, in a private prefix: the product's
# (build/windows/tests/vbcflash_tests.exe) and the test doubles' own
# (build/windows/testing/tests/vbcflash_testing_tests.exe), or the programs given. Then the tests
# of the Win32 toolkit backend (GUI_EXE, default build/windows/gui/win32/vbcflash_win32gui_tests.exe),
# which make real windows: Wine needs an X display for them, a virtual one here (xvfb-run, from
# the packages of scripts/deps.sh).
#
# Each test suite runs in a process of its own, as ctest gives each test one on Linux: no suite
# leans on what another left behind in the process (open ports, the clock, the toolkit, a
# module's state), and a crash names its suite. A process start under Wine costs a few tenths of
# a second, so a process a test would take minutes; a process a suite takes well under one.
#
# Left out here, where Windows differs from the Linux the expectations were written on:
#   UiXmlReader.RefusesWhatQtRefusesAndReadsTheRestAlike   pugixml with a 16-bit wchar_t
#       refuses U+10FFFF in an attribute
#   SaveLog.FailuresAreReportedWithThePathAndTheReason     Windows' C library calls a
#       directory in the way "Permission denied", not "Is a directory"
#   BootLine.PortAndBootstrapFileFailuresSendNothing       GoogleTest's regular expressions on
#       Windows have no groups
#   Boot.LoadSpmFileReadsUpTo8191Bytes                     Windows file names ignore case: the
#       upper-case bootstrap name finds the file
#   ChangeSpeed.ARefusedReopenAddsOneCommentLineAndChangesNothingElse   the scripted line's
#       errno values are read as Windows error codes by the system's text
set -euo pipefail
cd "$(dirname "$0")/.."
if (($# == 0)); then
    set -- build/windows/tests/vbcflash_tests.exe build/windows/testing/tests/vbcflash_testing_tests.exe
fi
GUI_EXE="${GUI_EXE:-build/windows/gui/win32/vbcflash_win32gui_tests.exe}"
WORK="$(mktemp -d "${TMPDIR:-/tmp}/vbcwinetests.XXXXXX")"
export WINEPREFIX="$WORK/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
trap '/usr/lib/wine/wineserver -k 2>/dev/null || true; rm -rf "$WORK"' EXIT
/usr/lib/wine/wine64 wineboot -i >"$WORK/wineboot.log" 2>&1
EXCLUDED=UiXmlReader.RefusesWhatQtRefusesAndReadsTheRestAlike
EXCLUDED+=:SaveLog.FailuresAreReportedWithThePathAndTheReason
EXCLUDED+=:BootLine.PortAndBootstrapFileFailuresSendNothing
EXCLUDED+=:Boot.LoadSpmFileReadsUpTo8191Bytes
EXCLUDED+=:ChangeSpeed.ARefusedReopenAddsOneCommentLineAndChangesNothingElse

suites=0
tests=0
failed=()
for exe in "$@"; do
    dir="$(dirname "$exe")"
    name="$(basename "$exe")"
    # "Suite." lines (a parameterised one's "Prefix/Suite."), each followed by its tests.
    mapfile -t list < <(cd "$dir" && /usr/lib/wine/wine64 "./$name" --gtest_list_tests |
        tr -d '\r' | sed -n 's/^\([^ #][^ ]*\)\.\( .*\)\{0,1\}$/\1/p')
    if ((${#list[@]} == 0)); then
        echo "$exe: no test suites listed" >&2
        failed+=("$name")
        continue
    fi
    for suite in "${list[@]}"; do
        out="$WORK/run.txt"
        run() {
            (cd "$dir" && /usr/lib/wine/wine64 "./$name" --gtest_brief=1 \
                --gtest_filter="$suite.*-$EXCLUDED") >"$out" 2>&1
        }
        # A process that reports no failed test failed in Wine itself (a client that met the
        # wineserver as it was ending between two processes): once more, then it counts.
        if run || { ! grep -q '^\[  FAILED  \]' "$out" && run; }; then
            passed="$(tr -d '\r' <"$out" | sed -n 's/^\[  PASSED  \] \([0-9]*\) test.*/\1/p')"
            tests=$((tests + ${passed:-0}))
        else
            tr -d '\r' <"$out"
            failed+=("$name $suite")
        fi
        suites=$((suites + 1))
    done
done
echo "$suites suites in a process each, $tests tests passed"

# The backend's windows on a display of their own; the display stays until Wine has ended.
# Wine's desktop belongs to its first program's session: those above had no display, so they
# must have ended before windows can be made.
/usr/lib/wine/wineserver -w
command -v xvfb-run >/dev/null || { echo "wine-tests: xvfb-run is missing (scripts/deps.sh)" >&2; exit 1; }
if ! (cd "$(dirname "$GUI_EXE")" && xvfb-run -a -s "-screen 0 1280x1024x24" sh -c \
    '/usr/lib/wine/wine64 "./$1" --gtest_brief=1; rc=$?; /usr/lib/wine/wineserver -w; exit $rc' \
    sh "$(basename "$GUI_EXE")"); then
    failed+=("$(basename "$GUI_EXE")")
fi
if ((${#failed[@]})); then
    printf 'FAILED: %s\n' "${failed[@]}"
    exit 1
fi
