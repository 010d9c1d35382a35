#!/usr/bin/env python3
"""tarsel-ftp at a terminal: the built program under a pseudo-terminal, against vsftpd.

What a user sees: the prompt, an error followed by the prompt again, completion, the
progress line, Ctrl-C during a transfer returning to the prompt, the hidden password
prompt, and Ctrl-D ending the session.

    tarsel_ftp_terminal_test.py PATH-OF-tarsel-ftp

Needs the servers of scripts/ftp-servers.sh (their exports in the environment); exits 77,
which ctest reports as skipped, when vsftpd is not running.
"""
import os
import pty
import re
import select
import shutil
import signal
import socket
import sys
import tempfile
import threading
import time
import unittest

PROGRAM = None
SKIP = 77


def server():
    port = os.environ.get("TARSEL_VSFTPD_PORT")
    root = os.environ.get("TARSEL_VSFTPD_ROOT")
    if not port or not root:
        return None
    return {"host": os.environ.get("TARSEL_VSFTPD_HOST", "127.0.0.1"), "port": port, "root": root}


class Terminal:
    """The program on the slave side of a pseudo-terminal; the test types on the master."""

    def __init__(self, args, home, cwd):
        env = dict(os.environ, HOME=home, TERM="xterm", COLUMNS="100", LINES="30")
        self.pid, self.fd = pty.fork()
        if self.pid == 0:
            try:
                os.chdir(cwd)
                os.execve(PROGRAM, [PROGRAM] + args, env)
            finally:
                os._exit(127)
        self.seen = b""
        self.status = None

    def read_until(self, pattern, timeout=10):
        """Output up to and including the first match of `pattern` (bytes regex)."""
        deadline = time.time() + timeout
        while True:
            match = re.search(pattern, self.seen, re.S)
            if match:
                out = self.seen[: match.end()]
                self.seen = self.seen[match.end():]
                return out
            left = deadline - time.time()
            if left <= 0:
                raise AssertionError("no %r in %r" % (pattern, self.seen[-2000:]))
            ready, _, _ = select.select([self.fd], [], [], left)
            if ready:
                try:
                    chunk = os.read(self.fd, 65536)
                except OSError:
                    chunk = b""
                if not chunk:
                    raise AssertionError("program ended; no %r in %r" % (pattern, self.seen[-2000:]))
                self.seen += chunk

    def prompt(self, timeout=10):
        # "tarsel> ", or with the remote directory "tarsel:/upload> ".
        return self.read_until(rb"tarsel(:[^\r\n]*)?> ", timeout)

    def type(self, text):
        os.write(self.fd, text.encode() if isinstance(text, str) else text)

    def wait(self, timeout=10):
        deadline = time.time() + timeout
        while time.time() < deadline:
            try:
                ready, _, _ = select.select([self.fd], [], [], 0.1)
                if ready:
                    self.seen += os.read(self.fd, 65536)
            except OSError:
                pass
            pid, status = os.waitpid(self.pid, os.WNOHANG)
            if pid:
                self.status = os.waitstatus_to_exitcode(status)
                return self.status
        raise AssertionError("the program did not end: %r" % self.seen[-2000:])

    def close(self):
        if self.status is None:
            try:
                os.kill(self.pid, signal.SIGKILL)
                os.waitpid(self.pid, 0)
            except OSError:
                pass
        os.close(self.fd)


class HeldListingServer:
    """A scripted FTP server on loopback whose LIST reply waits for `release`: the test then
    decides when the program learns that the listing (of the names Tab completes) ended."""

    def __init__(self):
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.port = self.listener.getsockname()[1]
        self.listed = threading.Event()
        self.release = threading.Event()
        self.thread = threading.Thread(target=self.serve, daemon=True)
        self.thread.start()

    def serve(self):
        conn, _ = self.listener.accept()
        with conn, conn.makefile("rb") as lines:
            conn.sendall(b"220 ready\r\n")
            data = None
            for raw in lines:
                verb = raw.decode("latin-1").strip().split(" ")[0].upper()
                if verb == "USER":
                    conn.sendall(b"331 password\r\n")
                elif verb == "PASS":
                    conn.sendall(b"230 in\r\n")
                elif verb == "PWD":
                    conn.sendall(b'257 "/" is the current directory\r\n')
                elif verb == "TYPE":
                    conn.sendall(b"200 ok\r\n")
                elif verb == "PASV":
                    data = socket.create_server(("127.0.0.1", 0))
                    port = data.getsockname()[1]
                    conn.sendall(b"227 passive (127,0,0,1,%d,%d)\r\n" % (port >> 8, port & 255))
                elif verb == "LIST" and data is not None:
                    peer, _ = data.accept()
                    conn.sendall(b"150 here\r\n")
                    peer.sendall(b"-rw-r--r-- 1 u g 1 Jan 01 2020 one.txt\r\n")
                    peer.close()
                    data.close()
                    data = None
                    self.listed.set()
                    self.release.wait(20)
                    conn.sendall(b"226 done\r\n")
                elif verb == "QUIT":
                    conn.sendall(b"221 bye\r\n")
                    return
                else:
                    conn.sendall(b"502 no\r\n")

    def close(self):
        self.release.set()
        self.listener.close()


class TerminalSession(unittest.TestCase):
    def setUp(self):
        self.server = server()
        self.home = tempfile.mkdtemp(prefix="tarsel-ftp-home-")
        self.work = tempfile.mkdtemp(prefix="tarsel-ftp-work-")
        self.terminals = []

    def tearDown(self):
        for t in self.terminals:
            t.close()
        shutil.rmtree(self.home, ignore_errors=True)
        shutil.rmtree(self.work, ignore_errors=True)

    def start(self, *extra):
        args = ["--port", self.server["port"]] + list(extra) + [self.server["host"]]
        t = Terminal(args, self.home, self.work)
        self.terminals.append(t)
        return t

    def fixture(self, name, size):
        path = os.path.join(self.server["root"], "tarsel-terminal-" + str(os.getpid()) + "-" + name)
        with open(path, "wb") as f:
            # Sparse: the server reads zeros without the disk being written.
            f.truncate(size)
        os.chmod(path, 0o644)
        self.addCleanup(os.unlink, path)
        return os.path.basename(path)

    def test_prompt_error_prompt_again_help_and_completion(self):
        t = self.start()
        self.assertIn(b"230 Login successful.", t.prompt())
        t.type("pwd\r")
        self.assertIn(b'"/" is the current directory', t.prompt())
        t.type("cd no-such-directory\r")
        out = t.prompt()
        self.assertIn(b"tarsel-ftp: server 550: cd no-such-directory: ", out)
        t.type("frobnicate\r")
        self.assertIn(b"unknown command (help lists them)", t.prompt())
        # Tab completes a command name; help then explains that command.
        t.type("help mir\t")
        t.read_until(rb"mirror ")
        t.type("\r")
        self.assertIn(b"usage: mirror", t.prompt())
        t.type("\x04")
        self.assertEqual(t.wait(), 0, "as lftp: the status of the last command, help")

    def test_prompt_shows_the_remote_directory_and_tab_completes_remote_names(self):
        base = "tarsel-complete-%d" % os.getpid()
        tree = os.path.join(self.server["root"], base)
        os.makedirs(os.path.join(tree, "subdir-only"))
        with open(os.path.join(tree, "unique-file.txt"), "w") as f:
            f.write("x")
        with open(os.path.join(tree, "subdir-only", "deep-file.txt"), "w") as f:
            f.write("y")
        self.addCleanup(shutil.rmtree, tree, True)
        t = self.start()
        self.assertIn(b"tarsel:/> ", t.prompt())
        t.type("cd %s\r" % base)
        self.assertIn(("tarsel:/%s> " % base).encode(), t.prompt())
        # The directory is listed while the prompt waits; Tab then answers from that.
        time.sleep(1)
        t.type("get uni\t")
        t.read_until(rb"unique-file\.txt ")
        t.type("\x15")  # Ctrl-U: the line is dropped
        # After a '/': the first Tab has that directory listed, the next one completes.
        t.type("get subdir-only/dee\t")
        time.sleep(1)
        t.type("\t")
        t.read_until(rb"subdir-only/dee(\x07)?p-file\.txt ")
        t.type("\x15")
        t.type("cd sub\t")
        t.read_until(rb"subdir-only/")
        t.type("\r")
        self.assertIn(("tarsel:/%s/subdir-only> " % base).encode(), t.prompt())
        t.type("quit\r")
        self.assertEqual(t.wait(), 0)

    def test_progress_line_then_a_summary_line(self):
        name = self.fixture("progress.bin", 256 * 1024 * 1024)
        t = self.start("--progress")
        t.prompt()
        t.type("get %s /dev/null\r" % name)
        out = t.prompt(timeout=60)
        self.assertRegex(out, rb"\r[^\r\n]*" + re.escape(name.encode()) + rb"[^\r\n]*100%")
        self.assertRegex(out, rb"226 Transfer complete: 268435456 bytes in [0-9.]+ s \(")
        t.type("quit\r")
        self.assertEqual(t.wait(), 0)

    def test_ctrl_c_aborts_the_transfer_and_returns_to_the_prompt(self):
        name = self.fixture("endless.bin", 64 * 1024 * 1024 * 1024)
        t = self.start()
        t.prompt()
        t.type("get %s /dev/null\r" % name)
        t.read_until(rb"[0-9] [KMG]iB/s")  # the meter shows the transfer under way
        t.type("\x03")
        out = t.prompt(timeout=20)
        self.assertIn(b"tarsel-ftp: local: get " + name.encode() + b": aborted", out)
        # The session goes on: the next command runs on the same connection.
        t.type("pwd\r")
        self.assertIn(b'"/" is the current directory', t.prompt())
        t.type("get %s /dev/null\r" % name)
        t.read_until(rb"[0-9] [KMG]iB/s")
        t.type("\x03")
        t.prompt(timeout=20)
        t.type("bye\r")
        self.assertEqual(t.wait(), 1, "the aborted transfer, the last command, counts as a failure")

    def test_ctrl_c_at_the_prompt_drops_the_line(self):
        t = self.start()
        t.prompt()
        t.type("cd half-typed")
        t.read_until(rb"half-typed")
        t.type("\x03")
        t.prompt()
        t.type("pwd\r")
        out = t.prompt()
        self.assertNotIn(b"half-typed", out)
        self.assertIn(b'"/" is the current directory', out)
        t.type("quit\r")
        self.assertEqual(t.wait(), 0)

    def test_a_line_ended_as_the_names_listing_ends_prints_before_the_next_prompt(self):
        # The end of the listing and the line's Enter reach the program in one turn of its
        # loop (it is stopped while both arrive): the prompt the listing's end asked for must
        # not be drawn while the typed command runs, before its output.
        fake = HeldListingServer()
        self.addCleanup(fake.close)
        # One connection, and only the listing of names for Tab: no AUTH TLS attempt (which
        # would cost a second connection) and no listing to judge the code of names.
        t = Terminal(["--port", str(fake.port), "--tls", "off", "--syscode", "UTF8", "127.0.0.1", "u", "p"],
                     self.home, self.work)
        self.terminals.append(t)
        t.prompt()
        self.assertTrue(fake.listed.wait(10))
        t.type("pwd")
        t.read_until(rb"pwd")
        os.kill(t.pid, signal.SIGSTOP)
        os.waitpid(t.pid, os.WUNTRACED)
        fake.release.set()
        time.sleep(0.3)
        t.type("\r")
        time.sleep(0.3)
        os.kill(t.pid, signal.SIGCONT)
        out = t.prompt()
        self.assertIn(b'"/" is the current directory', out)
        # An empty line, twice, brings the prompt back each time.
        t.type("\r")
        t.prompt()
        t.type("  \r")
        t.prompt()
        t.type("quit\r")
        self.assertEqual(t.wait(), 0)

    def test_password_prompt_hides_what_is_typed(self):
        # vsftpd knows only the anonymous user: any password is asked for, then refused.
        t = Terminal(["--port", self.server["port"], self.server["host"], "someone"], self.home, self.work)
        self.terminals.append(t)
        t.read_until(rb"Password for someone@" + re.escape(self.server["host"].encode()) + rb": ")
        t.type("secret-word\r")
        out = t.prompt()
        self.assertNotIn(b"secret-word", out)
        self.assertIn(b"tarsel-ftp: server 530: Connect: ", out)
        t.type("quit\r")
        t.wait()
        self.assertNotIn(b"secret-word", t.seen)
        with open(os.path.join(self.home, ".tarsel_ftp_history"), "rb") as f:
            self.assertNotIn(b"secret-word", f.read())

    def test_local_commands_and_open_close(self):
        t = Terminal([], self.home, self.work)
        self.terminals.append(t)
        t.prompt()
        t.type("pwd\r")
        self.assertIn(b"tarsel-ftp: local: pwd: not connected (open HOST connects)", t.prompt())
        t.type("open ftp://%s:%s/upload/\r" % (self.server["host"], self.server["port"]))
        self.assertIn(b"230 Login successful.", t.prompt())
        t.type("pwd\r")
        self.assertIn(b'"/upload" is the current directory', t.prompt())
        t.type("!echo made-by-the-shell > shell.txt\r")
        t.prompt()
        with open(os.path.join(self.work, "shell.txt")) as f:
            self.assertEqual(f.read(), "made-by-the-shell\n")
        t.type("lpwd\r")
        self.assertIn(os.path.realpath(self.work).encode(), t.prompt())
        t.type("close\r")
        self.assertIn(b"221 Goodbye.", t.prompt())
        t.type("cd no-such-directory\r")
        t.prompt()
        t.type("quit\r")
        self.assertEqual(t.wait(), 1, "the last command before quit failed (the first pwd no longer counts)")


if __name__ == "__main__":
    if len(sys.argv) < 2:
        sys.exit("usage: tarsel_ftp_terminal_test.py PATH-OF-tarsel-ftp")
    PROGRAM = os.path.abspath(sys.argv.pop(1))
    if server() is None:
        print("vsftpd is not running (scripts/ftp-servers.sh): skipped")
        sys.exit(SKIP)
    result = unittest.main(exit=False, verbosity=2).result
    sys.exit(0 if result.wasSuccessful() else 1)
