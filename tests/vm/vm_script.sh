# Sourced by the scripts that boot a test VM (tests/vm/run.sh,
# tests/windows/wine32/run.sh): the pinned kernel, and how they report.
# VM_SCRIPT names the script in its messages.

# shellcheck source=kernel.env
. "$(dirname "${BASH_SOURCE[0]}")/kernel.env"
KREL=$KERNEL_ABI-amd64

fail() {
    echo "" >&2
    echo "****************************************************************" >&2
    echo "$VM_SCRIPT: FAILED: $*" >&2
    echo "****************************************************************" >&2
    exit 1
}
step() { echo "== $(date +%T) $*"; }
