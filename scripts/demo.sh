#!/usr/bin/env bash
# The tool's main job on the bundled sample, with the native build: a throwaway Wine prefix
# holds a MirvoPix installation (examples/product) and its registry entry, the pack
# (examples/pack/marks) gets the tool beside it, and `brevlo marks` imports it, showing its
# progress on the terminal. Afterwards the change to the product's catalog is shown as a diff.
#
# The question at the end is asked on the terminal; without one it is answered No. Answering
# Yes starts the product (a stand-in) with Wine, which first sets the fresh prefix up.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/demo-report.sh
bash scripts/deps.sh
quietly build/release-configure.log cmake --preset release
quietly build/release-build.log cmake --build --preset release --target brevlo mirvo_stub

work=$(mktemp -d)
prefix=$work/prefix
cleanup() {
    WINEPREFIX=$prefix wineserver -k >/dev/null 2>&1 || true
    rm -rf "$work"
}
trap cleanup EXIT

# The prefix, as far as the tool reads it: drive C:, the registry entry of the product.
install="$prefix/drive_c/Program Files/MirvoPix"
mkdir -p "$prefix/drive_c/windows" "$prefix/dosdevices" "$install"
ln -s ../drive_c "$prefix/dosdevices/c:"
ln -s / "$prefix/dosdevices/z:"
cat >"$prefix/user.reg" <<'EOF'
WINE REGISTRY Version 2
;; All keys relative to \\User\\S-1-5-21-0-0-0-1000

#arch=win64

[Software\\Mirvo] 1700000000
"Install Path"="C:\\Program Files\\MirvoPix"
EOF

# The product: its data and a stand-in mirvo.exe whose version (2.1.0.7) puts the pack's data
# below the install folder. Catalogs are kept in UTF-8 here and stored in code page 936.
cp -r examples/product/. "$install/"
cp build/release/tests/e2e/stub/mirvo.exe "$install/"
mkdir -p "$work/pack"
cp -r examples/pack/marks "$work/pack/"
cp build/release/app/brevlo "$work/pack/"
for catalog in "$install/data/marks/config.xml" "$work/pack/marks/config.xml"; do
    iconv -f UTF-8 -t CP936 "$catalog" >"$catalog.936"
    mv "$catalog.936" "$catalog"
done
cp "$install/data/marks/config.xml" "$work/before.xml"

echo "== brevlo marks (pack in $work/pack, product in C:\\Program Files\\MirvoPix)"
status=0
(cd "$work/pack" && LC_ALL=zh_CN.UTF-8 WINEPREFIX=$prefix ./brevlo marks) || status=$?
echo "== exit status $status"

# A product started on Yes runs under Wine in the background: wait for it (the first start in
# a fresh prefix takes Wine a while).
ours() {
    local pid
    for pid in $(pgrep -f 'mirvo\.exe' || true); do
        tr '\0' '\n' 2>/dev/null <"/proc/$pid/environ" | grep -qx "WINEPREFIX=$prefix" && return 0
    done
    return 1
}
for _ in $(seq 1 120); do
    ours || break
    sleep 1
done
if [ -f "$install/mirvo-started.txt" ]; then
    echo "== the product was started; it recorded its command line and working folder:"
    sed 's/^/  /' "$install/mirvo-started.txt"
fi

report_product "$install" "$work/before.xml"
