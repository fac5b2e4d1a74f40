#!/usr/bin/python3
"""Prints a fresh xdg-activation token from the Wayland compositor, as a launcher hands one on to
what it starts. It speaks the wire protocol itself: Debian packages no Python binding for it."""
import os, socket, struct, sys

INTERFACE = b"xdg_activation_v1"
sock = socket.socket(socket.AF_UNIX)
sock.settimeout(10)  # a compositor without the protocol never answers
sock.connect(os.path.join(os.environ.get("XDG_RUNTIME_DIR", ""), os.environ["WAYLAND_DISPLAY"]))
def send(obj, opcode, format="", *args):
    body = struct.pack("=" + format, *args)
    sock.sendall(struct.pack("=II", obj, (8 + len(body)) << 16 | opcode) + body)
def text(body):  # a length that counts the closing NUL, then the bytes, padded to 4
    return body[4:3 + struct.unpack_from("=I", body)[0]]

# Objects: 1 the display, 2 its registry, 3 the activation global, 4 the token.
send(1, 1, "I", 2)  # wl_display.get_registry
buffer = b""
while True:
    while len(buffer) < 8 or len(buffer) < struct.unpack_from("=I", buffer, 4)[0] >> 16:
        buffer += sock.recv(4096) or sys.exit("the compositor hung up")
    obj, header = struct.unpack_from("=II", buffer)
    body, buffer = buffer[8:header >> 16], buffer[header >> 16:]
    if obj == 2 and text(body[4:]) == INTERFACE:  # wl_registry.global: bind it
        name = struct.unpack_from("=I", body)[0]
        send(2, 0, "II20sII", name, len(INTERFACE) + 1, INTERFACE, 1, 3)
        send(3, 1, "I", 4)  # get_activation_token
        send(4, 3)  # commit
    elif obj == 4:  # done
        print(text(body).decode())
        break
