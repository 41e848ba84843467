#!/usr/bin/env bash
# The layering check passes on the tree and fails on each kind of breach.
# usage: layers_test.sh CHECK SRC_DIR QTWIDGETS_INCLUDE_DIR LINKS_FILE LAYER...
set -uo pipefail
check=$1 src=$2 widgets=$3 links=$4
shift 4
fail=0
expect() {  # expect RC DESCRIPTION ARGS...
  local want=$1 what=$2; shift 2
  local out; out=$("$check" "$@" 2>&1); local rc=$?
  if [ $rc -ne "$want" ]; then echo "FAIL: $what (exit $rc, wanted $want): $out"; fail=1; else echo "ok: $what"; fi
}
expect 0 "the tree" "$src" "$widgets" "$links" "$@"

tmp=$(mktemp -d); trap 'rm -rf "$tmp"' EXIT
layers=(platform lang params serial protocol download)
fixture() {  # every layer folder with one harmless file, and a clean link list
  rm -rf "$tmp/src"
  for l in "${layers[@]}" app; do
    mkdir -p "$tmp/src/$l"
    printf '#include <string>\n#include "platform/paths.h"\n' > "$tmp/src/$l/a.cpp"
  done
  printf 'facset_params: facset_lang facset_platform Qt6::Core\n' > "$tmp/links"
}
on_fixture() { expect "$1" "$2" "$tmp/src" "$widgets" "$tmp/links" "${layers[@]}"; }

fixture; on_fixture 0 "a clean fixture"
fixture; printf '#include "app/main_form.h"\n' >> "$tmp/src/lang/a.cpp"
on_fixture 1 "src/lang including a window header"
fixture; printf '  #  include <QPushButton>\n' > "$tmp/src/download/b.h"
on_fixture 1 "a bare Qt Widgets header"
fixture; printf '#include <QtWidgets/QWidget>\n' > "$tmp/src/serial/c.cpp"
on_fixture 1 "a QtWidgets/ header"
fixture; printf '#include <QtWidgets>\n' > "$tmp/src/platform/d.cpp"
on_fixture 1 "the QtWidgets module header"
fixture; printf '#include <QString>\n#include <QtCore/QObject>\n' > "$tmp/src/protocol/e.cpp"
on_fixture 0 "Qt Core headers are allowed"
fixture; printf '#include "app/x.h"\n' > "$tmp/src/app/f.cpp"
on_fixture 0 "the window itself may include app/"
fixture; printf 'facset_download: facset_protocol Qt6::Widgets Qt6::Core\n' >> "$tmp/links"
on_fixture 1 "a library linking Qt Widgets"
fixture; printf 'facset_lang: facset_app\n' >> "$tmp/links"
on_fixture 1 "a library linking the window"
exit $fail
