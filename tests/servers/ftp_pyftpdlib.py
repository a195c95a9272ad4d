"""pyftpdlib server for the Ostrane tests: one read-only user on 127.0.0.1.

    python3 ftp_pyftpdlib.py <root> <port> <user> <password> [--tls optional|required|implicit --cert FILE]

Runs in the foreground until SIGTERM. With --tls, AUTH TLS is offered (optional) or demanded for
both the control and the data connection (required); implicit speaks TLS from the first byte and
demands it on the data connection too.
"""
import argparse
import logging
import signal
import sys

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler, TLS_DTPHandler, TLS_FTPHandler
from pyftpdlib.servers import FTPServer


class EarlyHandshakeDTPHandler(TLS_DTPHandler):
    """libcurl starts TLS on a data connection as soon as it connects, before the transfer
    command; the stock handler takes that early traffic for a dropped connection and closes."""

    def readable(self):
        if self._ssl_accepting or self._ssl_want_read:
            return True
        if not self.receive and not self._initialized:
            return False
        return super().readable()


class ImplicitTLSHandler(TLS_FTPHandler):
    """TLS from the first byte: the welcome goes out once the handshake is done."""

    def handle(self):
        self.secure_connection(self.ssl_context)

    def handle_ssl_established(self):
        TLS_FTPHandler.handle(self)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("root")
    parser.add_argument("port", type=int)
    parser.add_argument("user")
    parser.add_argument("password")
    parser.add_argument("--tls", choices=["off", "optional", "required", "implicit"], default="off")
    parser.add_argument("--cert")
    parser.add_argument("--log")
    args = parser.parse_args()

    logging.basicConfig(filename=args.log, level=logging.INFO)
    authorizer = DummyAuthorizer()
    authorizer.add_user(args.user, args.password, args.root, perm="elr")

    if args.tls == "off":
        handler = FTPHandler
    else:
        if not args.cert:
            sys.exit("--tls needs --cert")
        handler = ImplicitTLSHandler if args.tls == "implicit" else TLS_FTPHandler
        handler.dtp_handler = EarlyHandshakeDTPHandler
        handler.certfile = args.cert
        handler.tls_control_required = args.tls != "optional"
        handler.tls_data_required = args.tls != "optional"
    handler.authorizer = authorizer
    handler.banner = "Ostrane test server ready."
    handler.permit_foreign_addresses = False
    handler.timeout = 120

    server = FTPServer(("127.0.0.1", args.port), handler)
    server.max_cons = 64

    def stop(*_):
        server.close_all()
        sys.exit(0)

    signal.signal(signal.SIGTERM, stop)
    server.serve_forever(timeout=0.5, blocking=True, handle_exit=True)


if __name__ == "__main__":
    main()
