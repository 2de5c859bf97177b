#!/usr/bin/env python3
"""Types a password into a command on a pseudo-terminal, as a person at a terminal would.

    type_password.py MODE PASSWORD COMMAND...

The command's standard input, output and error are the terminal. At each "Password" prompt the
script types the next line: PASSWORD twice ("same"), PASSWORD then another ("differ"), or nothing,
stopping the command with SIGINT at the first prompt ("interrupt"). Prints one JSON object: the
command's exit code (or -signal), everything the terminal showed, and whether the terminal echoes
again once the command is over. Bounded: every wait ends after 20 seconds.
"""
import json
import os
import select
import signal
import subprocess
import sys
import termios
import time

mode, password, command = sys.argv[1], sys.argv[2], sys.argv[3:]
master, slave = os.openpty()
process = subprocess.Popen(command, stdin=slave, stdout=slave, stderr=slave, start_new_session=True)
shown = b""


def read_until(marker, deadline):
    global shown
    while marker not in shown and time.monotonic() < deadline:
        ready, _, _ = select.select([master], [], [], 0.2)
        if ready:
            try:
                piece = os.read(master, 4096)
            except OSError:
                return False
            if not piece:
                return False
            shown += piece
    return marker in shown


deadline = time.monotonic() + 20
if read_until(b"Password: ", deadline):
    if mode == "interrupt":
        process.send_signal(signal.SIGINT)
    else:
        os.write(master, password.encode() + b"\n")
        if read_until(b"again: ", deadline):
            other = password if mode == "same" else password + "x"
            os.write(master, other.encode() + b"\n")
try:
    code = process.wait(timeout=max(1, deadline - time.monotonic()))
except subprocess.TimeoutExpired:
    process.kill()
    code = process.wait()
# What the command wrote last.
while True:
    ready, _, _ = select.select([master], [], [], 0.2)
    if not ready:
        break
    try:
        piece = os.read(master, 4096)
    except OSError:
        break
    if not piece:
        break
    shown += piece
echoes = bool(termios.tcgetattr(slave)[3] & termios.ECHO)
print(json.dumps({"code": code, "shown": shown.decode(errors="replace"), "echoes": echoes}))
