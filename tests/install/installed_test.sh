#!/usr/bin/env bash
# Checks an installed facset tree (ROOT/usr/...) the way a station uses it: the
# files in place and valid, --version and --help, manual pages in step with
# --help, and an ordinary user whose program folder is read-only downloading to
# scale-sim over UDP and a pseudo-terminal, with the tool's files in ~/.config/facset;
# then the caller (root, who may write anywhere), whose files go there too.
# usage: installed_test.sh ROOT VERSION SAMPLE_PARAMETER_FILE
# Run as root it runs the programs as `nobody`; otherwise as the caller, with the
# program folder made read-only for the run.
set -uo pipefail
root=$(cd "$1" && pwd) version=$2 sample=$3
bin=$root/usr/bin share=$root/usr/share
app=org.facset.Facset
failures=0
ok() { echo "ok: $*"; }
bad() { echo "FAIL: $*"; failures=$((failures + 1)); }
check() { local what=$1; shift; if "$@"; then ok "$what"; else bad "$what"; fi; }

# ---- files in place
for f in bin/facset bin/facset-cli bin/scale-sim share/applications/$app.desktop share/metainfo/$app.metainfo.xml \
         share/icons/hicolor/scalable/apps/$app.svg share/icons/hicolor/48x48/apps/$app.png \
         share/icons/hicolor/256x256/apps/$app.png share/man/man1/facset.1.gz share/man/man1/facset-cli.1.gz \
         share/man/man1/scale-sim.1.gz share/bash-completion/completions/facset-cli \
         share/doc/facset/copyright share/doc/facset/changelog.gz; do
  [ -s "$root/usr/$f" ] || bad "missing or empty: usr/$f"
done
for size in 16 24 32 48 64 128 256; do
  png=$share/icons/hicolor/${size}x${size}/apps/$app.png
  dims=$(od -An -tu1 -j16 -N8 "$png" 2>/dev/null | awk '{print $3*256+$4 "x" $7*256+$8}')
  [ "$dims" = "${size}x${size}" ] || bad "icon $size: $dims"
done
desktop_exec=$(sed -n 's/^Exec=//p' "$share/applications/$app.desktop")
[ -x "$bin/${desktop_exec%% *}" ] || bad "desktop entry runs '$desktop_exec', not installed"

if command -v desktop-file-validate >/dev/null; then
  check "desktop entry validates" desktop-file-validate "$share/applications/$app.desktop"
else
  echo "SKIP: desktop-file-validate is not installed (scripts/install-deps installs desktop-file-utils)"
fi
if command -v appstreamcli >/dev/null; then
  check "metainfo validates" appstreamcli validate --no-net "$share/metainfo/$app.metainfo.xml"
  grep -q "<release version=\"$version\"" "$share/metainfo/$app.metainfo.xml" || bad "metainfo lacks release $version"
else
  echo "SKIP: appstreamcli is not installed (scripts/install-deps installs appstream)"
fi

# ---- --version, --help and the manual pages
for p in facset facset-cli scale-sim; do
  v=$("$bin/$p" --version 2>&1) || bad "$p --version failed"
  [[ $v == "$p $version"* ]] || bad "$p --version says '$v'"
done
helps=("facset" "facset-cli" "scale-sim")
for cmd in $("$bin/facset-cli" --help | sed -n '/^commands:/,/^$/s/^  \([a-z][a-z0-9-]*\).*/\1/p'); do
  helps+=("facset-cli $cmd")
done
[ ${#helps[@]} -gt 4 ] || bad "facset-cli --help lists no commands"
declare -A rendered
for p in facset facset-cli scale-sim; do
  rendered[$p]=$(MANWIDTH=200 man -l "$share/man/man1/$p.1.gz" 2>/dev/null | col -b)
  [ -n "${rendered[$p]}" ] || bad "man page of $p does not render"
done
before=$failures
for h in "${helps[@]}"; do
  prog=${h%% *}; sub=${h#"$prog"}
  text=$("$bin/$prog" $sub --help 2>&1) || bad "$h --help failed"
  long=$(awk 'length > 80 {print "  " length ": " $0}' <<<"$text")
  [ -z "$long" ] || bad "$h --help has lines over 80 columns:"$'\n'"$long"
  for opt in $(grep -oE -- '(^|[^a-zA-Z0-9-])--[a-z][a-z0-9-]*' <<<"$text" | grep -oE -- '--[a-z0-9-]+' | sort -u); do
    grep -qF -- "$opt" <<<"${rendered[$prog]}" || bad "$h --help lists $opt, the man page of $prog does not"
  done
  [ -z "$sub" ] || grep -qE "^ +${sub# }( |$)" <<<"${rendered[$prog]}" || bad "man page of facset-cli lacks the command${sub}"
done
[ $failures -eq "$before" ] && ok "--version; every --help within 80 columns; man pages list every option"

# ---- bash completion, fed as bash would feed it
complete_words() {  # complete_words WORD... : what completing the last word offers
  PATH="$bin:$PATH" bash -c 'source "$1"; shift; COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); _facset_cli
                             printf "%s\n" "${COMPREPLY[@]}"' _ "$share/bash-completion/completions/facset-cli" "$@"
}
offered=$(complete_words facset-cli "" | tr '\n' ' ')
for w in show get set download where --version; do
  [[ " $offered" == *" $w "* ]] || bad "completion of a command lacks $w: $offered"
done
offered=$(complete_words facset-cli download --f | tr '\n' ' ')
[[ " $offered" == *" --firmware "* ]] || bad "completion of 'download --f' lacks --firmware: $offered"
[[ " $offered" != *" --ip "* ]] || bad "completion of 'download --f' offers --ip: $offered"
offered=$(complete_words facset-cli download --speed "" | tr '\n' ' ')
[ "$offered" = "9600 19200 38400 57600 115200 " ] || bad "completion after --speed offers '$offered'"
offered=$(complete_words facset-cli download --speed 1 | tr '\n' ' ')
[ "$offered" = "19200 115200 " ] || bad "completion of '--speed 1' offers '$offered'"

# ---- an ordinary user, read-only program folder
work=$(mktemp -d /tmp/facset-install-test.XXXXXX)
chmod 755 "$work"
sim_pid=""
cleanup() {
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
  [ "$(id -u)" -ne 0 ] && chmod u+w "$bin"
  rm -rf "$work"
}
trap cleanup EXIT
home=$work/home
mkdir -p "$home"
if [ "$(id -u)" -eq 0 ]; then
  chown nobody:nogroup "$home"
  user_cmd=(setpriv --reuid=nobody --regid=nogroup --clear-groups env -i PATH="$bin:/usr/bin:/bin" HOME="$home")
  who=nobody
else
  chmod a-w "$bin"
  user_cmd=(env -i PATH="$bin:/usr/bin:/bin" HOME="$home")
  who=$(id -un)
fi
as_user() { "${user_cmd[@]}" "$@"; }
as_user sh -c "touch '$bin/probe' 2>/dev/null" && bad "the program folder is writable for $who"
cfg=$home/.config/facset

check "where: ~/.config/facset for $who" test "$(as_user facset-cli where)" = "$cfg"
check "the folder is created" test -d "$cfg"
check "where: XDG_CONFIG_HOME" test "$(as_user env XDG_CONFIG_HOME="$home/xdg" facset-cli where)" = "$home/xdg/facset"
check "where: FACSET_HOME wins" test "$(as_user env XDG_CONFIG_HOME="$home/xdg" FACSET_HOME="$home/st" facset-cli where)" = "$home/st"
as_user touch "$home/afile"
out=$(as_user env FACSET_HOME="$home/afile/st" facset-cli where 2>&1)
check "where: a folder that cannot be made is an error (exit $?)" test $? -eq 1
check "where: and says why" grep -q "cannot create $home/afile/st/: Not a directory" <<<"$out"
as_user mkdir -p "$home/portable"
as_user cp "$bin/facset-cli" "$home/portable/"
check "where: a writable program folder keeps its files" test "$(as_user "$home/portable/facset-cli" where)" = "$home/portable"

# The window's first start fills the folder as it would an empty program folder.
as_user env QT_QPA_PLATFORM=offscreen FACSET_QUIT_AFTER_PAINT=1 facset >"$work/facset.out" 2>&1 \
  || bad "facset did not start: $(cat "$work/facset.out")"
check "first start writes facconfig.ini" grep -q '^lngstr=_cn' "$cfg/facconfig.ini"
check "first start writes IsEnabled" grep -q '^IsEnabled=1' "$cfg/facconfig.ini"
check "first start writes the language file" test -s "$cfg/kelvaset_cn.lng"

# Downloads to the installed scale-sim, run by the same user (so it may open the pty).
as_user cp "$sample" "$home/station.ini"
# A plain command in the background, so that $! is scale-sim itself and the cleanup reaches it.
"${user_cmd[@]}" scale-sim --udp-port 0 --pty-link "$home/scale-pty" --param-out "$home/received.bin" \
  >"$work/sim.out" 2>"$work/sim.err" &
sim_pid=$!
for _ in $(seq 100); do grep -q '^ready' "$work/sim.out" && break; sleep 0.1; done
port=$(sed -n 's/^ready udp=127\.0\.0\.1:\([0-9]*\).*/\1/p' "$work/sim.out")
[ -n "$port" ] || bad "scale-sim did not start: $(cat "$work/sim.out" "$work/sim.err")"

expected_block() {  # byte 0 then bytes 1..255 as the file holds them ("byte[7  ]"; missing: 0)
  awk -v RS='\r?\n' 'BEGIN { for (i = 0; i < 256; i++) b[i] = 0; b[0] = 166 }
       /^\[/ { sec = tolower($0) }
       sec == "[factory]" && match($0, /^byte\[[0-9 ][0-9 ][0-9 ]\]=/) && substr($0, 6, 3) ~ /^[0-9]+ *$/ {
         n = substr($0, 6) + 0; v = substr($0, RLENGTH + 1) + 0; if (n > 0 && n < 256) b[n] = v }
       END { for (i = 0; i < 256; i++) print b[i] }' "$1"
}
received_block() { od -An -v -tu1 -w1 "$1" | tr -d ' '; }

for way in "udp --ip 127.0.0.1" "serial --com $home/scale-pty"; do
  name=${way%% *}
  rm -f "$home/received.bin"
  if as_user env FACSET_SCALE_UDP_PORT="$port" facset-cli download "$home/station.ini" ${way#* } --no-firmware \
       >"$work/dl.out" 2>&1; then
    if [ "$(received_block "$home/received.bin")" = "$(expected_block "$home/station.ini")" ]; then
      ok "$name download by $who: the scale holds the file's block"
    else
      bad "$name download: the scale's block differs from the file's"
    fi
  else
    bad "$name download failed: $(cat "$work/dl.out")"
  fi
done
check "serial close writes DEBUG.LOG in the user's folder" test -f "$cfg/DEBUG.LOG"

# ---- the caller (root on a station's CI), who may write into the program folder:
# an installed program still keeps nothing beside itself.
[ "$(id -u)" -ne 0 ] && chmod u+w "$bin"
caller_home=$work/caller
mkdir -p "$caller_home"
chmod 700 "$caller_home"
as_caller() { env -i PATH="$bin:/usr/bin:/bin" HOME="$caller_home" "$@"; }
caller_cfg=$caller_home/.config/facset
check "where: ~/.config/facset for $(id -un), though the program folder is writable" \
  test "$(as_caller facset-cli where)" = "$caller_cfg"
as_caller env QT_QPA_PLATFORM=offscreen FACSET_QUIT_AFTER_PAINT=1 facset >"$work/facset.out" 2>&1 \
  || bad "facset did not start for $(id -un): $(cat "$work/facset.out")"
check "$(id -un)'s first start writes facconfig.ini and the language file into ~/.config/facset" \
  test -s "$caller_cfg/facconfig.ini" -a -s "$caller_cfg/kelvaset_cn.lng"
for way in "udp --ip 127.0.0.1" "serial --com $home/scale-pty"; do
  as_caller env FACSET_SCALE_UDP_PORT="$port" facset-cli download "$home/station.ini" ${way#* } --no-firmware \
    >"$work/dl.out" 2>&1 || bad "${way%% *} download by $(id -un) failed: $(cat "$work/dl.out")"
done
check "$(id -un)'s downloads keep their record and DEBUG.LOG in ~/.config/facset" \
  test -s "$caller_cfg/facset-records.sqlite" -a -f "$caller_cfg/DEBUG.LOG"
check "nothing written into the program folder" test "$(ls -A "$bin" | sort | tr '\n' ' ')" = "facset facset-cli scale-sim "

[ $failures -eq 0 ] && echo "installed tree: all checks passed"
exit $(( failures > 0 ))
