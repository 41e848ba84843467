#!/usr/bin/env python3
"""The real facset window under Xvfb and a window manager (openbox), driven by
real X input (xdotool, XTEST).

Each case starts the executable in a folder of its own (the tool keeps its
configuration next to the executable, so the binary is copied there) and
queries what the window shows through its state dump (FACSET_STATE_DUMP,
written on SIGUSR1). After each piece of input the test presses F12, a key
the window ignores but counts: once the count has moved, every X event sent
before has been handled. Nothing waits on a bare sleep.

usage: window_e2e.py <path to facset> [case ...]
"""

import json
import os
import shutil
import signal
import sqlite3
import subprocess
import sys
import tempfile
import time

TIMEOUT = 15.0  # seconds for any one state to appear


class Failure(Exception):
    pass


def check(cond, what):
    if not cond:
        raise Failure(what)


def param_file(factory, lang="_en", more=""):
    lines = "".join(line + "\r\n" for line in factory.strip().splitlines())
    return ("[Set]\r\nlngstr=" + lang + "\r\nIsEnabled=1\r\n[factory]\r\n" + lines + more).encode("gbk")


# Byte 14: a two-choice list showing "On"; 15: a one-byte numeric list (7);
# 20: an eight-byte text field ("AB").
ROWS = """
byte[14 ]=3
byte[14 ]t=Mode
byte[14 ]n=1
byte[14 ]0=Off
byte[14 ]1=On
byte[15 ]=7
byte[15 ]t=Count
byte[15 ]n=1
byte[15 ]x=a number
byte[20 ]=65
byte[21 ]=66
byte[20 ]t=Text
byte[20 ]n=8
byte[20 ]k=1
"""


class Display:
    """An Xvfb of its own with a window manager (openbox): title bars, Alt+F4,
    activation and placement as on a desktop."""

    def __init__(self, size="1280x1024"):
        read_fd, write_fd = os.pipe()
        self.proc = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_fd), "-screen", "0", size + "x24", "-nolisten", "tcp"],
            pass_fds=(write_fd,), stdout=subprocess.DEVNULL, stderr=open(os.environ.get("FACSET_E2E_XLOG", os.devnull), "w"))
        os.close(write_fd)
        self.wm = None
        number = b""
        deadline = time.monotonic() + TIMEOUT
        while not number.endswith(b"\n"):
            if time.monotonic() > deadline or self.proc.poll() is not None:
                raise Failure("Xvfb did not start")
            chunk = os.read(read_fd, 16)
            if not chunk:
                break
            number += chunk
        os.close(read_fd)
        self.name = ":" + number.decode().strip()
        try:
            self.start_wm()
        except BaseException:
            self.close()
            raise

    def start_wm(self):
        env = dict(os.environ, DISPLAY=self.name)
        # A German keyboard has ß, ä and ö on keys of their own: xdotool then
        # types them without remapping a key for each, which a client may
        # read with the keymap of a moment before.
        subprocess.run(["setxkbmap", "-display", self.name, "de"], check=True)
        # Now and then openbox ends at once without a word (exit status 1) on
        # a busy machine: such a start is repeated, nothing else is.
        for attempt in range(3):
            wm_log = tempfile.TemporaryFile()
            self.wm = subprocess.Popen(["openbox", "--sm-disable"], env=env, stdout=subprocess.DEVNULL,
                                       stderr=wm_log)
            # The window manager is there once it has named itself on the root window.
            deadline = time.monotonic() + TIMEOUT
            while "window id #" not in subprocess.run(["xprop", "-root", "_NET_SUPPORTING_WM_CHECK"], env=env,
                                                      capture_output=True, text=True).stdout:
                if time.monotonic() > deadline or self.wm.poll() is not None:
                    break
                time.sleep(0.05)
            else:
                return
            wm_log.seek(0)
            why = "openbox did not start (exit %s): %s" % (self.wm.poll(), wm_log.read().decode(errors="replace").strip())
            if self.wm.poll() is None or attempt == 2:
                raise Failure(why)

    def close(self):
        for proc in (self.wm, self.proc):
            if proc is not None and proc.poll() is None:
                proc.terminate()
                proc.wait(5)


class Window:
    """One facset process in a tool folder of its own."""

    def __init__(self, display, exe, config=None, files=None, env=None, share=None):
        """`share`: another Window whose tool folder (and so working copy) this one uses too."""
        self.display = display
        self.owns_dir = share is None
        self.dir = tempfile.mkdtemp(prefix="facset-e2e-") if share is None else share.dir
        self.exe = os.path.join(self.dir, "facset")
        if share is None:
            shutil.copy(exe, self.exe)
        if config is not None:
            with open(os.path.join(self.dir, "facconfig.ini"), "wb") as f:
                f.write(config)
        for name, data in (files or {}).items():
            path = os.path.join(self.dir, name)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "wb") as f:
                f.write(data)
        self.dump_path = os.path.join(self.dir, "state-%d.txt" % id(self))
        extra_env = env or {}
        env = dict(os.environ)
        env.update({"DISPLAY": display.name, "QT_QPA_PLATFORM": "xcb", "FACSET_STATE_DUMP": self.dump_path,
                    "XDG_RUNTIME_DIR": self.dir})
        env.pop("FACSET_SCALE_UDP_PORT", None)
        env.update(extra_env)
        self.markers = 0
        # An X connection is now and then refused under load (Qt gives up at
        # once): such a start is repeated, nothing else is.
        for attempt in range(4):
            self.proc = subprocess.Popen([self.exe], cwd=self.dir, env=env, stdout=subprocess.DEVNULL,
                                         stderr=subprocess.PIPE)
            try:
                # The dump's signal handler is installed before the window is
                # shown: no signal goes out before the window is there.
                wid = self.window_id()
                break
            except Failure as e:
                if "could not connect to display" not in str(e) or attempt == 3:
                    raise
                time.sleep(0.3 * (attempt + 1))
        self.wid = wid
        state = self.wait(lambda s: "btnopen" in s["w"] and s["w"]["btnopen"]["visible"], "the window shown")
        self.markers = state["markers"]
        self.activate()

    def activate(self):
        """Asks the window manager to activate the window, and waits until Qt knows it."""
        self.xdo("windowactivate", "--sync", self.wid)
        self.wait(lambda s: s.get("active") == "1", "the window active")
        self.settle()

    def window_id(self):
        deadline = time.monotonic() + TIMEOUT
        while time.monotonic() < deadline:
            out = subprocess.run(["xdotool", "search", "--onlyvisible", "--pid", str(self.proc.pid)],
                                 env=self.xenv(), capture_output=True, text=True).stdout.split()
            if out:
                return out[0]
            if self.proc.poll() is not None:
                raise Failure("facset ended: " + self.proc.stderr.read().decode(errors="replace"))
            time.sleep(0.05)
        raise Failure("no X window of the facset process")

    def xenv(self):
        env = dict(os.environ)
        env["DISPLAY"] = self.display.name
        return env

    def xdo(self, *args):
        subprocess.run(["xdotool", *args], env=self.xenv(), check=True)

    def close(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait(5)
        if self.owns_dir:
            shutil.rmtree(self.dir, ignore_errors=True)

    def config(self):
        with open(os.path.join(self.dir, "facconfig.ini"), "rb") as f:
            return f.read()

    # ---- what the window shows
    def dump(self):
        try:
            os.unlink(self.dump_path)
        except FileNotFoundError:
            pass
        if self.proc.poll() is not None:
            raise Failure("facset ended: " + self.proc.stderr.read().decode(errors="replace"))
        os.kill(self.proc.pid, signal.SIGUSR1)
        deadline = time.monotonic() + TIMEOUT
        while not os.path.exists(self.dump_path):
            if time.monotonic() > deadline:
                raise Failure("no state dump")
            if self.proc.poll() is not None:
                raise Failure("facset ended: " + self.proc.stderr.read().decode(errors="replace"))
            time.sleep(0.01)
        state = {"w": {}, "buttons": [], "acc": {}, "rows": {}}
        with open(self.dump_path, encoding="utf-8") as f:
            for line in f.read().splitlines():
                if line.startswith("w "):
                    parts = line.split(" ", 8)
                    control = {"enabled": parts[2] == "1", "visible": parts[3] == "1",
                               "x": int(parts[4]), "y": int(parts[5]), "width": int(parts[6]),
                               "height": int(parts[7]), "text": unescape(parts[8])}
                    if parts[1] == "modal.button":
                        state["buttons"].append(control)
                    else:
                        state["w"][parts[1]] = control
                elif line.startswith("row "):
                    parts = line.split(" ", 7)
                    state["rows"].setdefault(parts[1], []).append(
                        {"x": int(parts[3]), "y": int(parts[4]), "width": int(parts[5]), "height": int(parts[6]),
                         "cols": unescape(parts[7]).split("\t")})
                elif line.startswith("acc "):
                    key, _, value = line[4:].partition("=")
                    state["acc"][key] = unescape(value)
                else:
                    key, _, value = line.partition("=")
                    state[key] = unescape(value)
        state["markers"] = int(state["markers"])
        state["modified"] = state["modified"] == "1"
        state["block"] = bytes.fromhex(state["block"])
        return state

    def wait(self, pred, what, timeout=TIMEOUT):
        deadline = time.monotonic() + timeout
        state = None
        while time.monotonic() < deadline:
            state = self.dump()
            if pred(state):
                return state
            time.sleep(0.05)
        raise Failure("timed out waiting for %s; focus %s, modal %s, last message %s" %
                      (what, state and state.get("focus"), state and state.get("modal"),
                       state and state.get("lastmsg")))

    def settle(self):
        """Returns the state once every X event sent so far has been handled."""
        self.xdo("key", "F12")
        self.markers += 1
        return self.wait(lambda s: s["markers"] >= self.markers, "the input to be handled")

    # ---- real input
    def click(self, name, state=None):
        c = (state or self.dump())["w"][name]
        self.click_at(c["x"] + c["width"] // 2, c["y"] + c["height"] // 2)

    def click_at(self, x, y):
        # No --sync: it waits forever when the pointer is already there; the
        # X server keeps the move before the click anyway.
        self.xdo("mousemove", str(x), str(y), "click", "1")

    def key(self, *keys):
        self.xdo("key", "--delay", "20", *keys)

    # Keys of the German keyboard set up on the display, by character.
    KEYSYMS = {"ß": "ssharp", "ä": "adiaeresis", "ö": "odiaeresis", "ü": "udiaeresis"}

    def type(self, text):
        # xdotool's "type" briefly rebinds a key for a character outside
        # ASCII, which a busy client may read with the old binding; these are
        # sent by name as the keys the German keyboard has for them.
        run = ""
        for ch in text + "\0":
            if ch in self.KEYSYMS or ch == "\0":
                if run:
                    self.xdo("type", "--delay", "20", run)
                    run = ""
                if ch != "\0":
                    self.xdo("key", self.KEYSYMS[ch])
            else:
                run += ch

    def wait_modal(self, kind):
        """Waits for a modal window of Qt class `kind` that has the keyboard.

        The X focus moves to a new window a little after it is shown; keys
        sent before would go to the window it blocks."""
        return self.wait(lambda s: s.get("modal", "").startswith(kind + ":") and
                         s["focus"] in ("fileNameEdit", "qt_msgbox_buttonbox"), "a focused " + kind)

    def focus(self, name):
        """Clicks a field and waits until the keyboard goes to it."""
        self.click(name)
        return self.wait(lambda s: s["focus"] == name, "the focus in " + name)


def unescape(s):
    out, i = [], 0
    while i < len(s):
        if s[i] == "\\" and i + 1 < len(s):
            out.append({"n": "\n", "r": "\r"}.get(s[i + 1], s[i + 1]))
            i += 2
        else:
            out.append(s[i])
            i += 1
    return "".join(out)


# ---------------------------------------------------------------------------
# Cases

def case_key_filters(display, exe):
    """Keys and pastes in a numeric list, a text field and a gravity field."""
    w = Window(display, exe, param_file(ROWS + "bdgbIndex=1"))
    try:
        # The numeric list: typed where the keyboard sends it.
        w.focus("CboxAuto15")
        w.key("ctrl+a")
        w.type("9a1")
        s = w.settle()
        check(s["w"]["CboxAuto15"]["text"] == "91", "numeric list shows " + s["w"]["CboxAuto15"]["text"])
        check(s["block"][15] == 91, "byte 15 is %d" % s["block"][15])
        # A paste through the clipboard: text copied from the IP field.
        w.focus("edtIP")
        w.key("ctrl+a")
        w.type("4x2")
        w.key("ctrl+a", "ctrl+c")
        w.focus("CboxAuto15")
        w.key("ctrl+a", "ctrl+v")
        s = w.settle()
        check(s["w"]["CboxAuto15"]["text"] == "42", "pasted list shows " + s["w"]["CboxAuto15"]["text"])
        check(s["block"][15] == 42, "byte 15 after paste is %d" % s["block"][15])
        # The text field keeps ASCII.
        w.focus("edtAuto20")
        w.key("End")
        w.type("xäy")
        s = w.settle()
        check(s["w"]["edtAuto20"]["text"] == "ABxy", "text field shows " + s["w"]["edtAuto20"]["text"])
        check(s["block"][20:25] == b"ABxy\0", "text bytes %r" % s["block"][20:25])
        # The gravity field: digits and one point; Enter stores it.
        w.focus("edtbdgb")
        w.key("ctrl+a")
        w.type("9x.8.1")
        s = w.settle()
        check(s["w"]["edtbdgb"]["text"] == "9.81", "gravity field shows " + s["w"]["edtbdgb"]["text"])
        w.key("Return")
        s = w.settle()
        check(s["block"][8:11] == bytes([0x01, 0x7F, 0x34]), "gravity bytes %r" % s["block"][8:11])
    finally:
        w.close()


def case_two_choice_letters(display, exe):
    """Letters do not pick an entry of a two-choice list; arrows and the mouse do."""
    w = Window(display, exe, param_file(ROWS))
    try:
        w.focus("CboxAuto15")
        w.key("shift+Tab")
        w.wait(lambda s: s["focus"] == "CboxAuto14", "the focus in the two-choice list")
        w.type("Off")
        s = w.settle()
        check(s["w"]["CboxAuto14"]["text"] == "On", "letters picked " + s["w"]["CboxAuto14"]["text"])
        check(s["block"][14] == 3 and not s["modified"], "letters changed byte 14 to %d" % s["block"][14])
        w.key("Up")
        s = w.settle()
        check(s["w"]["CboxAuto14"]["text"] == "Off" and s["block"][14] == 0, "Up did not choose Off")
        # The drop-down: letters typed there pick nothing either; Return takes the entry still current.
        w.click("CboxAuto14")
        w.wait(lambda s: "popup" in s, "the drop-down")
        w.type("On")
        w.key("Return")
        s = w.settle()
        check(s["w"]["CboxAuto14"]["text"] == "Off", "letters in the drop-down picked " +
              s["w"]["CboxAuto14"]["text"])
    finally:
        w.close()


def case_escape_keeps_the_question(display, exe):
    """Escape and the box's close do not count as No; Yes then saves."""
    w = Window(display, exe, param_file(ROWS))
    try:
        w.focus("CboxAuto15")
        w.key("ctrl+a")
        w.type("33")
        w.settle()
        w.click("btnClose")
        w.wait_modal("QMessageBox")
        w.key("Escape")
        s = w.settle()
        check(s.get("modal", "").startswith("QMessageBox"), "Escape answered the question")
        check(w.proc.poll() is None, "Escape closed the window")
        yes = [b for b in s["buttons"] if b["text"].replace("&", "") == "Yes"]
        check(len(yes) == 1, "no Yes button: %r" % [b["text"] for b in s["buttons"]])
        w.click_at(yes[0]["x"] + yes[0]["width"] // 2, yes[0]["y"] + yes[0]["height"] // 2)
        w.proc.wait(TIMEOUT)
        with open(os.path.join(w.dir, "facconfig.ini"), "rb") as f:
            check(b"byte[15 ]=33" in f.read(), "the answer Yes did not save")
    finally:
        w.close()


def choose_in_dialog(w, button, path):
    """Chooses `path` in the file dialog that `button` opens.

    Typed into the dialog, a path races its completer, whose list appears
    while the keys arrive; so the path is typed into the IP field, copied
    and pasted into the dialog's name field at once, as an operator may do."""
    w.focus("edtIP")
    # A key xdotool sends while a slow (sanitizer) build is busy can be read
    # with another binding: once all input is handled, a wrong text is typed
    # again once, and what the field holds is named if it is still wrong.
    for attempt in range(2):
        w.key("ctrl+a")
        w.type(path)
        if w.settle()["w"]["edtIP"]["text"] == path:
            break
    w.wait(lambda s: s["w"]["edtIP"]["text"] == path, "the path typed (field holds %r)" % w.dump()["w"]["edtIP"]["text"])
    w.key("ctrl+a", "ctrl+c")
    w.click(button)
    w.wait_modal("QFileDialog")
    w.key("ctrl+v", "Return")


def case_open_all_or_nothing(display, exe):
    """A failing language switch leaves the window exactly as it was."""
    # The Chinese language file cannot be written (a folder holds its name,
    # which stops root too), so switching to it fails.
    w = Window(display, exe, param_file(ROWS))
    try:
        os.makedirs(os.path.join(w.dir, "kelvaset_cn.lng"))
        before = w.settle()
        other = os.path.join(w.dir, "other.ini")
        with open(other, "wb") as f:
            f.write(b"[factory]\r\nbyte[1  ]=2\r\nbyte[14 ]t=Other\r\nbyte[14 ]n=1\r\n"
                    b"[Set]\r\nlngstr=_cn\r\nIsEnabled=1\r\n")
        choose_in_dialog(w, "btnopen", other)
        w.wait_modal("QMessageBox")
        w.key("Return")
        s = w.wait(lambda s: "modal" not in s, "the message closed")
        check(s["block"] == before["block"], "the block changed")
        check(s["modified"] == before["modified"], "Modified changed")
        check(s["title"] == before["title"], "the language changed")
        check(s["w"]["CboxAuto14"]["text"] == "On" and "CboxAuto15" in s["w"], "the rows changed")
        check(s["w"]["btnopen"]["text"] == before["w"]["btnopen"]["text"], "the window texts changed")
    finally:
        w.close()


def case_file_names_gbk_cannot_hold(display, exe):
    """A file named with characters GBK lacks is opened, named right and saved under its name."""
    opened = "straße/mäßig.ini"
    w = Window(display, exe, param_file(ROWS), {opened: param_file("byte[1  ]=2\nbyte[14 ]t=Opened\nbyte[14 ]n=1"
                                                                   "\nbyte[14 ]0=x\nbyte[14 ]1=y")})
    try:
        path = os.path.join(w.dir, opened)
        choose_in_dialog(w, "btnopen", path)
        s = w.wait(lambda s: "modal" not in s and s["block"][1] == 2, "the file loaded")
        check(s["lastmsg"].endswith(path), "lstMsg shows " + s["lastmsg"])
        check("CboxAuto15" not in s["w"], "the rows were not regenerated")
        # The firmware box takes a name GBK cannot hold, and the working copy keeps it.
        image = os.path.join(w.dir, "straße", "fw-ö.hex")
        with open(image, "wb") as f:
            f.write(b"x")
        choose_in_dialog(w, "Button1", image)
        s = w.wait(lambda s: "modal" not in s and s["w"]["edtFilePath"]["text"] == image, "the firmware path")
        w.click("Button2")
        w.settle()
        with open(os.path.join(w.dir, "facconfig.ini"), "rb") as f:
            check(("binFilePathUtf8=" + image).encode() in f.read(), "the firmware path was not kept")
    finally:
        w.close()


class Sim:
    """scale-sim on 127.0.0.1 (a free UDP port), logging every request it receives."""

    def __init__(self, exe, *args):
        # ctest names it; by hand it is found in the build tree beside src/app/facset.
        path = os.environ.get("FACSET_E2E_SIM") or os.path.join(os.path.dirname(exe), "..", "..", "tools",
                                                                 "scale-sim", "scale-sim")
        if not os.access(path, os.X_OK):
            raise Failure("no scale-sim at %s (FACSET_E2E_SIM names it)" % path)
        self.dir = tempfile.mkdtemp(prefix="facset-e2e-sim-")
        self.log = os.path.join(self.dir, "sim.jsonl")
        self.param_out = os.path.join(self.dir, "params.bin")
        self.firmware_out = os.path.join(self.dir, "firmware.bin")
        self.proc = subprocess.Popen([path, "--udp-host", "127.0.0.1", "--udp-port", "0", "--log", self.log,
                                      "--param-out", self.param_out, "--firmware-out", self.firmware_out, *args],
                                     stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        line = self.proc.stdout.readline().decode()
        if not line.startswith("ready") or "udp=127.0.0.1:" not in line:
            self.close()
            raise Failure("scale-sim did not get ready: %r" % line)
        self.port = line.split("udp=127.0.0.1:")[1].split()[0]

    def requests(self):
        with open(self.log, encoding="utf-8") as f:
            return [json.loads(line) for line in f if line.strip()]

    def close(self):
        self.proc.terminate()
        self.proc.wait(5)
        shutil.rmtree(self.dir, ignore_errors=True)


def case_stop_during_upgrade(display, exe):
    """Stop, clicked while an image streams, ends the upgrade: nothing more reaches the scale."""
    sim = Sim(exe, "--delay", "15")
    image = bytes((i * 7 + 3) & 0xFF for i in range(256 * 1024))  # 1024 blocks, 992 sent
    config = (b"[Set]\r\nlngstr=_en\r\nIsEnabled=1\r\n[port]\r\nip=127.0.0.1\r\nuse com=0\r\n"
              b"[factory]\r\nIsDownkDownProg=1\r\nbinFilePath=image.hex\r\n")
    w = None
    try:
        w = Window(display, exe, config, {"image.hex": image}, {"FACSET_SCALE_UDP_PORT": sim.port})
        s = w.dump()
        check(not s["w"]["pnlUpgrade"]["visible"], "the progress bar shows before a run")
        log_height = s["w"]["lstMsg"]["height"]
        w.click("btnDownload", s)

        def streaming(s):
            figures = s["w"]["lblUpgrade"]["text"]
            return s["w"]["pnlUpgrade"]["visible"] and figures[:1].isdigit() and int(figures.split("/")[0]) >= 10
        s = w.wait(streaming, "the progress bar with ten blocks sent")
        bar, log, stop = s["w"]["pnlUpgrade"], s["w"]["lstMsg"], s["w"]["btnStop"]
        check(log["y"] + log["height"] <= bar["y"], "the bar overlaps the log")
        check(stop["visible"] and stop["enabled"] and stop["text"] == "Stop", "no Stop button: %r" % stop)
        check(" KiB/s " in s["w"]["lblUpgrade"]["text"] and s["w"]["lblUpgrade"]["text"].endswith(" left"),
              "no rate or time left: %r" % s["w"]["lblUpgrade"]["text"])
        w.click("btnStop", s)
        stopped = "stopped: the scale may be left in the middle of a firmware upgrade"
        s = w.wait(lambda s: s["lastmsg"] == stopped and s["w"]["btnDownload"]["enabled"], "the run stopped")
        check(not s["w"]["pnlUpgrade"]["visible"], "the progress bar stays after the run")
        check(s["w"]["lstMsg"]["height"] == log_height, "the log did not get its room back")
        got = sim.requests()
        time.sleep(0.5)  # a block sent after Stop would land meanwhile
        later = sim.requests()
        check(len(later) == len(got), "the scale received %d requests after the run" % (len(later) - len(got)))
        check(not any(r["cmd"] == 15 and r["arg"] == 1 for r in later), "the scale received the finish request")
        last_block = max(r["arg"] for r in later if r["cmd"] == 15 and r["arg"] >= 32)
        db = sqlite3.connect(os.path.join(w.dir, "facset-records.sqlite"))
        try:
            outcome, firmware, sent, to_send, program = db.execute(
                "SELECT outcome, firmware_outcome, blocks_sent, blocks_to_send, program FROM downloads").fetchone()
        finally:
            db.close()
        check((outcome, firmware, to_send, program) == ("aborted", "aborted", 992, "facset"),
              "recorded %r" % ((outcome, firmware, to_send, program),))
        check(32 + sent - 1 <= last_block <= 32 + sent,
              "the scale got block %d, %d acknowledged" % (last_block, sent))
    finally:
        if w is not None:
            w.close()
        sim.close()


def press_button(w, s, label):
    """Clicks the button `label` of the modal box in state `s`."""
    found = [b for b in s["buttons"] if b["text"].replace("&", "") == label]
    check(len(found) == 1, "no %s button: %r" % (label, [b["text"] for b in s["buttons"]]))
    b = found[0]
    w.click_at(b["x"] + b["width"] // 2, b["y"] + b["height"] // 2)


def default_button(s):
    """The label of the button Enter would press (the box's focus button)."""
    return s.get("modaldefault", "").replace("&", "")


def ini_value(data, key):
    for line in data.decode("gbk", errors="replace").splitlines():
        k, _, v = line.partition("=")
        if k.strip().lower() == key.lower():
            return v.strip()
    return None


GRAVITY_MANUAL = "bdgbIndex=1\nbyte[8  ]=1\nbyte[9  ]=126\nbyte[10 ]=208"  # 9.8 in manual input


def case_close_by_the_window_manager(display, exe):
    """A gravity typed and not confirmed survives focus leaving the window and a close by Alt+F4."""
    w = Window(display, exe, param_file(ROWS + GRAVITY_MANUAL))
    other = None
    try:
        w.focus("edtbdgb")
        w.key("ctrl+a")
        w.type("9.81")
        w.settle()
        # Another window is activated, then this one again.
        other = Window(display, exe, param_file(ROWS))
        w.activate()
        s = w.dump()
        check(s["w"]["edtbdgb"]["text"] == "9.81", "the field shows %r" % s["w"]["edtbdgb"]["text"])
        w.key("alt+F4")
        s = w.wait_modal("QMessageBox")
        check("Settings are not saved" in s["modal"], "asked %r" % s["modal"])
        press_button(w, s, "Yes")
        w.proc.wait(TIMEOUT)
        cfg = w.config()
        check([ini_value(cfg, "byte[%-3d]" % n) for n in (8, 9, 10)] == ["1", "127", "52"],
              "saved gravity bytes %r" % [ini_value(cfg, "byte[%-3d]" % n) for n in (8, 9, 10)])
    finally:
        w.close()
        if other is not None:
            other.close()


def case_refused_numbers_restore(display, exe):
    """70000 over 300 in a two-byte list and 256 over 7 in a one-byte list end as 300 and 7."""
    w = Window(display, exe, param_file(ROWS + "byte[30 ]=1\nbyte[31 ]=44\nbyte[30 ]t=Wide\nbyte[30 ]n=2\n"
                                        "byte[30 ]x=grams"))
    try:
        for name, typed, shown, at, value in (("CboxAuto30", "70000", "300", 30, b"\x01\x2c"),
                                              ("CboxAuto15", "256", "7", 15, b"\x07")):
            w.focus(name)
            w.key("ctrl+a")
            w.type(typed)
            s = w.wait_modal("QMessageBox")
            w.key("Return")
            s = w.wait(lambda s: "modal" not in s, "the refusal closed")
            check(s["w"][name]["text"] == shown, "%s shows %r" % (name, s["w"][name]["text"]))
            check(s["block"][at:at + len(value)] == value, "%s bytes %r" % (name, s["block"][at:at + len(value)]))
        w.click("Button2")
        w.settle()
        cfg = w.config()
        check((ini_value(cfg, "byte[30 ]"), ini_value(cfg, "byte[31 ]"), ini_value(cfg, "byte[15 ]")) ==
              ("1", "44", "7"), "saved %r" % ((ini_value(cfg, "byte[30 ]"), ini_value(cfg, "byte[31 ]"),
                                               ini_value(cfg, "byte[15 ]")),))
    finally:
        w.close()


def case_open_asks_first(display, exe):
    """The open command offers unsaved edits for saving before its dialog."""
    w = Window(display, exe, param_file(ROWS))
    try:
        w.focus("CboxAuto15")
        w.key("ctrl+a")
        w.type("33")
        w.settle()
        w.click("btnopen")
        s = w.wait_modal("QMessageBox")
        check("Settings are not saved" in s["modal"], "asked %r" % s["modal"])
        press_button(w, s, "Yes")
        w.wait_modal("QFileDialog")
        check(ini_value(w.config(), "byte[15 ]") == "33", "the edit was not saved before the dialog")
        w.key("Escape")
        w.wait(lambda s: "modal" not in s, "the dialog closed")
    finally:
        w.close()


def case_two_windows_one_file(display, exe):
    """The second window's save does not silently write back over the first's."""
    a = Window(display, exe, param_file(ROWS))
    b = None
    try:
        b = Window(display, exe, share=a)
        a.activate()
        a.focus("CboxAuto15")
        a.key("ctrl+a")
        a.type("11")
        a.settle()
        a.click("Button2")
        a.wait(lambda s: not s["modified"], "the first window saved")
        b.activate()
        b.focus("edtAuto20")
        b.key("End")
        b.type("Z")
        b.settle()
        b.click("Button2")
        s = b.wait_modal("QMessageBox")
        check("changed by another program" in s["modal"], "asked %r" % s["modal"])
        check(default_button(s) == "No", "the default is %r" % default_button(s))
        b.key("Return")  # No: the other window's file stays
        s = b.wait(lambda s: "modal" not in s, "the question answered")
        cfg = a.config()
        check(ini_value(cfg, "byte[15 ]") == "11", "the first window's save was overwritten")
        check(ini_value(cfg, "byte[22 ]") == "0", "the second window wrote anyway")
        check(s["modified"], "the second window's edits count as saved")
    finally:
        a.close()
        if b is not None:
            b.close()


def case_save_as_replaces_only_when_told(display, exe):
    """Save As onto an existing file asks (No by default); Yes writes the window's table, ended."""
    old = b"[Aregb]\r\nAregb0=A=9.8\r\nAregb1=B=9.8\r\nAregb2=C=9.8\r\n[Mine]\r\nkeep=yes\r\n"
    w = Window(display, exe, param_file(ROWS, more="[Aregb]\r\nAregb0=North=9.8015\r\n"), {"copy.ini": old})
    try:
        target = os.path.join(w.dir, "copy.ini")
        for answer in ("Return", "Yes"):
            choose_in_dialog(w, "btsave", target)
            s = w.wait(lambda s: s.get("modal", "").startswith("QMessageBox:") and "already exists" in s["modal"],
                       "the replace question")
            check(default_button(s) == "No", "the default is %r" % default_button(s))
            if answer == "Return":
                w.key("Return")
                w.wait(lambda s: "modal" not in s, "the question answered")
                with open(target, "rb") as f:
                    check(f.read() == old, "No still wrote the file")
            else:
                press_button(w, s, "Yes")
                w.wait(lambda s: "modal" not in s and s["lastmsg"].endswith(target), "the file saved")
        with open(target, "rb") as f:
            data = f.read()
        check(ini_value(data, "Aregb0") == "North=9.8015" and ini_value(data, "Aregb1") == "",
              "the table was not ended: %r" % data[data.find(b"[Aregb]"):][:80])
        check(ini_value(data, "Aregb2") == "C=9.8" and ini_value(data, "keep") == "yes", "a key was lost")
    finally:
        w.close()


def sim_config(firmware=False):
    return (b"[Set]\r\nlngstr=_en\r\nIsEnabled=1\r\n[port]\r\nip=127.0.0.1\r\nuse com=0\r\n[factory]\r\n" +
            ("IsDownkDownProg=%d\r\nbinFilePath=image.hex\r\n" % (1 if firmware else 0)).encode() +
            param_file(ROWS).split(b"[factory]\r\n")[1])


def case_download_locks_the_rows(display, exe):
    """Keys typed into a row while the log-on waits reach neither the scale nor the record."""
    # The scale ignores the first three log-ons: the run waits there for
    # seconds, long enough for the keys below even on a loaded machine.
    sim = Sim(exe, "--ignore-first", "3", "--delay", "300")
    w = None
    try:
        w = Window(display, exe, sim_config(), env={"FACSET_SCALE_UDP_PORT": sim.port})
        before = w.dump()["block"]
        w.click("btnDownload")
        w.wait(lambda s: not s["w"]["btnDownload"]["enabled"], "the run started")
        w.click("CboxAuto15")
        w.key("ctrl+a")
        w.type("99")
        w.click("edtAuto20")
        w.type("Q")
        s = w.settle()
        check(not s["w"]["btnDownload"]["enabled"], "the run ended before the keys were handled")
        s = w.wait(lambda s: s["w"]["btnDownload"]["enabled"], "the run over", timeout=30)
        check(s["block"] == before, "the block changed during the run")
        with open(sim.param_out, "rb") as f:
            sent = f.read()
        check(sent == before, "the scale got another block")
        db = sqlite3.connect(os.path.join(w.dir, "facset-records.sqlite"))
        try:
            (recorded,) = db.execute("SELECT block FROM downloads").fetchone()
        finally:
            db.close()
        check(bytes(recorded) == sent, "the record holds another block than the scale got")
    finally:
        if w is not None:
            w.close()
        sim.close()


def case_space_twice_does_not_stop(display, exe):
    """Space twice on Download, then Alt+F4 and Enter: the stop question says No, the upgrade completes."""
    sim = Sim(exe, "--ignore-first", "2", "--delay", "2")  # the log-on alone takes over a second
    image = bytes((i * 5 + 1) & 0xFF for i in range(256 * 400))
    w = None
    try:
        w = Window(display, exe, sim_config(firmware=True), {"image.hex": image}, {"FACSET_SCALE_UDP_PORT": sim.port})
        w.focus("edtIP")
        for _ in range(40):  # Tab to the download button
            if w.settle()["focus"] == "btnDownload":
                break
            w.key("Tab")
        check(w.dump()["focus"] == "btnDownload", "Tab never reached Download")
        w.key("space")
        w.wait(lambda s: not s["w"]["btnDownload"]["enabled"], "the run started")
        w.key("space")
        s = w.settle()
        check(s["focus"] != "btnClose" and "modal" not in s, "the second Space reached %s" % s["focus"])
        w.key("alt+F4")
        s = w.wait_modal("QMessageBox")
        check("Stop it and close" in s["modal"], "asked %r" % s["modal"])
        check(default_button(s) == "No", "the default is %r" % default_button(s))
        w.key("Return")
        w.wait(lambda s: s["w"]["btnDownload"]["enabled"] and "modal" not in s, "the run over", timeout=60)
        check(w.proc.poll() is None, "the window closed")
        with open(sim.firmware_out, "rb") as f:
            got = f.read()
        check(got[32 * 256:len(image) - 2] == image[32 * 256:len(image) - 2], "the scale did not get the whole image")
        check(any(r["cmd"] == 15 and r["arg"] == 1 for r in sim.requests()), "no finish request")
    finally:
        if w is not None:
            w.close()
        sim.close()


TAB_ORDER = ["chkUseCom", "ChkDownProg", "edtFilePath", "Button1", "cbb1", "cbb2", "cbb3", "Cbb4", "Cbb6",
             "Cboxbdgb", "edtbdgb", "CboxTaggb", "edttaggb", "CboxAuto14", "CboxAuto15", "edtAuto20", "btnopen",
             "Button2", "btsave", "btnDispValue", "btnDownload", "btnClose", "btnHistory", "lstDispValue", "lstMsg",
             "edtIP"]


def case_keyboard_reaches_and_reads(display, exe):
    """Tab visits every control in order; the log cannot be edited and Tab leaves it; controls are named."""
    w = Window(display, exe, param_file(ROWS + GRAVITY_MANUAL + "\nTaggbIndex=1\nbyte[11 ]=1\nbyte[12 ]=126\n"
                                        "byte[13 ]=208"))
    try:
        w.focus("edtIP")
        seen = []
        for _ in TAB_ORDER:
            w.key("Tab")
            seen.append(w.settle()["focus"])
        check(seen == TAB_ORDER, "Tab visited %r" % seen)
        w.click("btnDispValue")
        s = w.settle()
        w.focus("lstMsg")
        w.key("ctrl+a", "BackSpace")
        w.type(" set ok ! ")
        w.key("Tab")
        s2 = w.settle()
        check(s2["log"] == s["log"], "the log was edited: %r" % s2["log"])
        check(s2["focus"] == "edtIP", "Tab in the log went to %s" % s2["focus"])
        for name, want in (("CboxAuto14", "Mode"), ("edtAuto20", "Text"), ("edtIP", "IP"), ("cbb1", "Screen type"),
                           ("Cboxbdgb", "target gravity")):
            check(s2["acc"].get(name) == want, "%s is named %r" % (name, s2["acc"].get(name)))
    finally:
        w.close()


def case_fits_the_screen(display, exe):
    """On screens smaller than the window its title bar and buttons stay on the screen."""
    for size, scale in (("1366x768", "1.5"), ("1920x1080", "2"), ("1024x600", "1")):
        d = Display(size)
        w = None
        try:
            w = Window(d, exe, param_file(ROWS), env={"QT_SCALE_FACTOR": scale})

            def on_screen(s):
                ax, ay, aw, ah = map(int, s["avail"].split())
                fx, fy, fw, fh = map(int, s["frame"].split())
                return ax <= fx and ay <= fy and fx + fw <= ax + aw and fy + fh <= ay + ah
            try:
                s = w.wait(on_screen, "the window within %s at scale %s" % (size, scale))
            except Failure as e:
                last = w.dump()
                raise Failure("%s (frame %s, free area %s)" % (e, last.get("frame"), last.get("avail")))
            ax, ay, aw, ah = map(int, s["avail"].split())
            for name in ("btnopen", "btnDownload", "btnClose", "lstMsg", "MyScrollBox1"):
                c = s["w"][name]
                check(c["visible"] and ax <= c["x"] and ay <= c["y"] and c["x"] + c["width"] <= ax + aw and
                      c["y"] + c["height"] <= ay + ah, "%s off the screen at %s x%s: %r" % (name, size, scale, c))
            # What the X server says: the frame (title bar included) inside the screen.
            geo = subprocess.run(["xwininfo", "-id", w.wid, "-frame"], env=w.xenv(), capture_output=True,
                                 text=True).stdout
            field = lambda name: int(geo.split(name + ":")[1].split()[0])
            x, y = field("Absolute upper-left X"), field("Absolute upper-left Y")
            width, height = (int(v) for v in size.split("x"))
            check(x >= 0 and y >= 0 and x + field("Width") <= width and y + field("Height") <= height,
                  "the frame at %d,%d size %dx%d on %s" % (x, y, field("Width"), field("Height"), size))
        finally:
            if w is not None:
                w.close()
            d.close()


CASES = [case_key_filters, case_two_choice_letters, case_escape_keeps_the_question, case_open_all_or_nothing,
         case_file_names_gbk_cannot_hold, case_stop_during_upgrade, case_close_by_the_window_manager,
         case_refused_numbers_restore, case_open_asks_first, case_two_windows_one_file,
         case_save_as_replaces_only_when_told, case_download_locks_the_rows, case_space_twice_does_not_stop,
         case_keyboard_reaches_and_reads, case_fits_the_screen]


def main(cases=None, doc=__doc__):
    """Runs `cases` (this file's by default), or those named on the command line."""
    if len(sys.argv) < 2:
        print(doc)
        return 2
    exe = os.path.abspath(sys.argv[1])
    wanted = sys.argv[2:]
    for tool in ("Xvfb", "xdotool", "setxkbmap", "openbox", "xprop", "xwininfo"):
        if shutil.which(tool) is None:
            print("missing %s: run scripts/install-deps" % tool)
            return 1
    display = Display()
    failed = 0
    try:
        for case in cases or CASES:
            if wanted and case.__name__ not in wanted:
                continue
            start = time.monotonic()
            try:
                case(display, exe)
                print("PASS %s (%.1f s)" % (case.__name__, time.monotonic() - start))
            except Failure as e:
                failed += 1
                print("FAIL %s: %s" % (case.__name__, e))
                if display.proc.poll() is not None:
                    print("  Xvfb %s ended with %s" % (display.name, display.proc.returncode))
            sys.stdout.flush()
    finally:
        display.close()
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
