#!/usr/bin/python3
"""An FTP server that behaves like a distant one, for the benchmarks: every command is
answered DELAY milliseconds late and every data connection is held to RATE bytes a second.

    distant_ftp_server.py --port PORT --passive LOW-HIGH --root DIR [--delay-ms 20]
                          [--rate 8000000] [--user tarsel --password tarsel]

One process per session (as scripts/pyftpdlib-server.py explains), so the delay of one
session's commands holds up no other session.
"""
import argparse
import time

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler, ThrottledDTPHandler
from pyftpdlib.servers import MultiprocessFTPServer


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--host", default="127.0.0.1")
    p.add_argument("--port", type=int, required=True)
    p.add_argument("--passive", required=True)
    p.add_argument("--root", required=True)
    p.add_argument("--user", default="tarsel")
    p.add_argument("--password", default="tarsel")
    p.add_argument("--delay-ms", type=float, default=20.0)
    p.add_argument("--rate", type=int, default=8_000_000, help="bytes per second per data connection; 0: no limit")
    a = p.parse_args()
    low, high = (int(x) for x in a.passive.split("-"))

    delay = a.delay_ms / 1000.0

    class DistantHandler(FTPHandler):
        def pre_process_command(self, line, cmd, arg):
            # The reply leaves one round trip later than on a local link.
            if delay > 0:
                time.sleep(delay)
            return FTPHandler.pre_process_command(self, line, cmd, arg)

    authorizer = DummyAuthorizer()
    authorizer.add_user(a.user, a.password, a.root, perm="elradfmwMT")
    DistantHandler.authorizer = authorizer
    DistantHandler.passive_ports = list(range(low, high + 1))
    DistantHandler.banner = "distant server ready"
    if a.rate > 0:
        dtp = ThrottledDTPHandler
        dtp.read_limit = a.rate
        dtp.write_limit = a.rate
        DistantHandler.dtp_handler = dtp
    server = MultiprocessFTPServer((a.host, a.port), DistantHandler)
    server.max_cons = 256
    server.max_cons_per_ip = 0
    server.serve_forever()


if __name__ == "__main__":
    main()
