#!/usr/bin/env bash
# The tool's files against what another local user or an odd system leaves in
# their way, through the real programs: the files folder must be the user's
# (run as the caller and, under root, as nobody too); links, FIFOs and devices
# planted at DEBUG.LOG, facconfig.ini, the language file and the records
# database are refused, never followed, truncated or waited on; oversized
# parameter and language files and odd --targets files are refused; names
# reach the terminal escaped, --csv stays UTF-8.
# usage: files_test.sh FACSET_CLI FACSET SCALE_SIM SAMPLE_PARAMETER_FILE
set -uo pipefail
cli=$1 win=$2 sim=$3 sample=$4
failures=0
ok() { echo "ok: $*"; }
bad() { echo "FAIL: $*"; failures=$((failures + 1)); }
check() { local what=$1; shift; if "$@"; then ok "$what"; else bad "$what"; fi; }

base=$(mktemp -d /tmp/facset-files-test.XXXXXX)
chmod 755 "$base"
sim_pid=""
win_pid=""
stop_win() {
  [ -n "$win_pid" ] || return 0
  kill "$win_pid" 2>/dev/null
  wait "$win_pid" 2>/dev/null
  win_pid=""
}
cleanup() {
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
  stop_win
  rm -rf "$base"
}
trap cleanup EXIT
# Programs nobody may run and copy, in a folder named "bin" (an installed layout).
mkdir -p "$base/bin"
cp "$cli" "$win" "$sim" "$base/bin/"
chmod 755 "$base/bin" "$base/bin/"*
cli=$base/bin/$(basename "$cli") win=$base/bin/$(basename "$win") sim=$base/bin/$(basename "$sim")

me=$(id -un)
users=("$me")
[ "$(id -u)" -eq 0 ] && users+=(nobody)

# as USER CMD...: CMD with a clean environment as USER (nobody through setpriv).
# run: the command that runs what follows as WHO with a clean environment
# (each part execs the next, so a background job's pid is the program's own).
as_prefix() {
  if [ "$1" = "$me" ]; then
    run=(env -i PATH=/usr/bin:/bin)
  else
    run=(setpriv --reuid=nobody --regid=nogroup --clear-groups env -i PATH=/usr/bin:/bin)
  fi
}
as() {
  local who=$1; shift
  as_prefix "$who"
  "${run[@]}" "$@"
}
# folder PATH MODE OWNER: a folder with that mode and owner.
folder() {
  mkdir -p "$1"
  chown "$3" "$1" 2>/dev/null
  chmod "$2" "$1"
}

# ---- the files folder is the user's, whichever road chose it
for who in "${users[@]}"; do
  other=nobody
  [ "$who" = nobody ] && other=root
  [ "$(id -u)" -ne 0 ] && other=root  # an ordinary caller cannot give folders away: use one of root's
  w=$base/$who
  folder "$w" 755 "$who"
  home=$w/home
  folder "$home" 700 "$who"
  where() { as "$who" HOME="$home" "$@" 2>&1; }

  # case: environment, program to run, wanted output ("" = must be refused with REFUSAL)
  folder "$w/own" 700 "$who"
  folder "$w/open" 777 "$who"
  folder "$w/group" 770 "$who"
  folder "$w/sticky" 1777 "$who"
  if [ "$(id -u)" -eq 0 ]; then
    folder "$w/others" 755 "$other"
  else
    ln -s / "$w/others"
  fi
  folder "$w/portable" 755 "$who"
  folder "$w/portable-open" 777 "$who"
  folder "$w/opt/bin" 755 "$who"
  folder "$w/xdg" 755 "$who"
  folder "$w/xdg/facset" 777 "$who"
  for d in portable portable-open opt/bin; do
    cp "$cli" "$w/$d/facset-cli"
    [ "$(id -u)" -eq 0 ] && chown "$who" "$w/$d/facset-cli"
  done
  open_mode="may be written by other users (mode 0777)"
  cases=(
    "FACSET_HOME=$w/own|$cli|$w/own|"
    "FACSET_HOME=$w/open|$cli||$w/open, $open_mode"
    "FACSET_HOME=$w/group|$cli||may be written by other users (mode 0770)"
    "FACSET_HOME=$w/sticky|$cli|$w/sticky|"
    "FACSET_HOME=$w/others|$cli||belongs to $other, not to $who"
    "FACSET_HOME=$w/new/sub|$cli|$w/new/sub|"
    "X=1|$w/portable/facset-cli|$w/portable|"
    "X=1|$w/portable-open/facset-cli||$w/portable-open, $open_mode"
    "X=1|$w/opt/bin/facset-cli|$home/.config/facset|"
    "XDG_CONFIG_HOME=$w/xdg|$cli||$w/xdg/facset, $open_mode"
  )
  for c in "${cases[@]}"; do
    IFS='|' read -r var prog want refusal <<<"$c"
    out=$(where "$var" "$prog" where); rc=$?
    if [ -n "$want" ]; then
      check "$who, $var ($prog): where prints $want" test "$rc:$out" = "0:$want"
    else
      check "$who, $var ($prog): refused, exit 1, saying why" \
        test "$rc" -eq 1 -a -n "$(grep -F -- "$refusal" <<<"$out")"
    fi
  done
  check "$who: a created folder is private" test "$(stat -c %a "$w/new/sub")" = 700
  out=$(as "$who" "$cli" where 2>&1); rc=$?
  check "$who, no HOME: refused, never /tmp ($out)" \
    test "$rc" -eq 1 -a "$out" = "facset-cli: HOME is not set: the tool needs HOME or FACSET_HOME to find the folder of its files"
  # The window says so too (a box: it waits for its OK, so stop it once it has spoken).
  as_prefix "$who"
  "${run[@]}" HOME="$home" FACSET_HOME="$w/open" QT_QPA_PLATFORM=offscreen "$win" >"$w/win.out" 2>&1 &
  win_pid=$!
  for _ in $(seq 100); do grep -q "$open_mode" "$w/win.out" && break; sleep 0.1; done
  check "$who: the window refuses a shared folder" grep -q "^facset: the folder of the tool's files, $w/open, $open_mode" "$w/win.out"
  stop_win
  check "$who: and writes nothing there" test -z "$(ls -A "$w/open")"
done

# ---- planted files (the caller; the files folder is its own)
f=$base/files
folder "$f" 700 "$me"
env_cli() { env -i PATH=/usr/bin:/bin HOME="$base" FACSET_HOME="$f" "$@"; }
victim=$base/victim
reset_victim() { printf '[a]\r\nk=1\r\n' >"$victim"; }
reset_victim
cp "$sample" "$base/station.ini"

"$sim" --udp-port 0 --pty-link "$base/scale-pty" --param-out "$base/received.bin" >"$base/sim.out" 2>"$base/sim.err" &
sim_pid=$!
for _ in $(seq 100); do grep -q '^ready' "$base/sim.out" && break; sleep 0.1; done
port=$(sed -n 's/^ready udp=127\.0\.0\.1:\([0-9]*\).*/\1/p' "$base/sim.out")
[ -n "$port" ] || bad "scale-sim did not start: $(cat "$base/sim.out" "$base/sim.err")"
download() {  # download PARAMFILE ARGS...: over UDP to the simulator
  local file=$1; shift
  env_cli FACSET_SCALE_UDP_PORT="$port" timeout 60 "$cli" download "$file" --no-firmware "$@"
}

# DEBUG.LOG: a link or a FIFO planted there; the serial download still ends, untouched.
for plant in link fifo; do
  rm -f "$f/DEBUG.LOG"
  if [ $plant = link ]; then ln -s "$victim" "$f/DEBUG.LOG"; else mkfifo "$f/DEBUG.LOG"; fi
  download "$base/station.ini" --com "$base/scale-pty" >"$base/dl.out" 2>"$base/dl.err"; rc=$?
  check "DEBUG.LOG a $plant: the serial download ends (exit $rc)" test $rc -eq 0
  kind=$([ $plant = link ] && echo "a symbolic link" || echo "a FIFO")
  check "DEBUG.LOG a $plant: refused with a message" grep -q "Cannot write the trace file $f/DEBUG.LOG: $kind, not a regular file" "$base/dl.err"
done
check "DEBUG.LOG: the FIFO stays a FIFO" test -p "$f/DEBUG.LOG"
check "DEBUG.LOG: the link's target is untouched" test "$(cat "$victim")" = $'[a]\r\nk=1\r'
rm -f "$f/DEBUG.LOG"

# The records database and the files SQLite keeps beside it.
for name in facset-records.sqlite facset-records.sqlite-wal; do
  rm -f "$f"/facset-records.sqlite*
  ln -s "$victim" "$f/$name"
  download "$base/station.ini" --ip 127.0.0.1 >"$base/dl.out" 2>&1; rc=$?
  check "$name a link: the download is done (exit $rc)" test $rc -eq 0
  check "$name a link: the record is not kept, saying why" grep -q "record not kept: cannot open $f/facset-records.sqlite: .*symbolic link, not a regular file" "$base/dl.out"
  check "$name a link: its target is untouched" test "$(cat "$victim")" = $'[a]\r\nk=1\r'
done
rm -f "$f"/facset-records.sqlite*

# The language file: refused, the built-in texts serve, the download goes on.
ln -s "$victim" "$f/kelvaset_en.lng"
sed 's/^lngstr=.*/lngstr=_en/' "$sample" >"$base/english.ini"
grep -q '^lngstr=_en' "$base/english.ini" || printf '[Set]\r\nlngstr=_en\r\n' >>"$base/english.ini"
download "$base/english.ini" --ip 127.0.0.1 >"$base/dl.out" 2>"$base/dl.err"; rc=$?
check "language file a link: the download is done (exit $rc)" test $rc -eq 0
check "language file a link: refused with a message" grep -q "Unable to write to $f/kelvaset_en.lng: a symbolic link, not a regular file" "$base/dl.err"
check "language file a link: its target is untouched" test "$(cat "$victim")" = $'[a]\r\nk=1\r'
rm -f "$f/kelvaset_en.lng"

# facconfig.ini, written by the window's first start.
ln -s "$victim" "$f/facconfig.ini"
env -i PATH=/usr/bin:/bin HOME="$base" FACSET_HOME="$f" QT_QPA_PLATFORM=offscreen FACSET_QUIT_AFTER_PAINT=1 "$win" \
  >"$base/win.out" 2>&1 &
win_pid=$!
for _ in $(seq 100); do grep -q "Unable to write" "$base/win.out" && break; sleep 0.1; done
check "facconfig.ini a link: the window refuses it" grep -q "^facset: Unable to write to $f/facconfig.ini: a symbolic link, not a regular file" "$base/win.out"
stop_win
check "facconfig.ini a link: its target is untouched" test "$(cat "$victim")" = $'[a]\r\nk=1\r'
rm -f "$f/facconfig.ini"

# Sizes no real file reaches are refused before reading (sparse: no disk used).
truncate -s 17M "$base/huge.ini"
out=$(env_cli "$cli" show "$base/huge.ini" 2>&1); rc=$?
check "a 17 MiB parameter file is refused (exit $rc)" test $rc -eq 1 -a -n "$(grep -F 'larger than 16 MiB' <<<"$out")"
truncate -s 17M "$f/kelvaset_en.lng"
download "$base/english.ini" --ip 127.0.0.1 >"$base/dl.out" 2>"$base/dl.err"; rc=$?
check "a 17 MiB language file: the built-in texts serve (exit $rc)" test $rc -eq 0
check "a 17 MiB language file: refused with a message" grep -q "kelvaset_en.lng: larger than 16 MiB" "$base/dl.err"
rm -f "$f/kelvaset_en.lng"

# --targets: a regular file or a pipe, bounded.
mkdir "$base/targets-dir"
head -c 2097152 /dev/zero | tr '\0' '#' >"$base/targets-big"
for c in "/dev/zero|a device, not a regular file or a pipe" "$base/targets-dir|a folder, not a regular file or a pipe" \
         "$base/targets-big|larger than 1 MiB"; do
  IFS='|' read -r t want <<<"$c"
  out=$(download "$base/station.ini" --targets "$t" 2>&1); rc=$?
  check "--targets $t refused, exit 6" test "$rc" -eq 6 -a -n "$(grep -F -- "$want" <<<"$out")"
done
out=$(download "$base/station.ini" --targets <(printf 'not-an-address\n') 2>&1); rc=$?
check "--targets from a pipe is read (exit $rc)" test "$rc" -eq 6 -a -n "$(grep -F 'line 1' <<<"$out")"

# Names with control characters reach the terminal escaped; --json and --csv stay valid.
evil=$base/$'st\e]0;owned\a\xff.ini'
cp "$sample" "$evil"
download "$evil" --ip 127.0.0.1 >"$base/dl.out" 2>&1; rc=$?
check "a name with ESC sequences: the download is done (exit $rc)" test $rc -eq 0
no_raw_controls() { ! LC_ALL=C grep -q $'[\x01-\x08\x0b-\x1f\x7f]' "$1"; }
check "the log holds no control character" no_raw_controls "$base/dl.out"
env_cli "$cli" history >"$base/h.out" 2>&1
id=$(awk 'NR > 1 && $1 > n {n = $1} END {print n}' "$base/h.out")
env_cli "$cli" history --show "$id" >"$base/show.out" 2>&1
check "history --show escapes the name" grep -qF 'st\x1b]0;owned\x07' "$base/show.out"
check "history --show holds no control character" no_raw_controls "$base/show.out"
env_cli "$cli" history --csv >"$base/h.csv" 2>&1
check "--csv is valid UTF-8" iconv -f UTF-8 -t UTF-8 "$base/h.csv" -o /dev/null
check "--csv shows a byte that is no UTF-8 as U+FFFD" grep -qF $'owned\a\xef\xbf\xbd.ini' "$base/h.csv"
env_cli "$cli" history --json >"$base/h.json" 2>&1
check "--json stays valid and keeps the name" python3 -c '
import json, sys
doc = json.load(open(sys.argv[1]))
sys.exit(0 if any("owned\x07" in r["param_file"] for r in doc) else 1)' "$base/h.json"
missing=$base/$'\e]2;x\a'nothing.ini
out=$(env_cli "$cli" show "$missing" 2>&1)
check "an error message escapes the name" test -n "$(grep -F '\x1b]2;x\x07nothing.ini' <<<"$out")" -a -z "$(LC_ALL=C grep $'\e' <<<"$out")"

[ $failures -eq 0 ] && echo "files: all checks passed"
exit $(( failures > 0 ))
