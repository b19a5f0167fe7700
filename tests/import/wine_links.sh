#!/bin/sh
# Links as Wine shows them to the Windows build, run as an ordinary user: a pack holding a link
# to a folder outside it, a loop "loop -> ..", a link to a file outside it, and a product whose
# catalog is a link. Made on the host (Wine cannot make Unix links), imported by the worker
# test's LinksUnderWine, then checked on the host: nothing of the links copied, no folder
# entered twice, the catalog merged into the file the link names and the link kept.
#   wine_links.sh WORKER_TEST_EXE
set -e
here=$(dirname "$0")
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
chmod 0755 "$dir"
catalog() {
    printf '<mirvo>\r\n\t<albums>\r\n\t\t<album name="%s">\r\n\t\t\t<item name="i"/>\r\n\t\t</album>\r\n\t</albums>\r\n</mirvo>\r\n' "$1"
}
mkdir -p "$dir/outside/inner" "$dir/marks/sub" "$dir/install/data/marks/real"
echo secret >"$dir/outside/inner/secret.png"
echo real >"$dir/marks/sub/real.png"
catalog Pa0 >"$dir/marks/config.xml"
catalog Qa0 >"$dir/install/data/marks/real/catalog.xml"
ln -s ../outside "$dir/marks/away"
ln -s .. "$dir/marks/sub/loop"
ln -s ../../outside/inner/secret.png "$dir/marks/sub/file-link.png"
ln -s real/catalog.xml "$dir/install/data/marks/config.xml"
[ "$(id -u)" -ne 0 ] || chown -R nobody "$dir"
BREVLO_LINK_FIXTURE="Z:$(echo "$dir" | tr / '\\')" sh "$here/../platform/wine_as_user.sh" "$1" \
    --gtest_filter='Worker.LinksUnderWine'
data="$dir/install/data/marks"
fail() { echo "wine_links: $*" >&2; exit 1; }
[ -f "$data/sub/real.png" ] || fail "the pack's own file was not copied"
for name in away sub/loop sub/file-link.png sub/loop/sub; do
    [ ! -e "$data/$name" ] || fail "$name was followed"
done
[ -z "$(find "$data" -name secret.png)" ] || fail "a file from outside the pack was copied"
[ -L "$data/config.xml" ] || fail "the catalog's link was replaced"
grep -q 'name="Pa0"' "$data/real/catalog.xml" || fail "the linked catalog was not merged"
[ ! -e "$data/.brevlo" ] || fail "the staging folder was left"
# A name Wine cannot show (GBK bytes): refused before anything changes, naming its folder.
rm "$data/sub/real.png"
touch "$dir/marks/sub/$(printf '\317\304').png"
[ "$(id -u)" -ne 0 ] || chown -R nobody "$dir"
BREVLO_LINK_FIXTURE="Z:$(echo "$dir" | tr / '\\')" BREVLO_LINK_REFUSED='\marks\sub' \
    sh "$here/../platform/wine_as_user.sh" "$1" --gtest_filter='Worker.LinksUnderWine'
[ ! -e "$data/sub/real.png" ] || fail "a pack with a name Wine cannot read was copied"
echo "wine_links: links skipped, no loop, linked catalog merged through its link, lost name refused"
