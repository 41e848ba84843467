#!/usr/bin/env python3
"""The History command of the real facset window, under Xvfb and openbox with
real X input (the machinery of window_e2e.py): downloads against scale-sim,
one of them refused, then the dialog read as an operator reads it.

usage: history_e2e.py <path to facset> [case ...]
"""

import os
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import window_e2e  # noqa: E402
from window_e2e import Failure, Window, check, sim_config  # noqa: E402


class Scale:
    """scale-sim answering on `host`, on `port` (0: a free one)."""

    def __init__(self, exe, host, port="0", *faults):
        path = os.environ.get("FACSET_E2E_SIM") or os.path.join(os.path.dirname(exe), "..", "..", "tools",
                                                                 "scale-sim", "scale-sim")
        self.dir = tempfile.mkdtemp(prefix="facset-e2e-sim-")
        self.param_out = os.path.join(self.dir, "params.bin")
        self.proc = subprocess.Popen([path, "--udp-host", host, "--udp-port", port, "--param-out", self.param_out,
                                     *faults], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        line = self.proc.stdout.readline().decode()
        if "udp=%s:" % host not in line:
            self.close()
            raise Failure("scale-sim did not get ready: %r" % line)
        self.port = line.split("udp=%s:" % host)[1].split()[0]

    def close(self):
        self.proc.terminate()
        self.proc.wait(5)
        shutil.rmtree(self.dir, ignore_errors=True)


def set_values_view(block):
    """The set-value view of a block: the header and sixteen rows of upper-case hex."""
    lines = ["    " + " ".join("%02X" % c for c in range(16))]
    for r in range(16):
        lines.append("%X%X:" % (0, r) + "".join(" %02X" % b for b in block[r * 16:r * 16 + 16]))
    return "\n".join(lines)


def download(w, address):
    w.focus("edtIP")
    w.key("ctrl+a")
    w.type(address)
    runs = w.wait(lambda s: s["w"]["edtIP"]["text"] == address, "the address typed")["log"].count(" connect ...")
    w.click("btnDownload")
    # A run against scale-sim may be over before the first look: its log line tells.
    return w.wait(lambda s: s["log"].count(" connect ...") > runs and s["w"]["btnDownload"]["enabled"],
                  "the run over")


def double_click(w, row):
    w.xdo("mousemove", str(row["x"] + 20), str(row["y"] + row["height"] // 2), "click", "--repeat", "2",
          "--delay", "60", "1")


def case_history_lists_filters_and_details(display, exe):
    """Two downloads (one refused by the scale), the status line, the dialog's rows, counts, filter and details."""
    good = Scale(exe, "127.0.0.1")
    bad = Scale(exe, "127.0.0.2", good.port, "--refuse", "80/0")
    w = None
    try:
        # A factory database that cannot be reached: the records wait, and the line says so.
        nowhere = tempfile.mkdtemp(prefix="facset-e2e-nodb-")
        config = sim_config() + ("[records]\r\nurl=host=%s/none dbname=factory\r\n" % nowhere).encode()
        w = Window(display, exe, config, env={"FACSET_SCALE_UDP_PORT": good.port})
        s = w.dump()
        check(s["w"]["lblRecords"]["text"] == "All records sent", "status line: %r" % s["w"]["lblRecords"]["text"])
        block = s["block"]

        s = download(w, "127.0.0.1")
        check(s["lastmsg"].strip() == "set ok !", "the good scale's run: %r" % s["lastmsg"])
        s = download(w, "127.0.0.2")
        check(s["lastmsg"].strip() != "set ok !", "the refusing scale's run ended %r" % s["lastmsg"])
        s = w.wait(lambda s: s["w"]["lblRecords"]["text"] == "Records waiting to be sent: 2",
                   "two records waiting (line shows %r)" % w.dump()["w"]["lblRecords"]["text"])

        w.click("btnHistory", s)
        s = w.wait(lambda s: "histList" in s["rows"] and len(s["rows"]["histList"]) == 2, "the history's two rows")
        rows = [r["cols"] for r in s["rows"]["histList"]]
        check([r[1] for r in rows] == ["127.0.0.2", "127.0.0.1"], "not newest first: %r" % rows)
        check([r[2] for r in rows] == ["failed", "ok"], "outcomes shown: %r" % rows)
        check(s["w"]["histCounts"]["text"] == "Today: 1 ok, 1 failed, 0 not proven",
              "counts: %r" % s["w"]["histCounts"]["text"])

        w.click("histFailed", s)
        s = w.wait(lambda s: len(s["rows"].get("histList", [])) == 1, "only the failed row")
        check(s["rows"]["histList"][0]["cols"][1] == "127.0.0.2", "filtered: %r" % s["rows"]["histList"])

        double_click(w, s["rows"]["histList"][0])
        # Keys go to the dialog once it has the keyboard.
        s = w.wait(lambda s: "recBlock" in s["w"] and s["w"]["recBlock"]["visible"] and s["focus"] == "recClose",
                   "the record's details with the keyboard")
        check(s["w"]["recOutcome"]["text"] == "failed", "details outcome %r" % s["w"]["recOutcome"]["text"])
        check(s["w"]["recTarget"]["text"] == "127.0.0.2", "details target %r" % s["w"]["recTarget"]["text"])
        sent = bytearray(block)
        sent[0] = 0xA6
        check(s["w"]["recBlock"]["text"] == set_values_view(sent),
              "the block view is not the block sent:\n%s" % s["w"]["recBlock"]["text"])
        check(" connect ...127.0.0.2" in s["w"]["recLog"]["text"].splitlines(), "log: %r" % s["w"]["recLog"]["text"])
        w.key("Escape")
        w.wait(lambda s: "recBlock" not in s["w"] or not s["w"]["recBlock"]["visible"], "the details closed")

        # The dialog follows the downloads made while it is open.
        w.click("histFailed")
        w.activate()
        download(w, "127.0.0.1")
        s = w.wait(lambda s: len(s["rows"].get("histList", [])) == 3, "the new record listed")
        check(s["w"]["histCounts"]["text"] == "Today: 2 ok, 1 failed, 0 not proven",
              "counts after: %r" % s["w"]["histCounts"]["text"])
        shutil.rmtree(nowhere, ignore_errors=True)
    finally:
        if w is not None:
            w.close()
        bad.close()
        good.close()


CASES = [case_history_lists_filters_and_details]


if __name__ == "__main__":
    sys.exit(window_e2e.main(CASES, __doc__))
