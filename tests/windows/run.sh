#!/usr/bin/env bash
# The Windows build and its tests, as CI runs them: tests/windows/run.sh
#
# - installs what it needs (mingw-w64 cross compilers, Wine, Xvfb);
# - builds tavrik-sim.exe, tavrik.exe (the BDA card) and tavrik-check.exe,
#   with the test fixtures tavrik-rec.exe (the recording card) and
#   fake_tuner.dll, for i686 (the release target) and x86_64 with the -win32
#   compilers, and the GoogleTest driver for x86_64 with the -posix ones;
# - checks the exes statically (architecture, imports, resources, size);
# - runs the behaviour tests on the x86_64 release exes under Wine, on a
#   private Xvfb display with a fresh prefix inside the build folder.
# The 32-bit test build's behaviour tests run elsewhere: the kernel here may
# refuse 32-bit programs, and wine32 would break the 64-bit loader; see
# tests/windows/wine32/run.sh, which runs them under 32-bit Wine in a VM.
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$PWD
started=$SECONDS

"$root/tools/install-deps.sh" windows
if [ "$(dpkg-query -W -f='${db:Status-Status}' wine32 2>/dev/null)" = installed ]; then
  echo "run.sh: wine32 is installed; it breaks the 64-bit Wine loader these tests use" >&2
  exit 1
fi
echo "== packages ready after $((SECONDS - started)) s"

build=$root/build-win
. "$root/tests/windows/mingw_tree.sh"
# The test build is only the driver, unoptimised (build type None): it drives
# the x86_64 release exes.
mingw_tree "$build/i686" i686 win32
mingw_tree "$build/x86_64" x86_64 win32
mingw_tree "$build/x86_64-test" x86_64 posix -DCMAKE_BUILD_TYPE=None -DTAVRIK_WINDOWS_EXES="$build/x86_64" \
    -- wine_dialog_tests
echo "== built after $((SECONDS - started)) s"
for dir in i686 x86_64; do
  for exe in tavrik-sim tavrik tavrik-check; do
    echo "$exe.exe ($dir): $(stat -c %s "$build/$dir/$exe.exe") bytes"
  done
done

# CTest's JUnit report of a run, when tools/test.sh asks for them.
report() {
  [ -z "${TAVRIK_JUNIT_DIR:-}" ] || printf '%s\n' --output-junit "$TAVRIK_JUNIT_DIR/windows-$1.xml"
}
status=0
ctest --test-dir "$build/i686" --output-on-failure $(report i686) || status=1
ctest --test-dir "$build/x86_64" --output-on-failure $(report x86_64) || status=1

. "$root/tests/windows/wine_env.sh"
trap wine_env_stop EXIT
wine_env_start "$build/x86_64-test"
echo "== Wine ready on $DISPLAY after $((SECONDS - started)) s"
ctest --test-dir "$build/x86_64-test" --output-on-failure $(report x86_64-test) || status=1
wine_env_stop
trap - EXIT

echo "== Windows build and tests: $((SECONDS - started)) s, $([ $status -eq 0 ] && echo passed || echo FAILED)"
exit $status
