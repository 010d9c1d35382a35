#!/usr/bin/python3
"""pyftpdlib for the interop tests: one user with full write access, one session per process.

    pyftpdlib-server.py --port PORT --passive LOW-HIGH --root DIR --user USER --password PASS
                        [--host 127.0.0.1] [--model process|thread|single] [--debug]
                        [--port-file FILE] [--names-as-bytes]

--port 0 takes any free port (written to --port-file once listening; --passive may then be
left out too). --names-as-bytes makes a server of the kind that keeps names in a legacy code
such as Shift_JIS: names go out as the bytes on disk and come in as the bytes sent, and FEAT
does not say UTF8.

Why not `python3 -m pyftpdlib`: that runs every session on one shared epoll loop, and
pyftpdlib 1.5.7 keeps the ActiveDTP of a PORT transfer after handing its socket to the data
channel. When that session later closes (or sends its next PORT or PASV), the stale ActiveDTP
is closed and unregisters its old file descriptor number from the shared loop. By then the
number has often been reused by a socket of another session, typically the control connection
a parallel test has just opened, which the loop then never polls again: that client hangs
after USER with its command unread in the server's receive queue (measured with `ss -tni`:
13 bytes "USER tarsel" queued on the server's side) while the server serves everyone else.
With a process per session (`--model process`, the default) or a loop per thread
(`--model thread`), a stale descriptor number can only reach its own session's loop, where
nothing else holds it. `--model single` keeps the shared loop, to reproduce the stall.
"""
import argparse
import logging
import sys

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.log import config_logging
from pyftpdlib.servers import FTPServer, MultiprocessFTPServer, ThreadedFTPServer

SERVER_CLASSES = {
    "process": MultiprocessFTPServer,
    "thread": ThreadedFTPServer,
    "single": FTPServer,
}


def passive_range(text):
    low, sep, high = text.partition("-")
    if not sep or not low.isdigit() or not high.isdigit() or int(low) > int(high):
        raise argparse.ArgumentTypeError("expected LOW-HIGH, not %r" % text)
    return list(range(int(low), int(high) + 1))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--passive", type=passive_range, metavar="LOW-HIGH")
    parser.add_argument("--port-file")
    parser.add_argument("--names-as-bytes", action="store_true")
    parser.add_argument("--root", required=True)
    parser.add_argument("--user", required=True)
    parser.add_argument("--password", required=True)
    parser.add_argument("--model", choices=sorted(SERVER_CLASSES), default="process")
    parser.add_argument("--debug", action="store_true", help="log every command and reply")
    args = parser.parse_args()

    config_logging(level=logging.DEBUG if args.debug else logging.INFO)
    authorizer = DummyAuthorizer()
    # The permissions `python3 -m pyftpdlib -w` gives: list, read, write, rename, delete,
    # make directories, append, change modes and times.
    authorizer.add_user(args.user, args.password, args.root, perm="elradfmwMT")

    class Handler(FTPHandler):
        if args.names_as_bytes:
            # Names on disk reach Python with their undecodable bytes as surrogates; this
            # error handler writes them back as the same bytes, and reads sent bytes the same way.
            unicode_errors = "surrogateescape"

            def ftp_FEAT(self, line):
                real_push = self.push

                def push(data):
                    real_push(data.replace(" UTF8\r\n", ""))

                self.push = push
                try:
                    FTPHandler.ftp_FEAT(self, line)
                finally:
                    self.push = real_push

    Handler.authorizer = authorizer
    if args.passive:
        Handler.passive_ports = args.passive
    server = SERVER_CLASSES[args.model]((args.host, args.port), Handler)
    if args.port_file:
        with open(args.port_file + ".tmp", "w") as f:
            f.write("%d\n" % server.socket.getsockname()[1])
        import os
        os.rename(args.port_file + ".tmp", args.port_file)
    server.serve_forever()
    return 0


if __name__ == "__main__":
    sys.exit(main())
