#!/usr/bin/env bash
# The same job as scripts/demo.sh with the Windows build, brevlo.exe, under Wine: a fresh prefix
# made with wineboot, the product's registry entry set with `wine reg add`, the sample product
# installed on drive C:, the pack with the tool beside it.
#
# With a display ($DISPLAY) the dialogs appear there and you answer the question yourself.
# Without one they appear on a private Xvfb: screenshots of the progress dialog and of the
# question are saved in build/windows/demo-artifacts/, and the question is answered No.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/demo-report.sh
bash scripts/deps.sh
quietly build/windows-configure.log cmake --preset windows
quietly build/windows-build.log cmake --build --preset windows --target brevlo mirvo_stub

work=$(mktemp -d)
export WINEPREFIX=$work/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" LC_ALL=zh_CN.UTF-8
xvfb=
cleanup() {
    wineserver -k >/dev/null 2>&1 || true
    [ -n "$xvfb" ] && kill "$xvfb" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

echo "== making a fresh Wine prefix"
wineboot -i >/dev/null 2>&1
# Without a window manager Wine would wait on every show and hide; the dialogs' font 宋体 is
# stood in for by WenQuanYi Micro Hei. regedit reads UTF-16, so the file is converted.
iconv -f UTF-8 -t UTF-16 >"$work/setup.reg" <<'EOF'
Windows Registry Editor Version 5.00

[HKEY_CURRENT_USER\Software\Wine\X11 Driver]
"Managed"="N"
"Decorated"="N"

[HKEY_LOCAL_MACHINE\Software\Microsoft\Windows NT\CurrentVersion\FontSubstitutes]
"宋体"="WenQuanYi Micro Hei"
"SimSun"="WenQuanYi Micro Hei"
EOF
wine regedit /S "$work/setup.reg"
wine reg add 'HKCU\Software\Mirvo' /v 'Install Path' /t REG_SZ /d 'C:\Program Files\MirvoPix' /f >/dev/null
# Wine's desktop, started above without a display, must end before the dialogs need one.
wineserver -w

install="$WINEPREFIX/drive_c/Program Files/MirvoPix"
mkdir -p "$install" "$work/pack"
cp -r examples/product/. "$install/"
cp build/windows/tests/e2e/stub/mirvo.exe "$install/"
cp -r examples/pack/marks "$work/pack/"
cp build/windows/app/brevlo.exe "$work/pack/"
for catalog in "$install/data/marks/config.xml" "$work/pack/marks/config.xml"; do
    iconv -f UTF-8 -t CP936 "$catalog" >"$catalog.936"
    mv "$catalog.936" "$catalog"
done
cp "$install/data/marks/config.xml" "$work/before.xml"

echo "== wine brevlo.exe marks"
if [ -n "${DISPLAY:-}" ]; then
    (cd "$work/pack" && wine brevlo.exe marks)
else
    artifacts=build/windows/demo-artifacts
    mkdir -p "$artifacts"
    number=90
    while [ -e "/tmp/.X$number-lock" ]; do number=$((number + 1)); done
    Xvfb ":$number" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
    xvfb=$!
    for _ in $(seq 1 100); do [ -e "/tmp/.X11-unix/X$number" ] && break; sleep 0.1; done
    export DISPLAY=:$number
    (cd "$work/pack" && WINEDEBUG=-all,trace+msgbox wine brevlo.exe marks 2>"$work/trace.log") &
    tool=$!
    for _ in $(seq 1 300); do
        grep -q MSGBOX_OnInit "$work/trace.log" 2>/dev/null && break
        sleep 0.1
    done
    sleep 0.5
    xwd -root -silent | convert xwd:- -trim +repage "$artifacts/question.png"
    echo "   the question is on a private display ($artifacts/question.png): answering No"
    box=$(xdotool search --onlyvisible --name MirvoPix | head -1)
    [ -n "$box" ] && xdotool windowfocus --sync "$box" key n
    wait "$tool"
fi
echo "== exit status $?"

report_product "$install" "$work/before.xml"
