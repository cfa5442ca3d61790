"""Drives one session object through the Python client; exits 0 when the
server answers as the protocol says. Usage: session_check.py PORT"""

import sys

from tillbase_client import CallError, Client, TransportError


def main(port):
    with Client(port=port) as client:
        lib = client.typelib()
        names = [m["name"] for itf in lib["interfaces"] for m in itf["methods"]]
        assert "GetServerVersion" in names, names
        obj = client.create()
        version = obj.invoke("GetServerVersion")
        assert version.out["szReturn"] == "KeppaPos1.1", version.out
        assert obj.invoke(4, "abcd").retval == 4  # ExecuteSQL by dispid
        packet = [1, None, "中文", {"$cy": "1.5000"}, [True, 2.5]]
        assert obj.invoke("ExecuteProc", "p", packet, None).out["vOutParams"] == packet
        try:
            obj.invoke("ExecuteSQL", "fail")
            raise AssertionError("no failure")
        except CallError as e:
            assert e.hresult == -2147418113 and e.description == "plain failure", e
        try:
            obj.call("NoSuch")
            raise AssertionError("no transport error")
        except TransportError as e:
            assert e.kind == "DISP_E_UNKNOWNNAME", e.kind
        obj.release()
        try:
            obj.call("Refresh")
            raise AssertionError("released object answered")
        except TransportError as e:
            assert e.status == 404, e.status
    print("ok")


if __name__ == "__main__":
    main(int(sys.argv[1]))
