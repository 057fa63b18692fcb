"""The event texts of res/talvex_msg.mc, as the message compiler reads them.

The demo shows the service's events with these texts, and the release's
administrator's guide lists them, so that neither restates the message file.
"""
import re

# The Event Viewer's level for each severity name of the message file.
LEVELS = {"Success": "Information", "Informational": "Information", "Warning": "Warning", "Error": "Error"}
SEVERITY_BITS = {"Success": 0, "Informational": 1, "Warning": 2, "Error": 3}


def read_messages(path):
    """The messages in file order, each a dict with id (the full 32-bit event
    id: severity in the top two bits, customer bit and facility 0), number
    (the low 16 bits, which the Event Viewer shows as the event ID), level,
    name and text (the English lines, joined with line breaks)."""
    messages = []
    header = {}
    body = None
    with open(path, encoding="ascii") as f:
        for line in f:
            line = line.rstrip("\r\n")
            if body is not None:
                if line == ".":
                    messages.append(finish(header, body))
                    header, body = {}, None
                else:
                    body.append(line)
                continue
            match = re.match(r"\s*(MessageId|Severity|SymbolicName|Language)\s*=\s*(\S+)", line)
            if not match:
                continue
            header[match.group(1)] = match.group(2)
            if match.group(1) == "Language":
                body = []
    return messages


def finish(header, body):
    number = int(header["MessageId"], 0)
    severity = header.get("Severity", "Success")
    return {
        "id": SEVERITY_BITS[severity] << 30 | number,
        "number": number,
        "level": LEVELS[severity],
        "name": header.get("SymbolicName", ""),
        "text": "\n".join(body),
    }


def format_message(text, strings):
    """The text with its insertion strings filled in, as FormatMessage and
    the Event Viewer do it: %1 to %99 name the strings, %n breaks the line
    and %% is a percent sign.  A number without a string stays as written."""
    def insert(match):
        code = match.group(1)
        if code == "%":
            return "%"
        if code == "n":
            return "\n"
        index = int(code) - 1
        return strings[index] if index < len(strings) else match.group(0)
    return re.sub(r"%([0-9]{1,2}|n|%)", insert, text)
