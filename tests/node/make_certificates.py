#!/usr/bin/python3
"""Keys and certificates for the node's TLS tests, made by openssl:

    make_certificates.py DIR

DIR/ca.crt signs node.crt and client.crt; other-ca.crt signs stranger.crt;
each NAME.crt has its NAME.key (PEM, no password). locked.key is node.key
under a password.
"""
import subprocess
import sys


def openssl(*args):
    subprocess.run(["openssl", *args], check=True, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)


def main():
    folder = sys.argv[1]
    for ca in ("ca", "other-ca"):
        openssl("req", "-x509", "-newkey", "rsa:2048", "-noenc", "-days", "2",
                "-subj", "/CN=" + ca, "-keyout", f"{folder}/{ca}.key", "-out", f"{folder}/{ca}.crt")
    for name, ca in (("node", "ca"), ("client", "ca"), ("stranger", "other-ca")):
        openssl("req", "-newkey", "rsa:2048", "-noenc", "-subj", "/CN=" + name,
                "-keyout", f"{folder}/{name}.key", "-out", f"{folder}/{name}.csr")
        openssl("x509", "-req", "-days", "2", "-in", f"{folder}/{name}.csr",
                "-CA", f"{folder}/{ca}.crt", "-CAkey", f"{folder}/{ca}.key", "-set_serial", "2",
                "-out", f"{folder}/{name}.crt")
    openssl("pkey", "-in", f"{folder}/node.key", "-aes256", "-passout", "pass:secret",
            "-out", f"{folder}/locked.key")


if __name__ == "__main__":
    main()
