"""A stand-in for the library's snapshot listener, for the tests of
`dideverazez-report take`: it listens where the library would for this process
(/tmp/dideverazez-<euid>/<pid>.sock, the folder made with mode 0700 when
missing, the socket 0600), writes "ready <pid>" on standard output, serves one
connection as MODE says and removes its socket.

Usage: take_server.py MODE [FILE]

  answer FILE  checks the request line, answers FILE's bytes, closes
  half FILE    checks the request line, answers the first half of FILE, closes
  twice FILE   checks the request line, answers FILE's bytes twice, closes
  stall FILE   checks the request line, answers FILE's first 100 bytes, then
               waits until the client goes (at most 30 s)
  refuse       closes the connection at once, without reading or answering,
               as the library does for another user
  stale        listens and stops listening without removing the socket, as a
               program that ended without cleaning up; exits at once

Exits 1, with the reason on standard error, when the request line is not
"snapshot\\n" or no client comes within 30 s.
"""
import os
import socket
import stat
import sys

REQUEST = b"snapshot\n"


def fail(what):
    sys.stderr.write("take_server: %s\n" % what)
    sys.exit(1)


def read_request(connection):
    connection.settimeout(30)
    received = b""
    while not received.endswith(b"\n") and len(received) <= len(REQUEST):
        chunk = connection.recv(64)
        if not chunk:
            break
        received += chunk
    if received != REQUEST:
        fail("the request was %r, not %r" % (received, REQUEST))


def main(mode, name=None):
    folder = "/tmp/dideverazez-%d" % os.geteuid()
    os.makedirs(folder, mode=0o700, exist_ok=True)
    info = os.lstat(folder)
    if not stat.S_ISDIR(info.st_mode) or info.st_uid != os.geteuid():
        fail("%s is not this user's folder" % folder)
    path = "%s/%d.sock" % (folder, os.getpid())
    if os.path.lexists(path):  # left by an earlier process of this pid
        os.unlink(path)
    content = open(name, "rb").read() if name else b""
    listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    old_mask = os.umask(0o177)
    try:
        listener.bind(path)
    finally:
        os.umask(old_mask)
    listener.listen(1)
    if mode == "stale":
        listener.close()
        print("ready %d" % os.getpid(), flush=True)
        return 0
    try:
        print("ready %d" % os.getpid(), flush=True)
        listener.settimeout(30)
        try:
            connection, _ = listener.accept()
        except socket.timeout:
            fail("no client came within 30 s")
        with connection:
            if mode == "refuse":
                return 0
            read_request(connection)
            if mode == "answer":
                connection.sendall(content)
            elif mode == "half":
                connection.sendall(content[:len(content) // 2])
            elif mode == "twice":
                connection.sendall(content + content)
            elif mode == "stall":
                connection.sendall(content[:100])
                try:
                    while connection.recv(64):
                        pass
                except (socket.timeout, ConnectionResetError):
                    pass
            else:
                fail("unknown mode %r" % mode)
    finally:
        listener.close()
        os.unlink(path)
    return 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
