#!/usr/bin/env python3
"""ktreporter.exe end to end under Wine, as a person uses it: the real Win32 dialog on a private
virtual X display, typed into and submitted with xdotool, posting to the Linux ktfeedback-server
(or, where the bytes themselves are checked or a request must hang, to a loopback socket of this
script). Run by ctest in the Windows build; every path comes on the command line."""

import argparse
import json
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest

ARGS = None
SCREEN = (1280, 800)
GUARD_S = 60  # only keeps a broken build from hanging; never a bound under test


def poll(fn, seconds=GUARD_S):
    """Polls until fn() is truthy; its last value."""
    deadline = time.monotonic() + seconds
    while True:
        value = fn()
        if value or time.monotonic() > deadline:
            return value
        time.sleep(0.05)


def slurp(path, mode="rb"):
    try:
        with open(path, mode) as f:
            return f.read()
    except OSError:
        return b"" if "b" in mode else ""


def jpeg_size(data):
    """(width, height) from a JPEG's start-of-frame marker; (0, 0) when there is none."""
    if data[:2] != b"\xff\xd8":
        return (0, 0)
    i = 2
    while i + 9 < len(data) and data[i] == 0xFF:
        if 0xC0 <= data[i + 1] <= 0xC2:
            return (int.from_bytes(data[i + 7:i + 9], "big"), int.from_bytes(data[i + 5:i + 7], "big"))
        i += 2 + int.from_bytes(data[i + 2:i + 4], "big")
    return (0, 0)


class LoopbackReceiver:
    """A raw HTTP receiver on 127.0.0.1: records each request's head and body exactly as sent;
    answers with `reply`, or never when `reply` is None (a stalled server)."""

    def __init__(self, reply):
        self.reply = reply
        self.requests = []
        self.closed_by_client = threading.Event()
        self.sock = socket.socket()
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(4)
        self.port = self.sock.getsockname()[1]
        self.conns = []
        threading.Thread(target=self._serve, daemon=True).start()

    def _serve(self):
        while True:
            try:
                conn, _ = self.sock.accept()
            except OSError:
                return
            self.conns.append(conn)
            threading.Thread(target=self._handle, args=(conn,), daemon=True).start()

    def _handle(self, conn):
        data = b""
        while b"\r\n\r\n" not in data:
            chunk = conn.recv(65536)
            if not chunk:
                return
            data += chunk
        head, body = data.split(b"\r\n\r\n", 1)
        lines = head.decode("latin-1").split("\r\n")
        headers = {k.strip().lower(): v.strip() for k, v in (l.split(":", 1) for l in lines[1:])}
        if headers.get("expect", "").lower() == "100-continue":
            conn.sendall(b"HTTP/1.1 100 Continue\r\n\r\n")
        length = int(headers.get("content-length", "0"))
        while len(body) < length:
            chunk = conn.recv(65536)
            if not chunk:
                break
            body += chunk
        self.requests.append({"line": lines[0], "headers": lines[1:], "body": body})
        if self.reply is None:
            # Hold the request until the client gives up on it.
            while conn.recv(65536):
                pass
            self.closed_by_client.set()
            return
        conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: %d\r\n"
                     b"Connection: close\r\n\r\n%s" % (len(self.reply), self.reply))
        conn.close()

    def stop(self):
        self.sock.close()
        for conn in self.conns:
            conn.close()


class WineEndToEnd(unittest.TestCase):
    """The tests share one private display and one Wine session of their own (the prefix is this
    test's alone): Wine's desktop process takes the display and the screen's size of the session's
    first program, and a desktop left on a display that has gone shows nothing."""
    runs = 0

    @classmethod
    def setUpClass(cls):
        # Xvfb picks a free display itself and names it on the descriptor. -noreset: else it
        # resets when its last client (an xdotool poll) leaves, and a window opening then is lost.
        rfd, wfd = os.pipe()
        cls.xvfb = subprocess.Popen(
            [ARGS.xvfb, "-displayfd", str(wfd), "-screen", "0", "%dx%dx24" % SCREEN,
             "-nolisten", "tcp", "-noreset"], pass_fds=(wfd,),
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(wfd)
        with os.fdopen(rfd) as f:
            cls.display = ":" + f.readline().strip()
        # LC_ALL: the Chinese arguments reach the Windows program through the locale's charset.
        cls.env = dict(os.environ, DISPLAY=cls.display, KT_WINEPREFIX=ARGS.wineprefix,
                       WINEPREFIX=ARGS.wineprefix, LC_ALL="C.UTF-8", KTREPORTER_CODEPAGE="GBK",
                       KTREPORTER_TRACE="1", NO_PROXY="127.0.0.1,localhost",
                       no_proxy="127.0.0.1,localhost")
        # A session of an earlier run, still ending, would keep that run's desktop.
        if shutil.which("wineserver") and os.path.isdir(ARGS.wineprefix):
            subprocess.run(["wineserver", "-w"], env=cls.env, timeout=GUARD_S)
        # The profile of an earlier run would move the focus off the name field: every profile
        # goes once, and each test's program has a name (and so a profile) of its own.
        subprocess.run([ARGS.wine_run, "reg", "delete", r"HKCU\Software\KTReporter Software",
                        "/f"], env=cls.env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=GUARD_S * 3)

    @classmethod
    def tearDownClass(cls):
        cls.xvfb.kill()
        cls.xvfb.wait()

    def setUp(self):
        self.assertNotEqual(":", self.display)
        WineEndToEnd.runs += 1
        self.name = "ktreporter%d" % WineEndToEnd.runs
        self.root = tempfile.mkdtemp(prefix="kte2e-wine-")
        self.client = os.path.join(self.root, "client")
        os.makedirs(os.path.join(self.client, "etc"))
        shutil.copy(ARGS.reporter, os.path.join(self.client, self.name + ".exe"))
        self.procs = []

    def tearDown(self):
        for proc in self.procs:
            if proc.poll() is None:
                proc.kill()
                proc.wait()
        if not os.environ.get("KT_KEEP_E2E"):
            shutil.rmtree(self.root, ignore_errors=True)

    # -- helpers -----------------------------------------------------------------------------
    def wine(self, *args):
        """Runs a Windows program of the prefix (reg, ...) to its end; its output as text."""
        out = subprocess.run([ARGS.wine_run] + list(args), env=self.env, cwd=self.root,
                             stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, timeout=GUARD_S)
        return out.stdout.decode("utf-8", "replace")

    def write_urls(self, port):
        with open(os.path.join(self.client, "etc", "urlserver.xml"), "w", encoding="gbk") as f:
            f.write('<?xml version="1.0" encoding="GBK"?>\n<root>\n  <url id="24" '
                    'path="http://127.0.0.1:%d/feedback"/>\n</root>\n' % port)

    def start_receiver(self):
        store = os.path.join(self.root, "store")
        out = os.path.join(self.root, "receiver.out")
        with open(out, "wb") as f:
            self.procs.append(subprocess.Popen(
                [ARGS.server, "--listen", "127.0.0.1:0", "--dir", store],
                env=dict(os.environ, KTREPORTER_CODEPAGE="GBK"), stdout=f,
                stderr=subprocess.DEVNULL))
        first = poll(lambda: "\n" in slurp(out, "r") and slurp(out, "r"))
        prefix = "listening on http://127.0.0.1:"
        self.assertTrue(first and first.startswith(prefix), first)
        self.write_urls(int(first[len(prefix):].split("/")[0].strip()))
        return store

    def start_reporter(self, *args):
        with open(os.path.join(self.root, "reporter.err"), "wb") as err:
            proc = subprocess.Popen([ARGS.wine_run, os.path.join(self.client, self.name + ".exe")]
                                    + list(args), env=self.env, cwd=self.root,
                                    stdout=subprocess.DEVNULL, stderr=err)
        self.procs.append(proc)
        return proc

    def trace(self):
        return slurp(os.path.join(self.root, "reporter.err")).decode("utf-8", "replace")

    def xdo(self, *args):
        out = subprocess.run([ARGS.xdotool] + list(args), env=self.env, stdout=subprocess.PIPE,
                             stderr=subprocess.DEVNULL, timeout=GUARD_S)
        return out.stdout.decode().strip() if out.returncode == 0 else ""

    def window(self, title):
        """The first visible window with exactly this title."""
        found = poll(lambda: self.xdo("search", "--onlyvisible", "--name", "^%s$" % title))
        self.assertTrue(found, "no window %r; trace:\n%s" % (title, self.trace()))
        return found.split()[0]

    def press(self, window, *keys):
        self.xdo("windowfocus", "--sync", window)
        self.xdo("key", *keys)

    def type_contact(self, dialog, name, email):
        """The name field has the focus (no stored profile): name, Tab, e-mail."""
        self.xdo("windowfocus", "--sync", dialog)
        self.xdo("type", "--delay", "30", name)
        self.xdo("key", "Tab")
        self.xdo("type", "--delay", "30", email)

    def wait_exit(self, proc):
        try:
            return proc.wait(GUARD_S)
        except subprocess.TimeoutExpired:
            return None

    # -- tests -------------------------------------------------------------------------------
    def test_a_report_typed_into_the_window_reaches_the_receiver(self):
        store = self.start_receiver()
        proc = self.start_reporter("-T", "0", "-U", "u-1001")
        dialog = self.window("问题反馈")
        self.type_contact(dialog, "Zhang San", "zhang.san@example.com")
        # Then Tab on as a person would, replacing the prefilled title and description, and
        # submit with the button's mnemonic (递交(&S)).
        for step in (["key", "Tab"], ["type", "--delay", "30", "010-1234"], ["key", "Tab", "ctrl+a"],
                     ["type", "--delay", "30", "Cannot log in"], ["key", "Tab", "ctrl+a"],
                     ["type", "--delay", "30", "Step one"], ["key", "Return"],
                     ["type", "--delay", "30", "Step two"], ["key", "alt+s"]):
            self.xdo(*step)
        self.press(self.window("服务器返回信息"), "Return")
        self.assertEqual(0, self.wait_exit(proc), self.trace())
        self.assertIn("MessageBox [服务器返回信息] 反馈已收到，编号 000001", self.trace())

        report = json.loads(slurp(os.path.join(store, "000001", "report.json")))
        self.assertEqual({"DATA_FROM": "client", "PAGE_TYPE": "0", "USER_ID_YY_RDQ012": "u-1001",
                          "F001V_YY_RDQ012": "Zhang San",
                          "F002V_YY_RDQ012": "zhang.san@example.com",
                          "F003V_YY_RDQ012": "010-1234", "F005V_YY_RDQ013": "Cannot log in",
                          "F007C_YY_RDQ013": "Step one\r\nStep two"}, report["fields"])
        self.assertEqual(1, len(report["attachments"]))
        att = report["attachments"][0]
        self.assertIn("\\client\\tmp\\\\ScreenShoot", att["filename"])
        # -T 0: a JPEG of the whole screen.
        self.assertEqual(SCREEN, jpeg_size(slurp(os.path.join(store, "000001", att["storedAs"]))))
        # The picture kept in tmp is for its owner: Wine maps its DACL to no access for others.
        shots = os.listdir(os.path.join(self.client, "tmp"))
        self.assertEqual(1, len(shots))
        self.assertEqual(0, os.stat(os.path.join(self.client, "tmp", shots[0])).st_mode & 0o007)
        # The contact values are remembered in the registry for the next report.
        profile = self.wine("reg", "query",
                            r"HKCU\Software\KTReporter Software\%s\FEEDBACK_INFO" % self.name)
        for entry, value in (("FEEDBACK_NAME", "Zhang San"),
                             ("FEEDBACK_EMAIL", "zhang.san@example.com"),
                             ("FEEDBACK_PHONE", "010-1234")):
            self.assertRegex(profile, r"%s\s+REG_SZ\s+%s\r?\n" % (entry, value))

    def test_the_form_body_is_the_one_kt_inspect_prints(self):
        receiver = LoopbackReceiver(b"ok\n")
        self.addCleanup(receiver.stop)
        self.write_urls(receiver.port)
        # A relative path: the same file for the Windows program and the Linux inspector.
        with open(os.path.join(self.root, "a.rar"), "wb") as f:
            f.write(b"Rar!\x1a\x07\x00\r\n\xff")
        proc = self.start_reporter("-T", "1", "-P", "a.rar", "-U", "用户7")
        dialog = self.window("问题反馈")
        self.type_contact(dialog, "Li Si", "li.si@example.com")
        self.xdo("key", "alt+s")
        self.press(self.window("服务器返回信息"), "Return")
        self.assertEqual(0, self.wait_exit(proc), self.trace())

        self.assertEqual(1, len(receiver.requests))
        request = receiver.requests[0]
        self.assertIn("Content-Type: multipart/form-data; "
                      "boundary=---------------------------7d92de3351722", request["headers"])
        expected = subprocess.run(
            [ARGS.inspect, "form", "--type", "1", "--user", "用户7", "--name", "Li Si",
             "--email", "li.si@example.com", "--title", "测试下问题", "--desc",
             "问题描述,与大局无关", "--attach", "a.rar"],
            env=dict(os.environ, KTREPORTER_CODEPAGE="GBK"), cwd=self.root,
            stdout=subprocess.PIPE, check=True).stdout
        self.assertEqual(expected, request["body"])

    def test_escape_during_a_stalled_request_exits_at_once(self):
        receiver = LoopbackReceiver(None)
        self.addCleanup(receiver.stop)
        self.write_urls(receiver.port)
        proc = self.start_reporter()
        dialog = self.window("问题反馈")
        self.type_contact(dialog, "Wang Wu", "wang.wu@example.com")
        self.xdo("key", "alt+s")
        self.assertTrue(poll(lambda: receiver.requests), self.trace())
        # The request would run for its 120 s; leaving stops it instead of waiting for it.
        self.press(dialog, "Escape")
        self.assertEqual(0, self.wait_exit(proc), self.trace())
        self.assertTrue(receiver.closed_by_client.wait(GUARD_S))
        self.assertNotIn("MessageBox", self.trace())

    def test_a_missing_url_table_gives_the_engines_message_box(self):
        proc = self.start_reporter("-T", "1")
        dialog = self.window("问题反馈")
        self.type_contact(dialog, "Zhao Liu", "zhao.liu@example.com")
        self.xdo("key", "alt+s")
        # The application's message box: its caption is the executable's name.
        self.press(self.window(self.name), "Return")
        self.assertIn("MessageBox [%s] HTTP请求参数错误!" % self.name, self.trace())
        # The dialog is idle again and still there; Escape ends it.
        self.assertIsNone(proc.poll())
        self.press(dialog, "Escape")
        self.assertEqual(0, self.wait_exit(proc), self.trace())


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    for name in ("reporter", "server", "inspect", "wine-run", "wineprefix", "xvfb", "xdotool"):
        parser.add_argument("--" + name, required=True)
    ARGS, rest = parser.parse_known_args()
    for name in ("reporter", "server", "inspect", "wine_run", "xvfb", "xdotool"):
        if not os.access(getattr(ARGS, name), os.X_OK):
            sys.exit("test_e2e_wine: %s is not there: %s (the receiver and kt-inspect come from "
                     "a Linux build of this tree, KT_HOST_BUILD)" % (name, getattr(ARGS, name)))
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
