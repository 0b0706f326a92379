#!/bin/busybox sh
# /init of the test VM: loads the virtual DVB driver, runs the tests and the
# watcher benchmark, powers off.
/bin/busybox --install -s /bin
export PATH=/bin
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
mount -t tmpfs tmp /tmp
mkdir -p /run && mount -t tmpfs run /run

echo "vm: kernel $(uname -r), loading vidtv"
for m in mc dvb-core dvb-vidtv-tuner dvb-vidtv-demod dvb-vidtv-bridge; do
    if ! insmod /modules/$m.ko; then
        echo "vm: FAILED to load $m"
        echo "TAVRIK_VM_RESULT=module-load-failed"
        poweroff -f
    fi
done
n=0
while [ ! -e /dev/dvb/adapter0/frontend0 ] && [ $n -lt 50 ]; do
    sleep 0.1
    n=$((n + 1))
done
ls /dev/dvb/adapter0 || true

export HOME=/tmp
rc=0
echo "vm: running the card library's tests"
/tests/tavrik_dvb_tests --gtest_filter='DvbCard.*' --gtest_color=no || rc=$?
echo "vm: running tavrik on the card, on the offscreen platform"
mkdir -m 0700 /tmp/xdg
QT_QPA_PLATFORM=offscreen XDG_RUNTIME_DIR=/tmp/xdg \
    /tests/tavrik_dvb_dialog_tests --gtest_color=no || rc=$((rc + 100))
# Figures, not a test: what the watcher costs while the tool is idle.
echo "vm: the card library's change detection, idle (figures, not a test)"
if [ -x /tests/bench_dvb_watcher ]; then
    timeout 40 /tests/bench_dvb_watcher 10 \
        || echo "vm: WARNING: bench_dvb_watcher ended with $?; no figures"
else
    echo "vm: WARNING: no bench_dvb_watcher in this image; no figures"
fi
echo "TAVRIK_VM_RESULT=$rc"
poweroff -f
