# Shared by the demos.

# quietly LOG COMMAND...: runs a build step with its output in LOG, shown only when it fails.
quietly() {
    local log=$1
    shift
    mkdir -p "$(dirname "$log")"
    if ! "$@" >"$log" 2>&1; then
        cat "$log" >&2
        echo "failed: $* (the output above is also in $log)" >&2
        return 1
    fi
}

# What the import left in the product's data folder.
# report_product INSTALL_FOLDER CATALOG_BEFORE
report_product() {
    local install=$1 before=$2
    echo "== the product's data folder afterwards (+ new)"
    (cd "$install/data/marks" && find . -type f | sort | sed 's|^\./||') | while read -r file; do
        if [ -e "examples/product/data/marks/$file" ]; then echo "    $file"; else echo "  + $file"; fi
    done
    echo "== what changed in the product's catalog (converted back to UTF-8)"
    diff -u --label "config.xml before" --label "config.xml after" \
        <(iconv -f CP936 -t UTF-8 "$before" | tr -d '\r') \
        <(iconv -f CP936 -t UTF-8 "$install/data/marks/config.xml" | tr -d '\r') || true
}
