#!/usr/bin/env bash
# Installs what the builds and tests need on Debian 12, when it is missing. Run as root.
set -euo pipefail

need=()
have_pkg() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }
for pkg in cmake make g++ clang googletest libgtest-dev libgmock-dev libbenchmark-dev \
           libexpat1-dev libssl-dev libpugixml-dev libtinyxml2-dev libxml2-dev mingw-w64 wine wine64 locales \
           xvfb xdotool libclang-rt-14-dev \
           fonts-wqy-microhei diffutils python3 x11-apps imagemagick dpkg-dev man-db; do
    have_pkg "$pkg" || need+=("$pkg")
done
if ((${#need[@]})); then
    echo "installing: ${need[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq "${need[@]}" >/dev/null
fi

# Code-page tests run under these locales, natively and in Wine.
for loc in zh_CN ru_RU; do
    if ! locale -a 2>/dev/null | grep -qi "^${loc}\.utf-\?8$"; then
        localedef -i "$loc" -f UTF-8 "$loc.UTF-8"
    fi
done
