#!/usr/bin/env bash
# facset-cli get: peak resident memory on a 16 MB INI file of many small
# sections (goal: at most 4 times the file), and wall time on the demo parameter
# file (median of RUNS runs, each a whole process). Needs GNU time (package
# "time", which scripts/install-deps installs).
#   bench/platform/cli_get.sh [BUILD_DIR] [RUNS]
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
build=${1:-build}
runs=${2:-200}
case "$build" in /*) ;; *) build="$root/$build" ;; esac
cli=$build/cli/facset-cli
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
python3 - "$cli" "$work" "$runs" "$root/demo/facconfig.ini" <<'EOF'
import statistics, subprocess, sys, time
cli, work, runs, demo = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4]

def write(name, section):
    parts, size, i = [], 0, 0
    while size < 16_000_000:
        s = section(i)
        parts.append(s)
        size += len(s)
        i += 1
    path = f"{work}/{name}.ini"
    with open(path, "w", newline="") as f:
        f.write("".join(parts))
    return path, size, i

def peak_kib(args):
    # GNU time forks from its own small self, so the peak is the program's.
    out = subprocess.run(["/usr/bin/time", "-f", "%M"] + args, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                         text=True, check=True)
    return int(out.stderr.split()[-1])

for name, section in [("small-sections", lambda i: f"[s{i}]\r\nk=v{i}\r\n"),
                      ("tiny-sections", lambda i: f"[{i:x}]\nk=\n")]:
    path, size, count = write(name, section)
    kib = peak_kib([cli, "get", path, "s1" if name == "small-sections" else "1", "k"])
    t = time.perf_counter()
    subprocess.run([cli, "get", path, "s1", "k"], stdout=subprocess.DEVNULL, check=True)
    secs = time.perf_counter() - t
    print(f"{name}: {size} bytes, {count} sections: peak RSS {kib} KiB = {kib * 1024 / size:.2f} x the file, "
          f"{secs:.2f} s")

times = []
for _ in range(runs):
    t = time.perf_counter()
    subprocess.run([cli, "get", demo, "factory", "byte[200]t"], stdout=subprocess.DEVNULL, check=True)
    times.append(time.perf_counter() - t)
print(f"demo facconfig.ini: median {statistics.median(times) * 1000:.2f} ms, "
      f"min {min(times) * 1000:.2f} ms over {runs} runs; peak RSS {peak_kib([cli, 'get', demo, 'factory', 'byte[200]t'])} KiB")
EOF
