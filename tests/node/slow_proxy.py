#!/usr/bin/python3
"""A TCP relay on 127.0.0.1 that passes a client's bytes on slowly, so that
a test can act while the node is still receiving an object.

    slow_proxy.py LISTEN_PORT_FILE TARGET_PORT BYTES_PER_SECOND

Binds a free port, writes it to LISTEN_PORT_FILE, relays one connection
(client to target throttled, target to client as it comes) and exits when
either side closes, or after 120 s.
"""
import os
import select
import socket
import sys
import time


def main():
    port_file, target_port, rate = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
    server = socket.socket()
    server.bind(("127.0.0.1", 0))
    server.listen(1)
    with open(port_file + ".tmp", "w") as f:
        f.write(str(server.getsockname()[1]))
    os.rename(port_file + ".tmp", port_file)
    server.settimeout(60)
    client, _ = server.accept()
    target = socket.create_connection(("127.0.0.1", target_port))
    chunk = max(1, rate // 20)
    end = time.time() + 120
    while time.time() < end:
        ready, _, _ = select.select([client, target], [], [], 1)
        for sock in ready:
            data = sock.recv(chunk if sock is client else 65536)
            if not data:
                return
            (target if sock is client else client).sendall(data)
            if sock is client:
                time.sleep(len(data) / rate)


if __name__ == "__main__":
    try:
        main()
    except OSError:
        pass
