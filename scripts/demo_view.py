"""What the demo shows a Windows administrator: a service's log file with the
owner of every line named and its markers explained, and its events as the
Event Viewer would show them.

  demo_view.py log <child name> < TalvexDemo.out
  demo_view.py events <message file> < Wine trace
"""
import re
import sys

import message_file

# The Wine trace lines that an event leaves (WINEDEBUG=+eventlog): the source
# opened for it, the call with its type and id, then each insertion string.
# Every line starts with the id of the Wine thread that wrote it.
REGISTER = re.compile(r'^([0-9a-f]+):fixme:advapi:RegisterEventSourceA \(.*?,"(.*)"\): stub$')
REPORT = re.compile(r"^([0-9a-f]+):fixme:advapi:ReportEventA \([^,]*,0x([0-9a-f]+),[^,]*,0x([0-9a-f]+),")
STRING = re.compile(r'^([0-9a-f]+):[a-z]+:eventlog:ReportEventW (L".*)$')
TYPES = {0: "Information", 1: "Error", 2: "Warning", 4: "Information"}
WINE_ESCAPES = {"n": "\n", "r": "\r", "t": "\t", '"': '"', "\\": "\\"}


def wine_text(traced):
    """A string as Wine's debug output quotes it (L"...", with C escapes and
    \\XXXX for other characters, "..." after the quote when it was cut)."""
    cut = traced.endswith('"...')
    body = traced[2:-4] if cut else traced[2:-1]
    def unescape(match):
        code = match.group(1)
        return WINE_ESCAPES[code] if code in WINE_ESCAPES else chr(int(code[-4:], 16))
    text = re.sub(r'\\(x?[0-9a-f]{4}|[nrt"\\])', unescape, body)
    return text + " ..." if cut else text


def show_events(message_path, trace):
    messages = {m["id"]: m for m in message_file.read_messages(message_path)}
    sources, events, open_events = {}, [], {}
    for line in trace:
        line = line.rstrip("\n")
        if match := REGISTER.match(line):
            sources[match.group(1)] = match.group(2)
        elif match := REPORT.match(line):
            thread = match.group(1)
            event = {"type": int(match.group(2), 16), "id": int(match.group(3), 16),
                     "source": sources.get(thread, "?"), "strings": []}
            events.append(event)
            open_events[thread] = event
        elif (match := STRING.match(line)) and match.group(1) in open_events:
            open_events[match.group(1)]["strings"].append(wine_text(match.group(2)))
    print("  %-12s %-12s %-9s %s" % ("Level", "Source", "Event ID", "Text"))
    for event in events:
        message = messages.get(event["id"])
        if message is not None:
            text = message_file.format_message(message["text"], event["strings"])
        else:
            # What the Event Viewer says when the message file has no text.
            text = ("The description for Event ID %d from source %s cannot be found. The event carries: %s"
                    % (event["id"] & 0xFFFF, event["source"], "; ".join(event["strings"])))
        lines = text.replace("\r", "").split("\n")
        print("  %-12s %-12s %-9d %s" % (TYPES.get(event["type"], "?"), event["source"], event["id"] & 0xFFFF,
                                         lines[0]))
        for rest in lines[1:]:
            print("  %-12s %-12s %-9s %s" % ("", "", "", rest))


def marker_meaning(owner, code):
    if owner == "launcher":
        if code == "0":
            return "the launcher ended with exit code 0: talvex starts the container"
        return "the launcher ended with exit code %s: talvex does not start the container" % code
    if code == "14":
        return "the container asks for a restart (exit code 14)"
    return "the container ended with exit code %s" % code


def show_log(child_name, data):
    """Every line of the log with its owner: the launcher's and the
    container's lines start with their name (the stand-in JVM prints
    "<name> launcher:" and "<name> container:"), every other line is
    talvex's own, and a marker belongs to the child whose line came last."""
    owner = "launcher"
    text = data.decode("latin-1").replace("\r", "")
    for piece in re.split(r"(\x07[^\x07]*\x07|\x08|\n)", text):
        if piece in ("", "\n") or piece.isspace():
            continue
        if piece == "\x08":
            shown, owner = "<BS>", "container"
            meaning = "the container says it is up"
        elif piece.startswith("\x07"):
            code = piece[1:-1]
            shown, meaning = "<BEL>%s<BEL>" % code, marker_meaning(owner, code)
        else:
            if piece.startswith(child_name + " launcher:"):
                owner = "launcher"
            elif piece.startswith(child_name + " container:"):
                owner = "container"
            print("  %-9s | %s" % (owner if piece.startswith(child_name + " ") else "talvex", piece))
            continue
        print("  %-9s | %-13s %s" % (owner, shown, meaning))


def main():
    if len(sys.argv) == 3 and sys.argv[1] == "log":
        show_log(sys.argv[2], sys.stdin.buffer.read())
    elif len(sys.argv) == 3 and sys.argv[1] == "events":
        show_events(sys.argv[2], open(0, encoding="utf-8", errors="replace"))
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main()
