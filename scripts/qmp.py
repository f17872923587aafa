#!/usr/bin/env python3
"""One QMP command to a QEMU monitor socket; with an event name, waits (10 s
at most) for that event about the device the arguments name.

    qmp.py SOCKET COMMAND ARGUMENTS_JSON [EVENT]
"""
import json, socket, sys
path, command, arguments = sys.argv[1:4]
event = sys.argv[4] if len(sys.argv) > 4 else None
arguments = json.loads(arguments)
connection = socket.socket(socket.AF_UNIX)
connection.settimeout(10)
connection.connect(path)
stream = connection.makefile("rw")
def receive():
    line = stream.readline()
    if not line:
        sys.exit("qmp: connection closed")
    return json.loads(line)
def execute(name, args=None):
    stream.write(json.dumps({"execute": name, "arguments": args or {}}) + "\n")
    stream.flush()
    while True:
        message = receive()
        if "error" in message:
            sys.exit("qmp: %s: %s" % (name, message["error"]))
        if "return" in message:
            return
receive()  # the greeting
execute("qmp_capabilities")
execute(command, arguments)
while event:
    message = receive()
    if message.get("event") == event and message.get("data", {}).get("device") == arguments.get("id"):
        break
