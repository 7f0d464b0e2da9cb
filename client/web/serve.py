#!/usr/bin/env python3
"""Serves the browser client (this folder, or --dir) over plain HTTP.

The page is static: any web server will do. This one is for a developer's
machine or a test: it binds 127.0.0.1 unless told otherwise, serves only
the files of one folder, and prints the address it listens on.
"""
import argparse
import functools
import http.server
import os
import sys


class Handler(http.server.SimpleHTTPRequestHandler):
    # JavaScript modules must be served with a JavaScript type, and the page
    # should not be cached while it is being worked on.
    extensions_map = {**http.server.SimpleHTTPRequestHandler.extensions_map,
                      ".js": "text/javascript", ".mjs": "text/javascript", ".css": "text/css"}

    def end_headers(self):
        self.send_header("Cache-Control", "no-store")
        super().end_headers()

    def log_message(self, fmt, *args):
        if not self.server.quiet:
            super().log_message(fmt, *args)


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--bind", default="127.0.0.1", help="address to listen on (default 127.0.0.1)")
    p.add_argument("--port", type=int, default=8000, help="port (default 8000; 0 picks a free one)")
    p.add_argument("--dir", default=here, help="folder to serve (default: the one holding this script)")
    p.add_argument("--quiet", action="store_true", help="do not log each request")
    a = p.parse_args()
    if not os.path.isfile(os.path.join(a.dir, "index.html")):
        print(f"serve.py: no index.html in {a.dir}", file=sys.stderr)
        return 2
    handler = functools.partial(Handler, directory=a.dir)
    try:
        httpd = http.server.ThreadingHTTPServer((a.bind, a.port), handler)
    except OSError as e:
        print(f"serve.py: cannot listen on {a.bind}:{a.port}: {e.strerror}", file=sys.stderr)
        return 1
    httpd.quiet = a.quiet
    host, port = httpd.server_address[:2]
    print(f"serving {a.dir} at http://{host}:{port}/", flush=True)
    try:
        httpd.serve_forever()
    except KeyboardInterrupt:
        pass
    finally:
        httpd.server_close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
