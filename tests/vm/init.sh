#!/bin/busybox sh
# /init of the test VM: loads the virtual DVB driver (as adapter 2, so the
# card library has to find it), runs the tests and the watcher benchmark,
# hands a few seconds of the DVR device out on the second serial port,
# powers off.
. /guest_lib.sh
mount -t tmpfs tmp /tmp
mkdir -p /run && mount -t tmpfs run /run

ADAPTER=2
# DVB-C locks on these (the grid points the tests tune, and vidtv's 474 MHz).
FREQS=474000000,458000000,450000000,482000000,394000000,402000000,386000000,330000000
echo "vm: kernel $(uname -r), loading vidtv"
for m in mc dvb-core dvb-vidtv-tuner dvb-vidtv-demod dvb-vidtv-bridge; do
    args=
    [ $m = dvb-vidtv-bridge ] && args="adapter_nums=$ADAPTER vidtv_valid_dvb_c_freqs=$FREQS"
    # shellcheck disable=SC2086
    vm_insmod $m $args
done
for node in frontend0 demux0 dvr0; do
    vm_wait_for /dev/dvb/adapter$ADAPTER/$node 30 || { echo "vm: no $node on adapter $ADAPTER"; vm_result no-adapter; }
done
ls /dev/dvb /dev/dvb/adapter$ADAPTER

export HOME=/tmp TAVRIK_TEST_ADAPTER=$ADAPTER
export QT_QPA_PLATFORM=offscreen XDG_RUNTIME_DIR=/tmp/xdg
mkdir -m 0700 /tmp/xdg
rc=0
# First, while no program has tuned the card yet.
echo "vm: running tavrik on the freshly loaded card, on the offscreen platform"
/tests/tavrik_dvb_dialog_tests --gtest_filter='TavrikOnAFreshCard.*' --gtest_color=no || rc=$((rc + 1000))
echo "vm: running the card library's tests"
TAVRIK_CAPTURE=/tmp/capture.ts /tests/tavrik_dvb_tests --gtest_filter='DvbCard.*' --gtest_color=no || rc=$((rc + 1))
echo "vm: running tavrik on the card, on the offscreen platform"
/tests/tavrik_dvb_dialog_tests --gtest_filter='-TavrikOnAFreshCard.*:TavrikOnARemovedCard.*' --gtest_color=no || rc=$((rc + 100))
# Figures, not a test: what the watcher costs while the tool is idle.
echo "vm: the card library's change detection, idle (figures, not a test)"
if [ -x /tests/bench_dvb_watcher ]; then
    timeout 40 /tests/bench_dvb_watcher 10 \
        || echo "vm: WARNING: bench_dvb_watcher ended with $?; no figures"
else
    echo "vm: no bench_dvb_watcher in this image (TAVRIK_VM_BENCH=0, or it did not build); no figures"
fi
# Last: the device goes away under the running tool (vidtv unbound from its
# platform driver; never rmmod after that).
echo "vm: removing the device while tavrik holds it"
/tests/tavrik_dvb_dialog_tests --gtest_filter='TavrikOnARemovedCard.*' --gtest_color=no || rc=$((rc + 10))
# The capture goes out raw on the second serial port (a file on the host).
if [ -s /tmp/capture.ts ] && stty -F /dev/ttyS1 raw -echo 2>/dev/null; then
    cat /tmp/capture.ts >/dev/ttyS1
    vm_drain /dev/ttyS1
    echo "vm: capture of the DVR device: $(wc -c </tmp/capture.ts) bytes sent"
fi
vm_result $rc
