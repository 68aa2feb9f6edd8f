#!/usr/bin/python3
"""A throwaway pyftpdlib FTP server for the tests (tests/support/ftp_daemons.cpp).

Serves one directory on one loopback address and port, to one user with full
rights (and optionally to "anonymous" with the same rights), with passive
ports in a given range and no address masquerading. With --certfile it
requires TLS (AUTH TLS) for logins and data connections. Logs to a file.
Runs in the foreground until it is terminated.
"""

import argparse
import logging
import os
import sys

try:
    from pyftpdlib.authorizers import DummyAuthorizer
    from pyftpdlib.handlers import FTPHandler
    from pyftpdlib.servers import FTPServer
except ImportError:
    # The fixture looks for this sentence to report the module as missing.
    print("pyftpdlib is not installed", file=sys.stderr)
    sys.exit(3)

# List, change dir, read, append, delete, rename, mkdir, store, chmod, mtime.
FULL_RIGHTS = "elradfmwMT"
READ_ONLY_RIGHTS = "elr"


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--host", required=True)
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--dir", required=True, help="the users' root directory")
    parser.add_argument("--user", required=True)
    parser.add_argument("--password", required=True)
    parser.add_argument("--anonymous", action="store_true")
    parser.add_argument("--read-only-dir", default="",
                        help="a directory below --dir where nobody may write")
    parser.add_argument("--passive-ports", default="40000-59999")
    parser.add_argument("--log", required=True)
    parser.add_argument("--certfile", default="",
                        help="PEM certificate: require TLS with it")
    parser.add_argument("--keyfile", default="")
    parser.add_argument("--max-per-ip", type=int, default=0,
                        help="sessions allowed from one address (0: any)")
    parser.add_argument("--drop-at-stor", type=int, default=0,
                        help="close the control connection that sends the Nth STOR, once")
    args = parser.parse_args()

    logging.basicConfig(filename=args.log, level=logging.DEBUG,
                        format="%(asctime)s %(message)s")

    authorizer = DummyAuthorizer()
    authorizer.add_user(args.user, args.password, args.dir, perm=FULL_RIGHTS)
    users = [args.user]
    if args.anonymous:
        authorizer.add_anonymous(args.dir, perm=FULL_RIGHTS)
        users.append("anonymous")
    if args.read_only_dir:
        read_only = os.path.join(args.dir, args.read_only_dir)
        for user in users:
            authorizer.override_perm(user, read_only, perm=READ_ONLY_RIGHTS,
                                     recursive=True)

    base = FTPHandler
    if args.certfile:
        from pyftpdlib.handlers import TLS_FTPHandler
        base = TLS_FTPHandler

    stores = [0]

    class Handler(base):
        def ftp_STOR(self, file, mode="w"):
            stores[0] += 1
            if stores[0] == args.drop_at_stor:
                self.close()
                return None
            return super().ftp_STOR(file, mode)

    if args.certfile:
        Handler.certfile = args.certfile
        Handler.keyfile = args.keyfile
        Handler.tls_control_required = True
        Handler.tls_data_required = True

    Handler.authorizer = authorizer
    low, high = (int(p) for p in args.passive_ports.split("-"))
    Handler.passive_ports = range(low, high + 1)
    Handler.masquerade_address = None
    Handler.permit_foreign_addresses = False
    # A wrong password still gets a delayed 530, but not the default 3 s.
    Handler.auth_failed_timeout = 0.1

    server = FTPServer((args.host, args.port), Handler)
    server.max_cons = 64
    if args.max_per_ip:
        server.max_cons_per_ip = args.max_per_ip
    server.serve_forever(handle_exit=True)


if __name__ == "__main__":
    main()
