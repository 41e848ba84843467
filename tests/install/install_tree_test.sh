#!/usr/bin/env bash
# `cmake --install` with DESTDIR and a prefix puts a working tree there.
# usage: install_tree_test.sh BUILD_DIR VERSION SAMPLE_PARAMETER_FILE
set -uo pipefail
build=$1 version=$2 sample=$3
here=$(cd "$(dirname "$0")" && pwd)
dest=$(mktemp -d /tmp/facset-destdir.XXXXXX)
trap 'rm -rf "$dest"' EXIT
chmod 755 "$dest"
DESTDIR=$dest cmake --install "$build" --prefix /usr >"$dest.log" 2>&1 || { cat "$dest.log"; rm -f "$dest.log"; exit 1; }
rm -f "$dest.log"
# Nothing may land outside the prefix.
outside=$(cd "$dest" && find . -mindepth 1 -maxdepth 1 ! -name usr)
[ -z "$outside" ] || { echo "FAIL: installed outside /usr: $outside"; exit 1; }
"$here/installed_test.sh" "$dest" "$version" "$sample"
