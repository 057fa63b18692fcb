#!/usr/bin/env python3
"""The benchmarks' own program: it watches files grow, checks what landed in
them, and turns the samples that bench/run.sh recorded into the figures.

  figures.py watch <file> <samples> <limit seconds> [<process pattern>]
      Looks at the file's size every half millisecond and writes
      "<seconds> <size>" whenever it changed, so that the time at which any
      byte appeared can be read back afterwards.  The size is that of
      everything written so far: when the file was rotated (a new file under
      the name), the size that "<file>.1" ended with is added to what
      follows.  With a pattern, the first process of this Wine prefix that
      starts after the watch and whose command line matches it is looked
      for, and each line also carries that process's CPU time so far (ns)
      and its reads and writes so far.
      Runs until SIGTERM, or for at most the limit.
  figures.py wait <file> <regex> <seconds> [<tail bytes>]
      Exits 0 once the file (or its last bytes only, which costs a copy
      that is being measured next to nothing) matches, 1 after the time.
  figures.py volume <samples> <file> <bytes> [<reference file>]
      The container's volume is what lies between its start marker (BS) and
      its "ending by itself" line, in the file and the generations that
      rotation left of it.  Checks that it is <bytes> long and, with a
      reference file, byte for byte the reference run's; when rotation
      dropped its beginning, that what is left is the end of the reference's
      volume.  The wrapper's flusher line may fall between two chunks of the
      volume; it is taken out first.  Prints "bytes=N seconds=S" (from the
      appearance of the volume's first byte to that of its last) and, when
      the samples carry the process's counts, "cpu_ms=C calls=N
      counted_bytes=B" (its CPU time and its reads and writes from the first
      to the last sample of the volume that carries them, and the bytes that
      came in between); or "error=<reason>".  Exits 1 when the volume is
      wrong and 2 when it is right but its arrival was not seen.
  figures.py restarts <samples> <file>
      For each restart marker (BEL 14 BEL) in the file, the time from its
      appearance to that of the next start marker: "restart ms=T" each.
  figures.py report <samples file> <json file>
      Prints the table of figures (talvex, reference, target, met) and writes
      them as JSON.  Every line of the samples file is a word and then
      key=value fields; see bench/run.sh for what it records.
"""
import gzip
import json
import os
import re
import signal
import statistics
import sys
import textwrap
import time

MIB = 1048576
FLUSHER_LINE = b"NT Service starting input flusher thread\r\n"
# bench/run.sh names the container "bench" in every boot file.
END_LINE = b"bench container: ending by itself\r\n"
# Resident memory that each talvex.exe of the large idle windows may hold
# beyond one of the small windows and still count as flat.
FLAT_MEMORY_KIB = 64


# --- watching and waiting ---------------------------------------------------------


def process_counts(pid):
    """CPU time (ns) of all of a process's threads so far and its reads and
    writes (each round trip to the Wine server is one of each), or None once
    it has gone."""
    cpu = calls = 0
    try:
        for task in os.listdir(f"/proc/{pid}/task"):
            with open(f"/proc/{pid}/task/{task}/schedstat") as f:
                cpu += int(f.read().split()[0])
        with open(f"/proc/{pid}/io") as f:
            calls = sum(int(line.split()[1]) for line in f if line.startswith(("syscr", "syscw")))
    except (OSError, ValueError, IndexError):
        return None
    return cpu, calls


def prefix_processes(pattern, prefix):
    """The pids of this Wine prefix's processes whose command lines match."""
    found = []
    for name in os.listdir("/proc"):
        if not name.isdigit():
            continue
        try:
            with open(f"/proc/{name}/cmdline", "rb") as f:
                line = f.read().replace(b"\0", b" ").decode(errors="replace")
            if not pattern.search(line):
                continue
            with open(f"/proc/{name}/environ", "rb") as f:
                if b"WINEPREFIX=" + prefix.encode() in f.read().split(b"\0"):
                    found.append(int(name))
        except OSError:
            continue
    return found


def watch(path, samples_path, limit, pattern=None):
    stopping = []
    signal.signal(signal.SIGTERM, lambda *_: stopping.append(1))
    prefix = os.environ.get("WINEPREFIX", "")
    regex = re.compile(pattern) if pattern else None
    # Processes that were there before the watch are not the one it waits for.
    before = set(prefix_processes(regex, prefix)) if regex else set()
    pid = None
    next_search = 0.0
    start = time.monotonic()
    base, inode, last = 0, None, -1
    with open(samples_path, "w", buffering=1) as out:
        while not stopping and time.monotonic() - start < limit:
            now = time.monotonic()
            if regex and pid is None and now >= next_search:
                fresh = [p for p in prefix_processes(regex, prefix) if p not in before]
                pid = fresh[0] if fresh else None
                before.update(fresh[:1])
                next_search = now + 0.02
            try:
                st = os.stat(path)
            except FileNotFoundError:
                st = None
            if st is not None:
                if inode is not None and st.st_ino != inode:
                    try:
                        base += os.stat(path + ".1").st_size
                    except FileNotFoundError:
                        base += last - base
                inode = st.st_ino
                size = base + st.st_size
                if size != last:
                    counts = process_counts(pid) if pid is not None else None
                    # A process that matched and has gone was not the one.
                    pid = pid if counts is not None else None
                    out.write(f"{now:.6f} {size}" + (" %d %d" % counts if counts else "") + "\n")
                    last = size
            time.sleep(0.0005)


def wait(path, pattern, seconds, tail=None):
    regex = re.compile(pattern.encode(), re.S)
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        try:
            with open(path, "rb") as f:
                if tail is not None:
                    f.seek(max(0, os.fstat(f.fileno()).st_size - tail))
                if regex.search(f.read()):
                    return 0
        except FileNotFoundError:
            pass
        time.sleep(0.05)
    return 1


# --- what landed in the files -----------------------------------------------------------


def read_samples(path):
    samples = []
    with open(path) as f:
        for line in f:
            fields = line.split()
            counts = (int(fields[2]), int(fields[3])) if len(fields) > 3 else None
            samples.append((float(fields[0]), int(fields[1]), counts))
    return samples


def sample_of_byte(samples, offset):
    """The first sample in which the byte at offset had appeared."""
    for s in samples:
        if s[1] > offset:
            return s
    return None


def read_generations(path):
    """The file after the generations that rotation left of it, oldest first."""
    names = []
    n = 1
    while True:
        plain, packed = f"{path}.{n}", f"{path}.{n}.gz"
        if os.path.exists(plain):
            names.append((plain, open))
        elif os.path.exists(packed):
            names.append((packed, gzip.open))
        else:
            break
        n += 1
    data = b""
    for name, opener in reversed(names):
        with opener(name, "rb") as f:
            data += f.read()
    with open(path, "rb") as f:
        return data + f.read()


def volume_bytes(data):
    """(index of the first byte or None when rotation dropped it, index of the
    end line, the volume's bytes) or an error text."""
    end = data.find(END_LINE)
    if end < 0:
        return 'no "ending by itself" line'
    bs = data.find(b"\b", 0, end)
    first = bs + 1 if bs >= 0 else None
    part = data[first or 0:end]
    i = part.find(FLUSHER_LINE)
    if i >= 0:
        part = part[:i] + part[i + len(FLUSHER_LINE):]
    return first, end, part


def check_volume(path, expected, reference):
    found = volume_bytes(read_generations(path))
    if isinstance(found, str):
        return found
    first, end, part = found
    if first is not None and len(part) != expected:
        return f"the volume is {len(part)} bytes, expected {expected}"
    if reference is None:
        return found
    ref = volume_bytes(read_generations(reference))
    if isinstance(ref, str) or ref[0] is None:
        return "reference: " + (ref if isinstance(ref, str) else "no start marker")
    ref_part = ref[2]
    if first is None and (not part or not ref_part.endswith(part)):
        return "what rotation left of the volume is not the end of the reference's"
    if first is not None and part != ref_part:
        i = next(i for i in range(len(part)) if part[i] != ref_part[i])
        return f"the volume differs from the reference's from byte {i} on"
    return found


def volume(samples_path, path, expected, reference=None):
    found = check_volume(path, int(expected), reference)
    if isinstance(found, str):
        print(f"error={found}")
        return 1
    first, end, _ = found
    samples = read_samples(samples_path)
    # The samples count every byte written under the name; the data read
    # holds the last of them.
    skipped = samples[-1][1] - len(read_generations(path)) if samples else 0
    end += skipped
    # A dropped beginning lies a volume before the end (the flusher line,
    # when it fell inside, shifts it by a few bytes).
    first = end - int(expected) if first is None else first + skipped
    s0, s1 = sample_of_byte(samples, first), sample_of_byte(samples, end - 1)
    if s0 is None or s1 is None or s1[0] <= s0[0]:
        print("error=the watch did not see the volume arrive")
        return 2
    line = f"bytes={expected} seconds={s1[0] - s0[0]:.6f}"
    # The process's counts between the first and the last sample of the
    # volume that carry them, and the bytes that arrived in between.
    counted = [s for s in samples if s[2] is not None and s0[0] <= s[0] <= s1[0]]
    if len(counted) > 1:
        c0, c1 = counted[0], counted[-1]
        line += (f" cpu_ms={(c1[2][0] - c0[2][0]) / 1e6:.3f} calls={c1[2][1] - c0[2][1]}"
                 f" counted_bytes={c1[1] - c0[1]}")
    print(line)
    return 0


def restarts(samples_path, path):
    with open(path, "rb") as f:
        data = f.read()
    samples = read_samples(samples_path)
    start = 0
    while (marker := data.find(b"\a14\a", start)) >= 0:
        following = data.find(b"\b", marker)
        if following < 0:
            break
        s0, s1 = sample_of_byte(samples, marker + 3), sample_of_byte(samples, following)
        if s0 is not None and s1 is not None:
            print(f"restart ms={1000 * (s1[0] - s0[0]):.1f}")
        start = following
    return 0


# --- the figures --------------------------------------------------------------------------


def read_records(path):
    """The samples file as (word, {key: value}) pairs, numbers as numbers."""
    records = []
    with open(path) as f:
        for line in f:
            words = line.split()
            if not words:
                continue
            fields = {}
            for word in words[1:]:
                key, _, value = word.partition("=")
                try:
                    fields[key] = int(value)
                except ValueError:
                    try:
                        fields[key] = float(value)
                    except ValueError:
                        fields[key] = value
            records.append((words[0], fields))
    return records


def median(values):
    return statistics.median(values) if values else None


def spread(values):
    return [min(values), max(values)] if values else None


def by_round(records, word, kind_key, **match):
    """{round: {kind: fields}} of the records of one word that match."""
    rounds = {}
    for w, f in records:
        if w == word and all(f.get(k) == v for k, v in match.items()):
            rounds.setdefault(f.get("round"), {})[f.get(kind_key)] = f
    return rounds


def paired(rounds, a, b, value):
    """value(a's fields, b's fields) for every round that has both."""
    return [value(r[a], r[b]) for _, r in sorted(rounds.items()) if a in r and b in r]


def rate(f):
    return f["bytes"] / f["seconds"] / MIB


def counted_mib(f):
    """The MiB over which a copy's process counts were taken."""
    return f.get("counted_bytes", f["bytes"]) / MIB


def cpu_per_mib(f):
    return f["cpu_ms"] / counted_mib(f) if "cpu_ms" in f else None


def copy_figures(records, size):
    """Per-round lists for one write size: the ratios to the blocking reader,
    the rates, and the CPU per MiB of talvex and of the reader every 50 ms."""
    broken = any(w == "mismatch" and f.get("size") == size for w, f in records)
    rounds = {} if broken else by_round(records, "copy", "reader", size=size)
    out = {name: paired(rounds, name, "reference", lambda t, r: rate(t) / rate(r))
           for name in ("talvex", "lazy")}
    for name in ("reference", "talvex", "lazy"):
        out[name + "_rate"] = [rate(r[name]) for r in rounds.values() if name in r]
    for name in ("rotation", "compressed"):
        out[name] = paired(rounds, name, "talvex", lambda v, t: rate(v) / rate(t))
        out[name + "_rate"] = [rate(r[name]) for r in rounds.values() if name in r]
    cpu = paired(rounds, "talvex", "lazy", lambda t, l: (cpu_per_mib(t), cpu_per_mib(l)))
    cpu = [c for c in cpu if None not in c]
    out["cpu_ratio"] = [t / l for t, l in cpu]
    out["cpu_talvex"] = [t for t, _ in cpu]
    out["cpu_lazy"] = [l for _, l in cpu]
    for name in ("talvex", "lazy"):
        out["calls_" + name] = [r[name]["calls"] / counted_mib(r[name]) for r in rounds.values()
                                if "calls" in r.get(name, {})]
    return out


def each_minute(f, key):
    """A window's count of one key, per service and minute."""
    return f[key] * 60 / (f["window_ns"] / 1e9) / f["services"]


def per_minute(f, key):
    """A window's CPU time (ns) of one key, per service and minute, in ms."""
    return each_minute(f, key) / 1e6


def idle_figures(records, services):
    """Medians for idle windows of this many services of a kind: each kind's
    own and Wine server CPU per service and minute, and its cost over the
    plain reference, paired by round so that the server's drift between
    rounds cancels."""
    rounds = by_round(records, "idle", "kind", services=services)
    out = {}
    for kind in ("talvex", "reference", "keepalive"):
        windows = [r[kind] for r in rounds.values() if kind in r]
        out[kind + "_own"] = median([per_minute(f, "own_ns") for f in windows])
        out[kind + "_server"] = median([per_minute(f, "server_ns") for f in windows])
        out[kind + "_server_spread"] = spread([per_minute(f, "server_ns") for f in windows])
        calls = [each_minute(f, "server_calls") for f in windows if "server_calls" in f]
        out[kind + "_server_calls"] = median(calls)
        costs = paired(rounds, kind, "reference",
                       lambda k, r: per_minute(k, "own_ns") + per_minute(k, "server_ns") - per_minute(r, "server_ns"))
        out[kind + "_cost"] = median(costs)
        out[kind + "_cost_spread"] = spread(costs)
        rss = [[float(v) for v in str(f["rss_kib"]).split(",")] for f in windows]
        # The first process is the one measured alone; all of them, per service.
        out[kind + "_rss"] = median([r[0] for r in rss])
        out[kind + "_rss_each"] = median([v for r in rss for v in r])
        out[kind + "_growth"] = max((r[0] - f["rss_start_kib"] for r, f in zip(rss, windows)), default=None)
    return out


def values(records, word, key="ms", **match):
    return [f[key] for w, f in records if w == word and key in f and all(f.get(k) == v for k, v in match.items())]


def difference(a, b, scale=1.0):
    return None if a is None or b is None else (a - b) / scale


class Figure:
    """One row: the key, what it says, talvex's value, the reference's, the
    target as text, the limit it works out to, and whether the value must be
    at least or at most that."""

    def __init__(self, key, what, talvex, reference, target, limit, at_least, extra=None, spread=None, note=""):
        self.key, self.what, self.talvex, self.reference = key, what, talvex, reference
        self.target, self.limit, self.at_least, self.extra, self.spread = target, limit, at_least, extra, spread
        self.note = note

    def met(self):
        if self.talvex is None or self.limit is None:
            return None
        ok = self.talvex >= self.limit if self.at_least else self.talvex <= self.limit
        return ok and (self.extra is None or self.extra)


def number(value, digits=3):
    return None if value is None else round(value, digits)


def text(value, digits=2):
    return "-" if value is None else f"{value:.{digits}f}"


def span(values, digits=2):
    """"lowest..highest" of the values."""
    return "-" if not values else f"{min(values):.{digits}f}..{max(values):.{digits}f}"


def compute(records):
    settings = next((f for w, f in records if w == "settings"), {})
    idle_services = settings.get("idle_services", 6)
    scale_services = settings.get("scale_services", 24)
    small, large = copy_figures(records, 100), copy_figures(records, 8192)
    idle, scale = idle_figures(records, idle_services), idle_figures(records, scale_services)
    container_stop = median(values(records, "container", "stop_ms"))
    talvex_stop = median(values(records, "stop", kind="talvex"))
    # Each round's stop of talvex against that of the keep-alive reference,
    # which writes an event and a log line before STOPPED as talvex does.
    stop_over = paired(by_round(records, "stop", "kind"), "talvex", "keepalive", lambda t, k: t["ms"] - k["ms"])
    keepalive_stop = median(values(records, "stop", kind="keepalive"))
    calls_over = paired(by_round(records, "idle", "kind", services=idle_services), "talvex", "keepalive",
                        lambda t, k: each_minute(t, "server_calls") - each_minute(k, "server_calls")
                        if "server_calls" in t and "server_calls" in k else None)
    calls_over = [c for c in calls_over if c is not None]
    resting = [f["later_kib"] - f["first_kib"] for w, f in records if w == "resting"]
    focus = next((f for w, f in records if w == "focus"), None)
    talvex_restart = median(values(records, "restart"))
    reference_restart = median(values(records, "cycle"))
    starts = by_round(records, "start", "kind")
    start_beyond = paired(starts, "talvex", "reference", lambda t, r: t["ms"] - r["ms"])
    # Each round's dump of talvex against that of the keep-alive reference,
    # which does the same on the same control.
    dumps = values(records, "dump", kind="talvex")
    reference_dumps = values(records, "dump", kind="keepalive")
    dump_over = paired(by_round(records, "dump", "kind"), "talvex", "keepalive", lambda t, k: t["ms"] - k["ms"])

    def details_start(kind):
        return median(values(records, "start", kind=kind))

    cycle = next((f for w, f in records if w == "cycle_rss"), None)

    lazy = median(small["lazy"])
    keepalive = idle["keepalive_cost"]
    memory = difference(idle["talvex_rss"], idle["reference_rss"], 1024)
    scale_ratio = None
    if scale["talvex_cost"] is not None and idle["talvex_cost"]:
        scale_ratio = scale["talvex_cost"] / idle["talvex_cost"]
    scale_rss_growth = difference(scale["talvex_rss_each"], idle["talvex_rss_each"])
    # The count that does not drift, for the same question: the Wine
    # server's calls a service, with 24 against with six.
    scale_calls_ratio = None
    if scale["talvex_server_calls"] is not None and idle["talvex_server_calls"]:
        scale_calls_ratio = scale["talvex_server_calls"] / idle["talvex_server_calls"]
    # "Within 20%" bounds the ratio from below as well, and memory per
    # service must stay flat.
    scale_ok = None
    if scale_ratio is not None and scale_rss_growth is not None:
        scale_ok = scale_ratio >= 0.8 and scale_rss_growth <= FLAT_MEMORY_KIB

    figures = [
        Figure("copy_100_ratio", "log copy, 100-byte writes (ratio)", median(small["talvex"]), lazy,
               ">= 0.97 x reference", None if lazy is None else 0.97 * lazy, True, spread=spread(small["talvex"]),
               note=f"to a reader blocked in ReadFile; rounds {span(small['talvex'], 3)}; reference: the reader "
                    f"every 50 ms, rounds {span(small['lazy'], 3)}"),
        Figure("copy_8192_ratio", "log copy, 8 KiB writes (ratio)", median(large["talvex"]), 1.0, ">= 1.8", 1.8,
               True, spread=spread(large["talvex"]), note=f"rounds {span(large['talvex'], 3)}"),
        Figure("stop_ms", "stop beyond the container's own time", difference(talvex_stop, container_stop), 0.0,
               "<= 10 ms", 10.0, False, note=f"control to STOPPED {text(talvex_stop, 1)} ms; the container's own "
                                             f"{text(container_stop, 1)} ms"),
        Figure("restart_ms", "restart beyond a plain service (throttle off)",
               difference(talvex_restart, reference_restart), 0.0, "<= 10 ms", 10.0, False,
               note=f"rounds {span(values(records, 'restart'), 1)} ms against "
                    f"{span(values(records, 'cycle'), 1)}"),
        Figure("dump_ms", "dump beyond a plain service that does the same", median(dump_over), 0.0, "<= 10 ms",
               10.0, False, spread=spread(dump_over),
               note=f"control to the Ctrl+Break attempt, talvex {text(median(dumps), 1)} ms (rounds "
                    f"{span(dumps, 1)}), the keep-alive reference (its child's console, Ctrl+Break, the failure's "
                    f"line) {text(median(reference_dumps), 1)} ms; by round {span(dump_over, 1)}"),
        Figure("stop_over_event_reference_ms", "stop beyond a plain service that does the same", median(stop_over),
               0.0, "<= 1 ms", 1.0, False, spread=spread(stop_over),
               note=f"control to STOPPED, talvex {text(talvex_stop, 1)} ms, the keep-alive reference (shutdown, "
                    f"STOP_PENDING, the container's end, its output to the end, an event, its keep-alive thread's end "
                    f"and log line, a look for exit.bat) {text(keepalive_stop, 1)} ms; rounds "
                    f"{span(stop_over, 1)}"),
        Figure("idle_server_calls_per_min", f"idle Wine-server calls a minute per service, {idle_services} a window",
               idle["talvex_server_calls"], idle["keepalive_server_calls"], "<= reference + 5",
               None if idle["keepalive_server_calls"] is None else idle["keepalive_server_calls"] + 5, False,
               spread=spread(calls_over),
               note=f"reads and writes of the Wine server; reference: the keep-alive newline alone; talvex over it "
                    f"by round {span(calls_over, 1)}; the plain reference {text(idle['reference_server_calls'], 1)}"),
        Figure("idle_cpu_ms_per_min", f"idle CPU per service, {idle_services} a window", idle["talvex_cost"],
               keepalive, "reported", None, False,
               spread=idle["talvex_cost_spread"],
               note=f"own + Wine server over the plain reference, rounds {span(idle['talvex_cost_spread'])}; "
                    f"reference: the keep-alive newline alone, rounds {span(idle['keepalive_cost_spread'])}"),
        Figure("memory_mib", "memory above the plain reference", memory, 0.0, "<= 1.5 MiB", 1.5, False,
               note=f"resident, talvex {text(idle['talvex_rss'], 0)} KiB, the plain reference "
                    f"{text(idle['reference_rss'], 0)}, the keep-alive reference (a thread of its own, as talvex's "
                    f"input flusher; Wine keeps some 970 KiB resident a thread) {text(idle['keepalive_rss'], 0)}"),
        Figure("idle_growth_kib", "memory growth of a resting service", max(resting, default=None), 0.0,
               "<= 0 KiB", 0.0, False,
               note=f"between its first timed wake and the next, the largest of {len(resting)}; over an idle window "
                    f"(first wake included) {text(idle['talvex_growth'], 0)} KiB"),
        Figure("start_ms", "start beyond a plain service", median(start_beyond), 0.0, "<= 15 ms", 15.0, False,
               spread=spread(start_beyond),
               note=f"control to the start marker, talvex {text(details_start('talvex'), 1)} ms, the plain "
                    f"service {text(details_start('reference'), 1)} ms; rounds {span(start_beyond, 1)}"),
        Figure("cpu_per_mib_ratio", "talvex.exe's CPU per MiB copied (ratio)", median(small["cpu_ratio"]), 1.0,
               "<= 0.9", 0.9, False, spread=spread(small["cpu_ratio"]),
               note=f"100-byte writes, over the reader every 50 ms: {text(median(small['cpu_talvex']))} against "
                    f"{text(median(small['cpu_lazy']))} ms/MiB, rounds {span(small['cpu_ratio'])}; reads and writes "
                    f"{text(median(small['calls_talvex']), 0)} against {text(median(small['calls_lazy']), 0)} a MiB"),
        Figure("copy_100_rotation_ratio", "log copy with rotation over without", median(small["rotation"]), 1.0,
               ">= 0.95", 0.95, True, spread=spread(small["rotation"]),
               note=f"100-byte writes, 1 MiB limit, 5 generations; rounds {span(small['rotation'], 3)}"),
        # Reported only: compression runs on a background thread at a low
        # priority, so its cost shows on a machine with cores to spare.
        Figure("copy_100_compressed_ratio", "log copy with compressed rotation over without",
               median(small["compressed"]), 1.0, "reported", None, True, spread=spread(small["compressed"]),
               note=f"100-byte writes, rotation as above with LogFileCompress; rounds {span(small['compressed'], 3)}"),
        Figure("idle_scale_ratio", f"idle CPU per service, {scale_services} over {idle_services} a window",
               scale_ratio, 1.0, "0.8..1.2, memory flat", 1.2, False, extra=scale_ok,
               note=f"{text(scale['talvex_cost'])} ms/min a service (rounds {span(scale['talvex_cost_spread'])}); "
                    f"memory per service {text(scale_rss_growth, 0)} KiB above, flat within {FLAT_MEMORY_KIB}; "
                    f"Wine-server calls a service {text(scale['talvex_server_calls'], 1)} a minute, "
                    f"{text(scale_calls_ratio, 3)} of the six-service figure"),
    ]

    details = {
        "stop_control_to_stopped_ms": talvex_stop,
        "reference_service_stop_ms": median(values(records, "stop", kind="reference")),
        "keepalive_reference_stop_ms": keepalive_stop,
        "dump_control_to_attempt_ms": median(dumps),
        "keepalive_reference_dump_ms": median(reference_dumps),
        "idle_window_growth_kib": idle["talvex_growth"],
        "restart_marker_to_start_ms": talvex_restart,
        "reference_restart_ms": reference_restart,
        "container_stop_ms": container_stop,
        "talvex_start_ms": details_start("talvex"),
        "reference_start_ms": details_start("reference"),
        "restart_cycles_growth_kib": None if cycle is None else cycle["last_kib"] - cycle["first_kib"],
        "copy_100_lazy_reader_ratio": lazy,
        "copy_100_talvex_mib_per_s": median(small["talvex_rate"]),
        "copy_100_reference_mib_per_s": median(small["reference_rate"]),
        "copy_100_lazy_reader_mib_per_s": median(small["lazy_rate"]),
        "copy_100_rotation_mib_per_s": median(small["rotation_rate"]),
        "copy_8192_talvex_mib_per_s": median(large["talvex_rate"]),
        "copy_8192_reference_mib_per_s": median(large["reference_rate"]),
        "talvex_cpu_ms_per_mib": median(small["cpu_talvex"]),
        "lazy_reader_cpu_ms_per_mib": median(small["cpu_lazy"]),
        "talvex_calls_per_mib": median(small["calls_talvex"]),
        "lazy_reader_calls_per_mib": median(small["calls_lazy"]),
        "talvex_own_ms_per_min": idle["talvex_own"],
        "talvex_server_ms_per_min": idle["talvex_server"],
        "reference_own_ms_per_min": idle["reference_own"],
        "reference_server_ms_per_min": idle["reference_server"],
        "keepalive_reference_own_ms_per_min": idle["keepalive_own"],
        "keepalive_reference_server_ms_per_min": idle["keepalive_server"],
        "keepalive_reference_idle_cpu_ms_per_min": keepalive,
        "talvex_server_calls_per_min": idle["talvex_server_calls"],
        "reference_server_calls_per_min": idle["reference_server_calls"],
        "keepalive_reference_server_calls_per_min": idle["keepalive_server_calls"],
        "talvex_rss_kib": idle["talvex_rss"],
        "reference_rss_kib": idle["reference_rss"],
        "keepalive_reference_rss_kib": idle["keepalive_rss"],
        "talvex_rss_kib_per_service": idle["talvex_rss_each"],
        "scale_talvex_own_ms_per_min": scale["talvex_own"],
        "scale_talvex_server_ms_per_min": scale["talvex_server"],
        "scale_reference_server_ms_per_min": scale["reference_server"],
        "scale_idle_cpu_ms_per_min": scale["talvex_cost"],
        "scale_talvex_rss_kib_per_service": scale["talvex_rss_each"],
        "scale_server_calls_ratio": scale_calls_ratio,
    }
    return settings, figures, details, focus


def report(samples_path, json_path):
    records = read_records(samples_path)
    settings, figures, details, focus = compute(records)
    if focus:
        print(f"focused run: {focus['keys']}, {focus['rounds']} rounds in {focus['minutes']} minutes")
    print(f"{'figure':<48} {'talvex':>9} {'reference':>9}  {'target':<24} met")
    for f in figures:
        met = {None: "no figure", True: "yes", False: "NO"}[f.met()]
        if f.target == "reported":
            met = "reported" if f.talvex is not None else "not measured"
        print(f"{f.what:<48} {text(f.talvex, 3):>9} {text(f.reference, 3):>9}  {f.target:<24} {met}")
        if f.note:
            print(f"    {f.note}")
    document = {
        "rounds": settings.get("rounds"),
        "idle_services": settings.get("idle_services"),
        "scale_services": settings.get("scale_services"),
        "idle_rounds": settings.get("idle_rounds"),
        "idle_seconds": settings.get("idle_seconds"),
        "volume_bytes": settings.get("volume"),
        "large_volume_bytes": settings.get("large_volume"),
        "figures": {
            f.key: {"talvex": number(f.talvex), "reference": number(f.reference), "target": f.target,
                    "limit": number(f.limit), "met": f.met(),
                    **({"spread": [number(v) for v in f.spread]} if f.spread else {})}
            for f in figures
        },
        "details": {k: number(v) for k, v in details.items()},
    }
    if focus:
        document["focus"] = {"keys": str(focus["keys"]).split(","), "rounds": focus["rounds"],
                             "minutes": focus["minutes"]}
    with open(json_path, "w") as out:
        json.dump(document, out, indent=2)
        out.write("\n")
    print(textwrap.fill("details: " + ", ".join(f"{k} {text(v)}" for k, v in details.items()), 110,
                        subsequent_indent="    "))
    return 0


def main(argv):
    commands = {
        "watch": (watch, lambda a: (a[0], a[1], float(a[2]), a[3] if len(a) > 3 else None), (3, 4)),
        "wait": (wait, lambda a: (a[0], a[1], float(a[2]), int(a[3]) if len(a) > 3 else None), (3, 4)),
        "volume": (volume, lambda a: a, (3, 4)),
        "restarts": (restarts, lambda a: a, (2, 2)),
        "report": (report, lambda a: a, (2, 2)),
    }
    if len(argv) < 2 or argv[1] not in commands or not (
            commands[argv[1]][2][0] <= len(argv) - 2 <= commands[argv[1]][2][1]):
        print(__doc__, file=sys.stderr)
        return 2
    function, parse, _ = commands[argv[1]]
    return function(*parse(argv[2:])) or 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
