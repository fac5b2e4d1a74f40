#!/usr/bin/python3
"""Prints a fresh xdg-activation token from the Wayland compositor, as a launcher would hand one to
the program it starts. Speaks the wire protocol itself: Debian packages no Python binding."""
import os, socket, struct

sock = socket.socket(socket.AF_UNIX)
sock.connect(os.path.join(os.environ.get("XDG_RUNTIME_DIR", ""), os.environ["WAYLAND_DISPLAY"]))
def send(obj, opcode, body=b""):
    sock.sendall(struct.pack("=II", obj, (8 + len(body)) << 16 | opcode) + body)
def string(text):
    data = text.encode() + b"\0"
    return struct.pack("=I", len(data)) + data.ljust(-(-len(data) // 4) * 4, b"\0")
def unstring(body):
    return body[4:4 + struct.unpack_from("=I", body)[0] - 1].decode()

REGISTRY, SYNC, ACTIVATION, TOKEN = 2, 3, 4, 5
send(1, 1, struct.pack("=I", REGISTRY))  # wl_display.get_registry
send(1, 0, struct.pack("=I", SYNC))  # wl_display.sync: done once every global is announced
buffer, bound = b"", False
while True:
    while len(buffer) < 8 or len(buffer) < struct.unpack_from("=I", buffer, 4)[0] >> 16:
        chunk = sock.recv(4096)
        if not chunk:
            raise SystemExit("the compositor hung up")
        buffer += chunk
    obj, word = struct.unpack_from("=II", buffer)
    body, buffer = buffer[8:word >> 16], buffer[word >> 16:]
    if obj == REGISTRY and unstring(body[4:]) == "xdg_activation_v1":  # wl_registry.global
        send(REGISTRY, 0, body[:4] + string("xdg_activation_v1") + struct.pack("=II", 1, ACTIVATION))
        send(ACTIVATION, 1, struct.pack("=I", TOKEN))  # get_activation_token
        send(TOKEN, 3)  # commit
        bound = True
    elif obj == SYNC and not bound:
        raise SystemExit("the compositor offers no xdg_activation_v1")
    elif obj == TOKEN:  # done
        print(unstring(body))
        break
    elif obj == 1 and word & 0xFFFF == 0:
        raise SystemExit("Wayland protocol error")
