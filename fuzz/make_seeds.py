#!/usr/bin/env python3
"""Writes the seed corpus of every fuzz target into fuzz/corpus/<target>/.

The seeds are committed; this script documents how each target reads its
input and rebuilds the seeds after a format change:  python3 fuzz/make_seeds.py
"""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def text(value, fill=None):
    """A FuzzReader::text: 16-bit length, then the bytes or one fill byte."""
    if fill is not None:
        return struct.pack(">H", 0x8000 | value) + bytes([fill])
    data = value.encode("latin-1") if isinstance(value, str) else value
    return struct.pack(">H", len(data)) + data


def write(target, seeds):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    for old in os.listdir(folder):
        os.remove(os.path.join(folder, old))
    for name, data in seeds.items():
        with open(os.path.join(folder, name), "wb") as f:
            f.write(data)


SCRIPT = (b"@echo off\r\n"
          b"cd /d \"D:\\svc\\run\"\r\n"
          b"set PATH=D:\\jre\\bin;%PATH%\r\n"
          b"\"D:\\jre\\bin\\java.exe\" -cp c.jar com.example.Container\r\n")

write("exit_marker_fuzz", {
    "normal": b"\x06abc\x070\x07\r\n",
    "restart": b"\x06\x0714\x07",
    "empty": b"\x06\x07\x07",
    "nine_digits": b"\x06\x07123456789\x07",
    "ten_digits": b"\x06\x071234567890\x07",
    "blank_code": b"\x06out\x07 7\x07tail",
    "three_bels": b"\x06\x073\x07\x07",
    "nul_hides_bel": b"\x06\x070\x00\x07",
    "started_then_end": b"\x06\x08up\n\x07-0\x07",
})

write("start_script_fuzz", {
    "canonical": b"\x01" + text("D:\\svc") + text(".\\container.ini") + SCRIPT,
    "absolute_boot": b"\x03" + text("D:\\svc") + text("D:\\cfg\\boot.xml") + SCRIPT,
    "one_quote": b"\x01" + text("D:\\svc") + text("boot.xml") + b"x\n\"D:\\dir\n" + b"PATH=x\n" + b"java\n",
    "no_quote": b"\x01" + text("D:\\svc") + text("boot.xml") + b"x\nD:\\dir\nPATH=x\njava\n",
    "three_lines": b"\x01" + text("D:\\svc") + text("boot.xml") + b"x\n\"D:\\dir\"\nPATH=x\n",
    "long_name": b"\x03" + text(2047, ord("w")) + text(2047, ord("b")) + SCRIPT,
    "missing": b"\x02" + text("D:\\svc") + text(".\\container.ini"),
    "long_lines": b"\x01" + text("D:\\svc") + text("c.ini") + b"a" * 3000 + b"\n\"q\"\n" + b"P=" + b"p" * 2100
                  + b"\n" + b"j" * 5000 + b"\n",
})


def argv(*args):
    return b"\x00".join(a.encode("latin-1") for a in args)


VALID = ["svc", "-wd", "D:\\svc", "-jre", "D:\\jdk\\bin\\java.exe", "-cp", "a.jar;b.jar", "-home", "D:\\orvane"]
write("install_options_fuzz", {
    "valid": b"\x03" + argv(*VALID),
    "all_options": b"\x03" + argv(*VALID, "-a", "-jargs", "-Xmx1g", "-bcp", "x.jar", "-xml", "boot.xml",
                                  "-dsxml", "boot.xml", "-t", "30", "-stoptimeout", "60", "-pwd", "secret"),
    "no_wd": b"\x03" + argv("svc", "-jre", "D:\\jdk\\bin\\java.exe", "-cp", "a.jar", "-home", "D:\\orvane"),
    "long_cwd": b"\x0b" + argv("svc", "-wd", ".", "-jre", "D:\\jdk\\bin\\java.exe"),
    "value_words": b"\x03" + argv("-wd", "-jre", "D:\\jdk\\bin\\java.exe", "-jargs", "-a"),
    "last_word": b"\x03" + argv(*VALID, "-pwd"),
    "long_library": b"\x07" + argv(*VALID),
    "bare_utility": b"\x13" + argv(*VALID),
    "relative_wd": b"\x03" + argv("svc", "-wd", "relative\\dir"),
})

PARAMETERS = [
    ("WorkingDirectory", "D:\\svc"), ("JavaExe", "C:\\jre\\bin\\java.exe"), ("JavaArgs", "-Xmx64m"),
    ("Classpath", "a.jar;b.jar"), ("BootClasspath", "x.jar"), ("OrvaneHome", "D:\\orvane"),
    ("BootFile", "boot.xml"), ("DirectoryServiceBootFile", "ds.xml"), ("TimeoutSeconds", "  45s"),
    ("ShutdownTimeoutSeconds", "600"), ("PBE", "secret"), ("UtilDir", "D:\\orvane\\bin"),
    ("LogContainerOutput", "False"), ("Debug", "0"),
]


def config_seed(tag_of, value_of=lambda name, value: text(value)):
    out = text("svc") + b"\x01"
    for name, value in PARAMETERS:
        out += bytes([tag_of(name)]) + value_of(name, value)
    return out


write("service_config_fuzz", {
    "with_nul": config_seed(lambda n: 1),
    "without_nul": config_seed(lambda n: 2),
    "absent": config_seed(lambda n: 0),
    "over_capacity": config_seed(lambda n: 2, lambda n, v: text(2048 if n != "UtilDir" else 260, ord("x"))),
    "exact_capacity": config_seed(lambda n: 1, lambda n, v: text(2047 if n != "UtilDir" else 259, ord("y"))),
    "raw_types": config_seed(lambda n: 3 | (4 << 2)),
    "no_key": text("svc") + b"\x00",
    "huge_timeouts": text("svc") + b"\x01" + b"".join(
        bytes([2]) + (text("99999999999") if n in ("TimeoutSeconds",) else
                      text("-99999999999") if n == "ShutdownTimeoutSeconds" else text(v))
        for n, v in PARAMETERS),
})

LAUNCH_FIELDS = ["C:\\jre\\bin\\java.exe", "-Xmx64m", "a.jar;b.jar", "x.jar", "", "D:\\orvane",
                 "D:\\orvane\\bin", "boot.xml", ""]
write("launch_command_fuzz", {
    "typical": b"\x00" + b"".join(text(v) for v in LAUNCH_FIELDS),
    "password": b"\x00" + b"".join(text(v if i != 4 else "pass word") for i, v in enumerate(LAUNCH_FIELDS)),
    "all_long": b"\x00" + b"".join(text(259 if i == 6 else 511 if i == 4 else 2047, ord("a") + i)
                                   for i in range(9)),
    "just_fits": b"\x00" + text(3000, ord("j")) + b"".join(text(v) for v in LAUNCH_FIELDS[1:]),
    "small_buffers": b"\x03\x01\x00\x00\x40" + b"".join(text(v) for v in LAUNCH_FIELDS),
    "property_in_args": b"\x00" + text("java") + text("-Dlumora.mf.password=other -x") + b"".join(
        text(v if i != 4 else "secret") for i, v in enumerate(LAUNCH_FIELDS[2:], start=2)),
})

write("path_override_fuzz", {
    "typical": b"\x01" + text("C:\\Windows\\system32;C:\\Windows") + text("D:\\jre") + text("a")
               + text("C:\\Windows") + text("set PATH=%JRE%\\bin;%PATH%\r\n"),
    "no_equals": b"\x01" + text("C:\\Windows") + text("D:\\jre") + text("") + text("C:\\Windows")
                 + text("PATH D:\\jre\n"),
    "long_path": b"\x03" + text(3000, ord("p")) + text("D:\\jre") + text("") + text("")
                 + text("PATH=%PATH%;%JRE%\n"),
    "long_expansion": b"\x01" + text(2040, ord("q")) + text(2900, ord("j")) + text("") + text("")
                      + text("PATH=%JRE%;%PATH%\n"),
    "no_path": b"\x00" + text("") + text("D:\\jre") + text("") + text("") + text("PATH=%JRE%\\bin\n"),
    "line_ends_only": b"\x01" + text("C:\\x") + text("") + text("") + text("") + text("PATH=\r\n"),
    "undefined_names": b"\x01" + text("C:\\x") + text("") + text("") + text("")
                       + text("PATH=%NOPE%%JRE%%%A%\n"),
    "create_fails": b"\x07" + text("C:\\x") + text("D:\\jre") + text("") + text("") + text("PATH=%JRE%\n"),
})
