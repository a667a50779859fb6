"""A stand-in for the library's snapshot listener, for the tests of
`dideverazez-report take`: it listens where the library would for this process
(the abstract socket "@dideverazez/<euid>/<pid>"), writes "ready <pid>" on
standard output and serves one connection as MODE says.

Usage: take_server.py MODE [FILE]

  answer FILE  checks the request line, answers FILE's bytes, closes
  half FILE    checks the request line, answers the first half of FILE, closes
  twice FILE   checks the request line, answers FILE's bytes twice, closes
  stall FILE   checks the request line, answers FILE's first 100 bytes, then
               waits until the client goes (at most 30 s)
  refuse       closes the connection at once, without reading or answering,
               as the library does for another user
  impostor     listens under the name of its parent process instead, as any
               process may take an abstract name, writes "ready <parent's
               pid>", and closes the connection it gets: the client must not
               ask it

Exits 1, with the reason on standard error, when the request line is not
"snapshot\\n" or no client comes within 30 s.
"""
import os
import socket
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
    pid = os.getppid() if mode == "impostor" else os.getpid()
    content = open(name, "rb").read() if name else b""
    listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    listener.bind("\0dideverazez/%d/%d" % (os.geteuid(), pid))
    listener.listen(1)
    try:
        print("ready %d" % pid, flush=True)
        listener.settimeout(30)
        try:
            connection, _ = listener.accept()
        except socket.timeout:
            fail("no client came within 30 s")
        with connection:
            if mode in ("refuse", "impostor"):
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
    return 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
