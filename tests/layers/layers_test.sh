#!/usr/bin/env bash
# The layering check passes on the tree and fails on each kind of breach.
# usage: layers_test.sh CHECK SRC_DIR QTWIDGETS_INCLUDE_DIR LINKS_FILE
set -uo pipefail
check=$1 src=$2 widgets=$3 links=$4
fail=0
expect() {  # expect RC DESCRIPTION -- args...
  local want=$1 what=$2; shift 3
  local out; out=$("$check" "$@" 2>&1); local rc=$?
  if [ $rc -ne "$want" ]; then echo "FAIL: $what (exit $rc, wanted $want): $out"; fail=1; else echo "ok: $what"; fi
}
expect 0 "the tree" -- "$src" "$widgets" "$links"

tmp=$(mktemp -d); trap 'rm -rf "$tmp"' EXIT
fixture() {  # a clean copy of the layer folders' shape, one file each
  rm -rf "$tmp/src"; for l in platform lang params serial protocol download app; do
    mkdir -p "$tmp/src/$l"; printf '#include <string>\n#include "platform/paths.h"\n' > "$tmp/src/$l/a.cpp"; done
  printf 'facset_params: facset_lang facset_platform Qt6::Core\n' > "$tmp/links"
}
fixture; expect 0 "a clean fixture" -- "$tmp/src" "$widgets" "$tmp/links"
fixture; printf '#include "app/main_form.h"\n' >> "$tmp/src/lang/a.cpp"
expect 1 "src/lang including a window header" -- "$tmp/src" "$widgets" "$tmp/links"
fixture; printf '  #  include <QPushButton>\n' > "$tmp/src/download/b.h"
expect 1 "a bare Qt Widgets header" -- "$tmp/src" "$widgets" "$tmp/links"
fixture; printf '#include <QtWidgets/QWidget>\n' > "$tmp/src/serial/c.cpp"
expect 1 "a QtWidgets/ header" -- "$tmp/src" "$widgets" "$tmp/links"
fixture; printf '#include <QtWidgets>\n' > "$tmp/src/platform/d.cpp"
expect 1 "the QtWidgets module header" -- "$tmp/src" "$widgets" "$tmp/links"
fixture; printf '#include <QString>\n#include <QtCore/QObject>\n' > "$tmp/src/protocol/e.cpp"
expect 0 "Qt Core headers are allowed" -- "$tmp/src" "$widgets" "$tmp/links"
fixture; printf '#include "app/x.h"\n' > "$tmp/src/app/f.cpp"
expect 0 "the window itself may include app/" -- "$tmp/src" "$widgets" "$tmp/links"
fixture; printf 'facset_download: facset_protocol Qt6::Widgets Qt6::Core\n' >> "$tmp/links"
expect 1 "a library linking Qt Widgets" -- "$tmp/src" "$widgets" "$tmp/links"
fixture; printf 'facset_lang: facset_app\n' >> "$tmp/links"
expect 1 "a library linking the window" -- "$tmp/src" "$widgets" "$tmp/links"
exit $fail
