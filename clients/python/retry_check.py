"""Checks the client's resend rule against scripted servers (no server of ours).

1. The server answers one request, then closes the idle connection: the next
   POST notices the closed connection and goes out once on a new one.
2. The server reads a whole POST and closes without answering: the client
   raises TransportError "connection_lost" and does not send it again.
Prints "ok" when both hold.
"""
import socket
import sys
import threading

import tillbase_client as tc

ANSWER = (b"HTTP/1.1 201 Created\r\nContent-Type: application/json\r\n"
          b"Content-Length: 26\r\n\r\n{\"hresult\":0,\"id\":\"abc01\"}")


def read_request(conn):
    data = b""
    while b"\r\n\r\n" not in data:
        chunk = conn.recv(4096)
        if not chunk:
            return None
        data += chunk
    head, _, rest = data.partition(b"\r\n\r\n")
    length = 0
    for line in head.split(b"\r\n"):
        if line.lower().startswith(b"content-length:"):
            length = int(line.split(b":")[1])
    while len(rest) < length:
        rest += conn.recv(4096)
    return head


def serve(listener, script, seen, done, closed):
    for step in script:
        conn, _ = listener.accept()
        if done.is_set():
            conn.close()
            return
        if read_request(conn) is not None:
            seen.append(step)
            if step == "answer-then-close":
                conn.sendall(ANSWER)
        conn.close()
        closed.release()


def run(script, calls):
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(4)
    seen = []
    done = threading.Event()
    closed = threading.Semaphore(0)
    thread = threading.Thread(target=serve, args=(listener, script, seen, done, closed), daemon=True)
    thread.start()
    client = tc.Client(port=listener.getsockname()[1], timeout=5)
    results = []
    for call in range(calls):
        if call:
            closed.acquire(timeout=5)  # the server has closed the kept-alive connection
        try:
            status, _ = client.request("POST", "/v1/objects", {"class": tc.PROGID})
            results.append(status)
        except tc.TransportError as e:
            results.append(e.kind)
    # Steps the client never reached: wake the accept so the server ends.
    done.set()
    while thread.is_alive():
        socket.create_connection(listener.getsockname()).close()
        thread.join(0.05)
    listener.close()
    return results, seen


def main():
    results, seen = run(["answer-then-close", "answer-then-close"], 2)
    if results != [201, 201] or len(seen) != 2:
        print("stale connection: results %r, requests seen %r" % (results, seen))
        return 1
    results, seen = run(["close-unanswered", "answer-then-close"], 1)
    if results != ["connection_lost"] or len(seen) != 1:
        print("unanswered POST: results %r, requests seen %r" % (results, seen))
        return 1
    print("ok")
    return 0


if __name__ == "__main__":
    sys.exit(main())
