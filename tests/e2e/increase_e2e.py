#!/usr/bin/env python3
"""The window's increasing row, end to end: the real facset under Xvfb and a
window manager, real X input (xdotool), three downloads to scale-sim.

A numeric row is marked through its context menu; each download whose block
the scale acknowledged sends the row's value and then raises it by one; past
the row's maximum the raise is refused with the usual message and the mark
goes. Checked against what scale-sim stored, the window's row, the set-value
view and the working copy on disk.

usage: increase_e2e.py <path to facset>
"""

import os
import shutil
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from window_e2e import Display, Failure, Sim, Window, check, ini_value, param_file  # noqa: E402

# Byte 15: a one-byte numeric row holding 253, two values below its maximum.
ROWS = """
byte[15 ]=253
byte[15 ]t=Scale number
byte[15 ]n=1
byte[15 ]x=1 to 255
"""


def config():
    return (b"[Set]\r\nlngstr=_en\r\nIsEnabled=1\r\n[port]\r\nip=127.0.0.1\r\nuse com=0\r\n[factory]\r\n"
            b"IsDownkDownProg=0\r\n" + param_file(ROWS).split(b"[factory]\r\n")[1])


def row_text(s):
    return s["w"]["CboxAuto15"]["text"]


def download(w, sim, runs, raised=None):
    """Clicks Download and waits for the run's end. After a raise the window
    holds an unsaved edit: the download's save question comes first, and Yes
    keeps the raised value in the working copy."""
    w.click("btnDownload")
    if raised is not None:
        s = w.wait_modal("QMessageBox")
        check("Settings are not saved" in s["modal"], "not the save question: %r" % s["modal"])
        w.key("Return")
        w.wait(lambda s: not s.get("modal"), "the question answered")
        check(ini_value(w.config(), "byte[15 ]") == str(raised), "the raised value was not saved")
    s = w.wait(lambda s: s["log"].count(" set ok ! ") == runs and (s["w"]["btnDownload"]["enabled"] or s.get("modal")),
               "download %d acknowledged" % runs, timeout=30)
    with open(sim.param_out, "rb") as f:
        return s, f.read()


def case_increase_after_each_download(display, exe):
    sim = Sim(exe)
    w = None
    try:
        w = Window(display, exe, config(), env={"FACSET_SCALE_UDP_PORT": sim.port})
        s = w.dump()
        check(row_text(s) == "253" and "incMark" not in s["w"], "the row does not start at 253 unmarked")

        # The mark, through the row's context menu (its last entry).
        c = s["w"]["CboxAuto15"]
        w.xdo("mousemove", str(c["x"] + 20), str(c["y"] + c["height"] // 2), "click", "3")
        w.wait(lambda s: s.get("popup") == "QMenu", "the row's context menu")
        w.key("Up", "Return")
        s = w.wait(lambda s: "incMark" in s["w"], "the marker beside the row")
        check(s["w"]["incMark"]["text"] == "+1" and s["w"]["incMark"]["visible"], "the marker is not shown")
        check(abs(s["w"]["incMark"]["y"] - c["y"]) < c["height"], "the marker is not beside the marked row")
        check(s["modified"], "marking the row is no edit to save")

        # Saved with the working copy, under our key.
        w.click("Button2")
        w.wait(lambda s: not s["modified"], "the save")
        check(ini_value(w.config(), "IncreaseAfterDownload") == "15", "the mark was not saved")

        for run, sent in ((1, 253), (2, 254)):
            s, block = download(w, sim, run, raised=None if run == 1 else sent)
            check(block[15] == sent, "download %d: the scale got %d, not %d" % (run, block[15], sent))
            s = w.wait(lambda s: row_text(s) == str(sent + 1), "the row raised to %d" % (sent + 1))
            check(s["block"][15] == sent + 1, "the block does not hold the raised value")
            check(s["modified"], "the raise is no edit")

        # The third download sends 255; 256 is past the row's maximum.
        s, block = download(w, sim, 3, raised=255)
        check(block[15] == 255, "download 3: the scale got %d" % block[15])
        s = w.wait_modal("QMessageBox")
        check("Can not be greater than the maximum:255" in s["modal"], "not the usual message: %r" % s["modal"])
        check("incMark" not in s["w"], "the mark stayed")
        w.key("Return")
        s = w.wait(lambda s: not s.get("modal"), "the message closed")
        check(row_text(s) == "255" and s["block"][15] == 255, "the refused raise changed the row")

        w.click("Button2")
        w.wait(lambda s: not s["modified"], "the save")
        data = w.config()
        check(ini_value(data, "IncreaseAfterDownload") == "" and ini_value(data, "byte[15 ]") == "255",
              "the working copy does not hold 255 without the mark")
        blocks = [r for r in sim.requests() if r["cmd"] == 80]
        check(len(blocks) == 3, "the scale saw %d blocks, not 3" % len(blocks))
    finally:
        if w is not None:
            w.close()
        sim.close()


def main():
    if len(sys.argv) < 2:
        print(__doc__)
        return 2
    exe = os.path.abspath(sys.argv[1])
    for tool in ("Xvfb", "xdotool", "setxkbmap", "openbox"):
        if shutil.which(tool) is None:
            print("missing %s: run scripts/install-deps" % tool)
            return 1
    display = Display()
    try:
        start = time.monotonic()
        case_increase_after_each_download(display, exe)
        print("PASS case_increase_after_each_download (%.1f s)" % (time.monotonic() - start))
        return 0
    except Failure as e:
        print("FAIL case_increase_after_each_download: %s" % e)
        return 1
    finally:
        display.close()


if __name__ == "__main__":
    sys.exit(main())
