# Sourced by tests/windows/run.sh and tests/windows/wine32/run.sh: one mingw
# build tree configured and built at a time. Both scripts build the i686
# release tree (the exes the 32-bit tests drive), and may run side by side.

# mingw_tree DIR ARCH THREADS [CMAKE_ARG...] [-- TARGET...]: configures DIR
# for ARCH with the -THREADS compilers (warnings as errors) and builds the
# TARGETs (everything when none), under DIR/.build.lock.
mingw_tree() {
    local dir=$1 arch=$2 threads=$3 args=() targets=()
    shift 3
    while [ $# -gt 0 ] && [ "$1" != -- ]; do args+=("$1"); shift; done
    [ $# -eq 0 ] || { shift; targets=(--target "$@"); }
    mkdir -p "$dir"
    (
        flock 9
        cmake -S "$(dirname "${BASH_SOURCE[0]}")/../.." -B "$dir" -G Ninja \
              --toolchain "$(dirname "${BASH_SOURCE[0]}")/../../cmake/toolchains/mingw-$arch.cmake" \
              -DTAVRIK_MINGW_THREADS="$threads" -DTAVRIK_WERROR=ON "${args[@]}" >/dev/null \
            && nice cmake --build "$dir" -j 2 "${targets[@]}"
    ) 9>"$dir/.build.lock"
}
