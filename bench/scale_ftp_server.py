#!/usr/bin/python3
"""pyftpdlib for the scale benchmark: one process, one loop, thousands of anonymous sessions.

    scale_ftp_server.py --port PORT --root DIR [--host 127.0.0.1] [--max-cons N]

pyftpdlib's default limit of 512 connections is raised (--max-cons, default 20000), and so is
the listen queue; the open-file limit is raised as far as the hard limit allows. Anonymous
users may read only. Passive ports are any free ones the kernel gives, so thousands of
downloads at once do not run out of a small range. Only warnings are logged: a line per
login would cost more than the login.
"""
import argparse
import logging
import resource
import sys

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.log import config_logging
from pyftpdlib.servers import FTPServer


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--root", required=True)
    parser.add_argument("--max-cons", type=int, default=20000)
    args = parser.parse_args()

    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    config_logging(level=logging.WARNING)
    authorizer = DummyAuthorizer()
    authorizer.add_anonymous(args.root)

    class Handler(FTPHandler):
        pass

    Handler.authorizer = authorizer
    Handler.banner = "scale benchmark ready"
    server = FTPServer((args.host, args.port), Handler, backlog=4096)
    server.max_cons = args.max_cons
    server.max_cons_per_ip = 0
    server.serve_forever()
    return 0


if __name__ == "__main__":
    sys.exit(main())
