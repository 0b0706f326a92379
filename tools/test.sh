#!/usr/bin/env bash
# Installs what the tests need, builds the test build (AddressSanitizer and
# UndefinedBehaviorSanitizer, warnings as errors) and runs the whole suite
# with CTest: tools/test.sh
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install-deps.sh test

build=build-test
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTAVRIK_SANITIZE=ON -DTAVRIK_WERROR=ON >/dev/null
cmake --build "$build" -j "$(nproc)"

runtime=$(mktemp -d)
trap 'rm -rf "$runtime"' EXIT
export XDG_RUNTIME_DIR=$runtime QT_QPA_PLATFORM=offscreen
unset QT_SCALE_FACTOR QT_FONT_DPI QT_ENABLE_HIGHDPI_SCALING QT_AUTO_SCREEN_SCALE_FACTOR QT_SCREEN_SCALE_FACTORS
ctest --test-dir "$build" -j "$(nproc)" --output-on-failure
