#!/usr/bin/env bash
# --version names the program, the project version and, in a git checkout, the
# commit the programs were built from.
# usage: version_test.sh SRC_DIR VERSION PROGRAM...
set -uo pipefail
src=$1 version=$2; shift 2
want="$version"
if git -C "$src" rev-parse --git-dir >/dev/null 2>&1; then
  want="$version (commit $(git -C "$src" rev-parse --short=12 HEAD)"
fi
fail=0
for prog in "$@"; do
  out=$("$prog" --version) || { echo "FAIL: $prog --version exited $?"; fail=1; continue; }
  name=$(basename "$prog")
  [[ $out == "$name $want"* ]] && echo "ok: $out" || { echo "FAIL: '$out', wanted '$name $want...'"; fail=1; }
done
exit $fail
