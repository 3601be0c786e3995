#!/usr/bin/env python3
"""ra62d2ide.exe's console on a console window, under wine: a program whose
standard input is a terminal gets a console of its own there, drawn on that
terminal, so the console's cooked-mode reading (ReadConsoleW) is what runs.

    console_pty.py EXE DIR SIM_PID FILE

Runs EXE in DIR on a pseudo-terminal and connects to the one simulator
listed (over TCP, so that its end shows at once). "cs" saves
the screen under FILE's name typed at "Enter file name" (UTF-8 through the
console: FILE must then exist). Then half a command is typed at ">" ("v"
and an accented letter) and the simulator SIM_PID is ended, so that "Device
disconnected!" is printed while the line is being typed: it must appear,
the prompt with the typed text must be drawn again below it, and the line
edited further (the letter erased, "e" typed) must run as "ve" ("Device not
connected!"). "q" must end the program with status 0. Exits 0 when all
holds, else 1 after the failed step and what the terminal showed.
"""
import os
import pty
import re
import select
import signal
import sys
import termios
import time

WAIT_S = 60  # bound of each step


def main():
    exe, work, sim_pid, path = sys.argv[1], sys.argv[2], int(sys.argv[3]), \
        sys.argv[4]
    pid, fd = pty.fork()
    if pid == 0:
        # Enter arrives as the carriage return a terminal sends: wine's
        # console takes a line feed for Ctrl-J.
        attrs = termios.tcgetattr(0)
        attrs[0] &= ~termios.ICRNL
        termios.tcsetattr(0, termios.TCSANOW, attrs)
        os.chdir(work)
        os.environ["TERM"] = "xterm"
        os.execvp("wine", ["wine", exe])
    out = bytearray()

    def read_some(timeout):
        ready, _, _ = select.select([fd], [], [], timeout)
        if not ready:
            return True
        try:
            data = os.read(fd, 4096)
        except OSError:
            return False
        out.extend(data)
        return bool(data)

    def screen():
        # The text drawn, without the terminal sequences of wine's console
        # (a blank is drawn as erase-and-move-right).
        s = out.decode("utf-8", "replace")
        s = re.sub(r"\x1b\[\?25[lh]", "", s)
        s = re.sub(r"\x1b\[K", "", s)
        s = re.sub(r"\x1b\[(\d*)C", lambda m: " " * int(m.group(1) or 1), s)
        return s

    def wait_for(text, after=0):
        end = time.time() + WAIT_S
        while screen().find(text, after) < 0:
            if time.time() > end or not read_some(0.1):
                return -1
        return screen().find(text, after)

    def step(name, at):
        if at < 0:
            print("console_pty: no %s; the terminal showed:\n%s" %
                  (name, screen()[-2000:]))
            os.kill(pid, signal.SIGKILL)
            sys.exit(1)
        return at

    def type_keys(text):
        os.write(fd, text.encode("utf-8"))

    step("connection dialog", wait_for("Select connection type"))
    type_keys("2\r")
    step("device list", wait_for("Select device"))
    type_keys("1\r")
    at = step("menu", wait_for("[  q] quit"))
    at = step("prompt", wait_for(">", at))
    type_keys("cs\r")
    at = step("file name question", wait_for("Enter file name", at))
    type_keys(os.path.basename(path) + "\r")
    at = step("screen saved", wait_for(">", at + 1))
    if not os.path.isfile(path) or os.path.getsize(path) == 0:
        step("file " + path, -1)

    type_keys("v\u00e9")
    at = step("typed text", wait_for("v\u00e9", at))
    os.kill(sim_pid, signal.SIGTERM)
    at = step("line printed while typing", wait_for("Device disconnected!", at))
    at = step("prompt drawn again below it", wait_for(">v\u00e9", at))
    type_keys("\x7fe\r")
    step("edited line run", wait_for("Device not connected!", at))
    type_keys("q\r")
    end = time.time() + WAIT_S
    while time.time() < end:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            if os.WIFEXITED(status) and os.WEXITSTATUS(status) == 0:
                return 0
            print("console_pty: status %d" % status)
            return 1
        read_some(0.1)
    step("end after q", -1)


if __name__ == "__main__":
    sys.exit(main())
