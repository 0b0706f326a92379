#!/usr/bin/env bash
# Takes README's screenshot of the tool on the simulated card, with its frame,
# under a real window manager (Openbox on a private Xvfb), after the checks of
# tests/wm/window_manager_test.py have passed:
#   tools/screenshot.sh [FILE.png]     (default docs/images/tavrik-sim-linux.png)
set -euo pipefail
cd "$(dirname "$0")/.."
out=${1:-docs/images/tavrik-sim-linux.png}
tools/install-deps.sh test
if ! command -v import >/dev/null; then
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    $sudo apt-get -o DPkg::Lock::Timeout=600 install -y -q --no-install-recommends imagemagick
fi
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAVRIK_TESTS=OFF >/dev/null
cmake --build build --target tavrik-sim
/usr/bin/python3 tests/wm/window_manager_test.py build/tavrik-sim --screenshot "$out"
