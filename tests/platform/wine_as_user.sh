#!/bin/sh
# Runs a Windows test program under Wine as an ordinary user with a prefix of its own: Wine run
# as root ignores read-only attributes and permissions, as root does on the host.
#   wine_as_user.sh PROGRAM [ARGUMENTS...]
# The user runs a copy in a scratch folder of its own: the build may lie where only root can
# read (a clone in /root). The programs are linked statically and read no file of the build or
# source tree, so the copy is all they need.
set -e
if [ "$(id -u)" -ne 0 ]; then
    home=$(mktemp -d)
    trap 'wineserver -k 2>/dev/null; rm -rf "$home"' EXIT
    export WINEPREFIX="$home/prefix"
    wineboot -i >/dev/null 2>&1
    wine "$@"
    exit
fi
home=$(mktemp -d /tmp/brevlo-as-user.XXXXXX)
as_user() {
    (cd "$home" && runuser -u nobody -- env HOME="$home" WINEPREFIX="$home/prefix" \
        WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml= LC_ALL="${LC_ALL:-C.UTF-8}" \
        BREVLO_LINK_FIXTURE="${BREVLO_LINK_FIXTURE:-}" BREVLO_LINK_REFUSED="${BREVLO_LINK_REFUSED:-}" \
        "$@")
}
trap 'as_user wineserver -k 2>/dev/null; rm -rf "$home"' EXIT
program="$home/$(basename "$1")"
cp "$1" "$program"
shift
chmod 0755 "$home" "$program"
chown nobody "$home"
as_user wineboot -i >/dev/null 2>&1
as_user wine "$program" "$@"
