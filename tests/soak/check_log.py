#!/usr/bin/env python3
"""Checks a soak run's log file: every byte the children wrote, in order.

    python3 check_log.py <log file> <cycles>

Each launch cycle's launcher and container write known texts on both streams
(see soak.sh's boot file); the service copies each read from a pipe into the
log as it arrives, so within one child the standard output and standard error
bytes may interleave, but each stream keeps its own order, and each child's
bytes come after the previous child's.  The standard error texts begin with
"!", which no standard output piece does, so the two streams can always be
told apart, also where a read split a piece.  The wrapper's own lines (the input
flusher's start and end) are the only other text allowed.  The cycles before
the last are checked whole; the last container was stopped, so only its start
is checked.  Prints one line and exits 0 when the log is as expected.
"""
import re
import sys

WRAPPER_LINES = [b"NT Service starting input flusher thread\r\n", b"NT Service exiting input flusher thread\r\n"]

LAUNCHER_OUT = (b"soak launcher: boot file .\\container.ini\r\n"
                b"soak launcher OUT: line one\r\n"
                b"soak launcher: wrote the start script .\\container.ini.bat\r\n"
                b"\x070\x07")
LAUNCHER_ERR = b"! soak launcher: on standard error\r\n"
CONTAINER_OUT = (b"soak container: up (run %d, process %d)\r\n"
                 b"soak container OUT: working\r\n"
                 b"\x08"
                 b"soak container: asking for a restart\r\n"
                 b"\x0714\x07")
CONTAINER_ERR = b"! soak container: on standard error\r\n"


def common_prefix(data, pos, stream, spos):
    n = 0
    limit = min(len(data) - pos, len(stream) - spos)
    while n < limit and data[pos + n] == stream[spos + n]:
        n += 1
    return n


def merge(data, pos, out, err, what):
    """Consumes one child's two streams from data at pos; returns the new pos."""
    o = e = 0
    while o < len(out) or e < len(err):
        take_out = common_prefix(data, pos, out, o)
        take_err = common_prefix(data, pos, err, e)
        if take_out == 0 and take_err == 0:
            got = data[pos:pos + 80]
            raise ValueError("%s: at byte %d the log has %r; expected %r or %r"
                             % (what, pos, got, out[o:o + 40], err[e:e + 40]))
        if take_out >= take_err:
            o += take_out
            pos += take_out
        else:
            e += take_err
            pos += take_err
    return pos


def main():
    log_path, cycles = sys.argv[1], int(sys.argv[2])
    with open(log_path, "rb") as f:
        data = f.read()
    for line in WRAPPER_LINES:
        data = data.replace(line, b"")
    pos = 0
    try:
        for run in range(1, cycles + 1):
            pos = merge(data, pos, LAUNCHER_OUT, LAUNCHER_ERR, "launcher %d" % run)
            m = re.compile(rb"soak container: up \(run %d, process (\d+)\)\r\n" % run).match(data, pos)
            if m is None:
                m = re.compile(rb"soak container: up \(run %d, process (\d+)\)\r\n" % run).search(data, pos, pos + 200)
            if m is None:
                raise ValueError("container %d: its start line is missing at byte %d: %r"
                                 % (run, pos, data[pos:pos + 80]))
            if run == cycles:
                break
            pid = int(m.group(1))
            pos = merge(data, pos, CONTAINER_OUT % (run, pid), CONTAINER_ERR, "container %d" % run)
    except ValueError as error:
        print("log check: FAIL: %s" % error)
        return 1
    print("log check: %d cycles complete and in order (%d bytes of child output checked)" % (cycles - 1, pos))
    return 0


if __name__ == "__main__":
    sys.exit(main())
