#!/usr/bin/env python3
"""Holds idle TCP connections open to a loopback port, for the idle-connection workload.

Opens COUNT connections that never send a byte, prints "ready N", then waits for SIGTERM or
for --hold seconds, whichever comes first, so it always ends by itself. On the way out it
prints "open N": how many connections the server had not closed.
"""
import argparse
import resource
import signal
import socket
import sys


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--count", type=int, default=2000)
    parser.add_argument("--hold", type=float, default=120.0)
    args = parser.parse_args()

    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    wanted = args.count + 64
    if soft < wanted <= hard or (hard == resource.RLIM_INFINITY and soft < wanted):
        resource.setrlimit(resource.RLIMIT_NOFILE, (wanted, hard))

    # Blocked before anything else so that a SIGTERM sent while connecting is not lost.
    signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGTERM, signal.SIGINT})
    connections = []
    for _ in range(args.count):
        connections.append(socket.create_connection(("127.0.0.1", args.port), timeout=5))
    print(f"ready {len(connections)}", flush=True)

    signal.sigtimedwait({signal.SIGTERM, signal.SIGINT}, args.hold)

    still_open = 0
    for connection in connections:
        connection.setblocking(False)
        try:
            # Nothing was sent, so the server has nothing to say: b"" means it closed.
            still_open += connection.recv(1) != b""
        except BlockingIOError:
            still_open += 1
        except OSError:
            pass
        connection.close()
    print(f"open {still_open}", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
