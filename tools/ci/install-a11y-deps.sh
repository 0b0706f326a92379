#!/bin/sh
# Packages the accessibility test (tests/a11y) needs on Debian 12: an X
# server, a private session bus, the AT-SPI bus and registry, and Debian's
# python3 with the Atspi introspection data.
set -eu
export DEBIAN_FRONTEND=noninteractive
apt-get -o DPkg::Lock::Timeout=600 install -y --no-install-recommends \
    xvfb dbus-daemon at-spi2-core python3-gi gir1.2-atspi-2.0
