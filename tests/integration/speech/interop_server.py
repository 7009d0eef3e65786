"""A recognition-service look-alike built on Python's websockets library (not
Qt), so that our client is checked against an independent implementation.

Usage: /usr/bin/python3 interop_server.py PORT_FILE RECORD_FILE EVENTS_FILE KEY [CERT KEYFILE]
With CERT and KEYFILE it speaks TLS (wss).
Writes its port to PORT_FILE, appends every binary frame to RECORD_FILE and one
line per event to EVENTS_FILE. Sends a final result after the first 3,200 bytes
and another on CloseStream, then a Metadata message and closes with 1000.
"""
import asyncio
import http
import json
import ssl
import sys

import websockets

port_file, record_file, events_file, key = sys.argv[1:5]
tls = None
if len(sys.argv) >= 7:
    tls = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    tls.load_cert_chain(sys.argv[5], sys.argv[6])


def event(line):
    with open(events_file, "a", encoding="utf-8") as f:
        f.write(line + "\n")


def result(text, channel=None):
    message = {"type": "Results", "is_final": True,
               "channel": {"alternatives": [{"transcript": text, "confidence": 0.9}]}}
    if channel is not None:
        message["channel_index"] = [channel, 2]
    return json.dumps(message)


async def check(path, headers):
    event("request " + path)
    if headers.get("Authorization") != "Token " + key:
        event("refused 401")
        return http.HTTPStatus.UNAUTHORIZED, [], b"bad key\n"
    return None


async def handler(ws, path):
    received = 0
    answered = False
    try:
        async for message in ws:
            if isinstance(message, bytes):
                with open(record_file, "ab") as f:
                    f.write(message)
                received += len(message)
                event("binary %d" % len(message))
                if received >= 3200 and not answered:
                    answered = True
                    await ws.send(result("first words", 0))
            else:
                event("text " + message)
                if json.loads(message).get("type") == "CloseStream":
                    await ws.send(result("closing words"))
                    await ws.send(json.dumps({"type": "Metadata", "duration": received / 32000}))
                    await ws.close(1000, "done")
                    event("close 1000")
                    return
    except websockets.ConnectionClosed:
        pass
    event("peer-closed %s" % ws.close_code)


async def main():
    async with websockets.serve(handler, "127.0.0.1", 0, process_request=check, ssl=tls) as server:
        port = server.sockets[0].getsockname()[1]
        with open(port_file, "w") as f:
            f.write("%d\n" % port)
        await asyncio.Future()


asyncio.run(main())
