#!/usr/bin/env bash
# Installs what the build needs, builds the tool and starts it on the
# simulated card: tools/run-sim.sh
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install-deps.sh build
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAVRIK_TESTS=OFF >/dev/null
cmake --build build --target tavrik-sim
exec build/tavrik-sim "$@"
