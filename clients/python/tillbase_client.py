"""Client of the tillbase wire protocol, standard library only.

    from tillbase_client import Client
    with Client(port=8211) as client:
        obj = client.create()
        result = obj.invoke("GetServerVersion")
        print(result.out["szReturn"])
        obj.release()

Variants map to Python values: None = Null, EMPTY = Empty, bool, str, int
(VT_I4), float (VT_R8), list (array with lower bound 0); other kinds stay
as their tagged JSON objects ({"$cy": "1.5000"}, {"$date": 40000.5}, ...),
which can be sent back unchanged.
"""

import http.client
import ssl
import json
import select

PROGID = "TillcoreServer.CoTillbaseServer"
EMPTY = {"$empty": True}


class CallError(Exception):
    """A call or creation answered with a failure HRESULT."""

    def __init__(self, hresult, error, out=None):
        self.hresult = hresult
        self.error = error or {}
        self.description = self.error.get("description", "")
        self.out = out or {}
        super().__init__("0x%08X: %s" % (hresult & 0xFFFFFFFF, self.description))


class TransportError(Exception):
    """The server refused the request before it reached an object."""

    def __init__(self, status, kind, message):
        self.status = status
        self.kind = kind
        super().__init__(message)


class Result:
    def __init__(self, answer):
        self.hresult = answer["hresult"]
        self.retval = answer.get("retval", EMPTY)
        self.out = answer.get("out", {})
        self.error = answer.get("error")

    @property
    def ok(self):
        return self.hresult >= 0


class Client:
    def __init__(self, host="127.0.0.1", port=8211, access_key=None, timeout=60,
                 tls_ca=None, tls_cert=None, tls_key=None):
        """tls_ca: connect with TLS, checking the server's certificate against
        this CA file; tls_cert and tls_key: the client certificate a server
        with client certificates asks for."""
        self._host, self._port, self._timeout = host, port, timeout
        self._tls = None
        if tls_ca:
            self._tls = ssl.create_default_context(cafile=tls_ca)
            self._tls.minimum_version = ssl.TLSVersion.TLSv1_2
            if tls_cert:
                self._tls.load_cert_chain(tls_cert, tls_key)
        self._headers = {"Content-Type": "application/json"}
        if access_key:
            self._headers["Authorization"] = "Bearer " + access_key
        self._conn = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def close(self):
        if self._conn is not None:
            self._conn.close()
            self._conn = None

    def _closed_by_server(self):
        # An idle kept-alive connection has nothing to read; readable means
        # the server closed it (or sent something unasked for).
        sock = self._conn.sock
        if sock is None:
            return True
        readable, _, _ = select.select([sock], [], [], 0)
        return bool(readable)

    def request(self, verb, path, body=None):
        """Returns (status, parsed JSON or text).

        A request is sent again only when it cannot have reached the server:
        the kept-alive connection was found closed before writing, or writing
        failed. Once a call, creation or release was written, a connection that
        ends without an answer raises TransportError "connection_lost" (the
        server may have carried it out); only GET requests are repeated then.
        """
        data = None if body is None else json.dumps(body).encode("utf-8")
        for attempt in (0, 1):
            if self._conn is not None and self._closed_by_server():
                self.close()
            fresh = self._conn is None
            if fresh:
                if self._tls is not None:
                    self._conn = http.client.HTTPSConnection(
                        self._host, self._port, timeout=self._timeout, context=self._tls)
                else:
                    self._conn = http.client.HTTPConnection(
                        self._host, self._port, timeout=self._timeout)
            try:
                self._conn.request(verb, path, body=data, headers=self._headers)
            except (OSError, http.client.HTTPException):
                self.close()
                if fresh or attempt:
                    raise
                continue
            try:
                response = self._conn.getresponse()
                text = response.read().decode("utf-8")
            except (OSError, http.client.HTTPException):
                self.close()
                if verb == "GET" and not attempt:
                    continue
                raise TransportError(0, "connection_lost",
                                     "the connection ended before the answer to %s %s; "
                                     "the request may have been carried out" % (verb, path))
            if response.will_close:
                self.close()
            break
        content_type = response.getheader("Content-Type", "")
        return response.status, json.loads(text) if content_type.startswith("application/json") else text

    def _checked(self, status, answer, expected=(200,)):
        if status not in expected:
            if isinstance(answer, dict):
                raise TransportError(status, answer.get("error"), answer.get("message"))
            raise TransportError(status, "http_%d" % status, str(answer))
        return answer

    def create(self, class_name=PROGID):
        answer = self._checked(*self.request("POST", "/v1/objects", {"class": class_name}), expected=(200, 201))
        if answer["hresult"] < 0:
            raise CallError(answer["hresult"], answer.get("error"))
        return RemoteObject(self, answer["id"])

    def call(self, object_id, method, *params):
        """Calls by name (str) or dispid (int); failures come back in the Result."""
        body = {"dispid" if isinstance(method, int) else "method": method, "params": list(params)}
        return Result(self._checked(*self.request("POST", "/v1/objects/" + object_id, body)))

    def release(self, object_id):
        self._checked(*self.request("DELETE", "/v1/objects/" + object_id))

    def typelib(self):
        return self._checked(*self.request("GET", "/v1/typelib"))


class RemoteObject:
    def __init__(self, client, object_id):
        self.client, self.id = client, object_id

    def call(self, method, *params):
        return self.client.call(self.id, method, *params)

    def invoke(self, method, *params):
        """Like call, but raises CallError on a failure HRESULT."""
        result = self.call(method, *params)
        if not result.ok:
            raise CallError(result.hresult, result.error, result.out)
        return result

    def release(self):
        self.client.release(self.id)
