#!/usr/bin/env python3
"""The layering check passes on the tree and fails on each kind of breach.

usage: layers_test.py CHECK MAP   (MAP: the build's own layer map)
"""
import os
import shutil
import subprocess
import sys
import tempfile

check, tree_map = sys.argv[1], sys.argv[2]
failed = False


def expect(want, what, map_path):
    """want: None for a pass, else a text the check must give for its failure."""
    global failed
    run = subprocess.run([sys.executable, check, map_path], capture_output=True, text=True)
    wanted_rc = 0 if want is None else 1
    if run.returncode != wanted_rc or (want is not None and want not in run.stderr):
        print(f"FAIL: {what} (exit {run.returncode}, wanted {wanted_rc} and {want!r}): "
              f"{run.stdout}{run.stderr}")
        failed = True
    else:
        print(f"ok: {what}")


expect(None, "the tree", tree_map)
widgets = next(line.split()[1] for line in open(tree_map) if line.startswith("widgets "))

LAYERS = ["platform", "lang", "params", "serial", "protocol", "download", "records", "app"]
# Each layer links those it needs below it; cli sits above them all.
LINKS = {
    "facset_platform": [],
    "facset_lang": ["facset_platform"],
    "facset_params": ["facset_lang", "facset_platform"],
    "facset_serial": ["Qt6::Core"],
    "facset_protocol": ["facset_serial", "facset_platform", "Qt6::Core"],
    "facset_download": ["facset_protocol", "facset_serial", "facset_params", "facset_lang",
                        "facset_platform", "Qt6::Core"],
    "facset_records": ["facset_download", "facset_protocol", "facset_serial", "facset_params",
                       "facset_lang", "facset_platform"],
    "facset_app": ["facset_records", "facset_download", "facset_protocol", "facset_serial",
                   "facset_params", "facset_lang", "facset_platform", "Qt6::Widgets"],
    "facset_cli_core": ["facset_records", "facset_download", "facset_protocol", "facset_serial",
                        "facset_params", "facset_lang", "facset_platform"],
}
# Public headers; serial/serial_private.h is in no file set.
PUBLIC = {layer: [f"{layer}/{layer}.h"] for layer in LAYERS}
PRIVATE = ["serial/serial_private.h"]

root = tempfile.mkdtemp(prefix="facset-layers.")


def fixture(extra_links=None):
    """A clean tree and its map; returns the map's path."""
    shutil.rmtree(os.path.join(root, "src"), ignore_errors=True)
    shutil.rmtree(os.path.join(root, "cli"), ignore_errors=True)
    for layer in LAYERS:
        os.makedirs(os.path.join(root, "src", layer))
        for h in PUBLIC[layer]:
            open(os.path.join(root, "src", h), "w").close()
        with open(os.path.join(root, "src", layer, "a.cpp"), "w") as f:
            f.write(f'#include <string>\n#include "{layer}/{layer}.h"\n')
    for h in PRIVATE:
        open(os.path.join(root, "src", h), "w").close()
    os.makedirs(os.path.join(root, "cli"))
    open(os.path.join(root, "cli", "gang.h"), "w").close()
    with open(os.path.join(root, "cli", "main.cpp"), "w") as f:
        f.write('#include "gang.h"\n#include "download/download.h"\n#include "serial/serial.h"\n')
    links = {t: list(v) for t, v in LINKS.items()}
    for t, libs in (extra_links or {}).items():
        links[t] += libs
    lines = [f"root {root}", f"widgets {widgets}"]
    lines += [f"layer src/{layer}" for layer in LAYERS] + ["program cli"]
    for layer in LAYERS:
        t = f"facset_{layer}"
        lines += [f"target {t} src/{layer}", f"links {t} {' '.join(links[t])}",
                  f"public {t} {root}/src : " + " ".join(f"{root}/src/{h}" for h in PUBLIC[layer])]
    lines += ["target facset_cli_core cli", f"links facset_cli_core {' '.join(links['facset_cli_core'])}",
              f"public facset_cli_core {root}/cli : {root}/cli/gang.h"]
    path = os.path.join(root, "map")
    with open(path, "w") as f:
        f.write("\n".join(lines) + "\n")
    return path


def add(rel, text):
    with open(os.path.join(root, rel), "a") as f:
        f.write(text)


# (description, what the check must say or None for a pass, extra links, file, text appended)
WINDOW = "which belongs to the window"
UNLINKED = "which it does not link"
BELOW = "which is not below it"
CASES = [
    ("a clean fixture", None, None, None, ""),
    ("src/lang including a window header", WINDOW, None, "src/lang/a.cpp", '#include "app/app.h"\n'),
    ("a bare Qt Widgets header", WINDOW, None, "src/download/b.h", "  #  include <QPushButton>\n"),
    ("a QtWidgets/ header", WINDOW, None, "src/serial/c.cpp", "#include <QtWidgets/QWidget>\n"),
    ("the QtWidgets module header", WINDOW, None, "src/platform/d.cpp", "#include <QtWidgets>\n"),
    ("Qt Core headers are allowed", None, None, "src/protocol/e.cpp",
     "#include <QString>\n#include <QtCore/QObject>\n"),
    ("the window itself may include app/ and Qt Widgets", None, None, "src/app/f.cpp",
     '#include "app/app.h"\n#include <QPushButton>\n'),
    ("a library linking Qt Widgets", "facset_download (src/download) links Qt6::Widgets, " + WINDOW,
     {"facset_download": ["Qt6::Widgets"]}, None, ""),
    ("a library linking the window", "facset_lang (src/lang) links facset_app of src/app, " + BELOW,
     {"facset_lang": ["facset_app"]}, None, ""),
    ("a layer including a public header of a layer it links", None, None, "src/download/g.cpp",
     '#include "protocol/protocol.h"\n#include "platform/platform.h"\n'),
    ("src/protocol including src/download", "download/download.h of facset_download, " + UNLINKED,
     None, "src/protocol/h.cpp", '#include "download/download.h"\n'),
    ("src/protocol linking src/download to include it",
     "facset_protocol (src/protocol) links facset_download of src/download, " + BELOW,
     {"facset_protocol": ["facset_download"]}, "src/protocol/h.cpp", '#include "download/download.h"\n'),
    ("src/download including the window", "src/download includes app/app.h, " + WINDOW, None,
     "src/download/i.h", '#include "app/app.h"\n'),
    ("src/download including a cli header", "gang.h of facset_cli_core, " + UNLINKED, None,
     "src/download/j.cpp", '#include "gang.h"\n'),
    ("src/download linking cli", "facset_download (src/download) links facset_cli_core of cli, " + BELOW,
     {"facset_download": ["facset_cli_core"]}, None, ""),
    ("a layer including one it does not link", "params/params.h of facset_params, " + UNLINKED, None,
     "src/protocol/k.cpp", '#include "params/params.h"\n'),
    ("a program including a private header of a layer it links",
     "serial/serial_private.h, a header private to src/serial", None, "cli/l.cpp",
     '#include "serial/serial_private.h"\n'),
    ("a layer including its own private header", None, None, "src/serial/m.cpp",
     '#include "serial/serial_private.h"\n'),
]

try:
    for what, want, extra, rel, text in CASES:
        path = fixture(extra)
        if rel:
            add(rel, text)
        expect(want, what, path)
finally:
    shutil.rmtree(root, ignore_errors=True)
sys.exit(1 if failed else 0)
