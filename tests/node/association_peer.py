#!/usr/bin/python3
"""A misbehaving DICOM peer on 127.0.0.1, for what no DICOM tool sends:

    association_peer.py PORT wrong-ae COUNT   association requests for another
                                              called AE; each must be rejected
    association_peer.py PORT abort COUNT      accepted associations left by an
                                              A-ABORT, and connections closed
                                              before any request, in turn
    association_peer.py PORT silent SECONDS   a connection that sends nothing
    association_peer.py PORT half SECONDS     half an association request
    association_peer.py PORT idle SECONDS     an accepted association, then nothing
    association_peer.py PORT trickle SECONDS  an accepted association, then a PDU
                                              a byte every half second
    association_peer.py PORT released SECONDS an association released, and the
                                              connection kept open

The last four write "connected" on stdout once connected (associated), then
wait at most SECONDS for the node to close the connection: exit 0 when it
did, 1 when not.
"""
import time
import socket
import struct
import sys


def item(kind, payload):
    return struct.pack(">BBH", kind, 0, len(payload)) + payload


def associate_request(called, calling="PEER"):
    presentation = item(0x30, b"1.2.840.10008.1.1") + item(0x40, b"1.2.840.10008.1.2")
    user = item(0x51, struct.pack(">I", 16384)) + item(0x52, b"1.2.3.4")
    body = (struct.pack(">HH", 1, 0) + called.ljust(16).encode() +
            calling.ljust(16).encode() + bytes(32) +
            item(0x10, b"1.2.840.10008.3.1.1.1") +
            struct.pack(">BBHBBBB", 0x20, 0, 4 + len(presentation), 1, 0, 0, 0) + presentation +
            item(0x50, user))
    return struct.pack(">BBI", 0x01, 0, len(body)) + body


def read_exactly(sock, count):
    data = b""
    while len(data) < count:
        chunk = sock.recv(count - len(data))
        if not chunk:
            return None
        data += chunk
    return data


def read_pdu_type(sock):
    """The type of the next PDU, read whole; None at the end of the stream."""
    header = read_exactly(sock, 6)
    if header is None or read_exactly(sock, struct.unpack(">I", header[2:])[0]) is None:
        return None
    return header[0]


def connect(port):
    sock = socket.create_connection(("127.0.0.1", port), timeout=60)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 0, 0))
    return sock


def closed_within(sock, seconds, trickle=False):
    end = time.time() + seconds
    if trickle:
        # A P-DATA-TF PDU that announces 1000 bytes.
        sock.sendall(struct.pack(">BBI", 0x04, 0, 1000))
    try:
        while time.time() < end:
            sock.settimeout(0.5 if trickle else max(0.01, end - time.time()))
            try:
                if not sock.recv(4096):
                    return True
            except socket.timeout:
                if trickle:
                    sock.sendall(b"\0")
        return False
    except (ConnectionResetError, BrokenPipeError):
        return True


def main():
    port, mode, count = int(sys.argv[1]), sys.argv[2], int(sys.argv[3])
    if mode == "wrong-ae":
        for i in range(count):
            with connect(port) as sock:
                sock.sendall(associate_request("WRONGAE"))
                kind = read_pdu_type(sock)
                if kind != 0x03:
                    sys.exit("request %d: answered with PDU type %r, not a rejection" % (i, kind))
    elif mode == "abort":
        for i in range(count):
            with connect(port) as sock:
                if i % 2:
                    continue
                sock.sendall(associate_request("GSDNODE"))
                kind = read_pdu_type(sock)
                if kind != 0x02:
                    sys.exit("request %d: answered with PDU type %r, not an acceptance" % (i, kind))
                sock.sendall(struct.pack(">BBIBBBB", 0x07, 0, 4, 0, 0, 0, 0))
    elif mode in ("silent", "half", "idle", "trickle", "released"):
        sock = connect(port)
        if mode == "half":
            sock.sendall(associate_request("GSDNODE")[:40])
        if mode in ("idle", "trickle", "released"):
            sock.sendall(associate_request("GSDNODE"))
            if read_pdu_type(sock) != 0x02:
                sys.exit("the association was not accepted")
        if mode == "released":
            sock.sendall(struct.pack(">BBIBBBB", 0x05, 0, 4, 0, 0, 0, 0))
            if read_pdu_type(sock) != 0x06:
                sys.exit("the release was not answered")
        print("connected", flush=True)
        sys.exit(0 if closed_within(sock, count, mode == "trickle") else 1)
    else:
        sys.exit("unknown mode " + mode)


if __name__ == "__main__":
    main()
