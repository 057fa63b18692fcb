"""The release zip and MSI, their checksum file, and the check of all three.

  package.py make <bin dir> <dist dir>   writes talvex-<version>-win64.zip, talvex-<version>-x64.msi
                                         (wixl, from scripts/talvex.wxs) and SHA256SUMS
  package.py verify <dist dir>           unpacks both and checks them (scripts/package.sh runs both)

The zip is the same bytes for the same sources: its members come in a fixed
order with a fixed date and fixed permissions, and the three product files
carry no time stamp of their own (cmake/windows.cmake).
"""
import hashlib
import os
import re
import struct
import subprocess
import sys
import tempfile
import zipfile

import message_file

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PRODUCT = ["talvex.exe", "talvexMSG.dll", "talvexUtil.dll"]
GUIDE = "ADMINISTRATORS-GUIDE.txt"
NOTICES = "THIRD-PARTY-NOTICES.txt"
# The earliest date a zip can hold: the members carry no build time.
ZIP_DATE = (1980, 1, 1, 0, 0, 0)


def version():
    with open(os.path.join(ROOT, "VERSION"), encoding="ascii") as f:
        return f.readline().strip()


def zip_name():
    return "talvex-%s-win64.zip" % version()


def msi_name():
    return "talvex-%s-x64.msi" % version()


def make_msi(files, dist):
    """The MSI of the zip's members (in `files`, a folder that holds them),
    each its own component, built with wixl."""
    with open(os.path.join(ROOT, "scripts", "talvex.wxs"), encoding="utf-8") as f:
        source = f.read()
    entries, refs = [], []
    for number, name in enumerate(members(), 1):
        entries.append('          <Component Id="C%d" Guid="*" Win64="yes">\n'
                       '            <File Id="F%d" Name="%s" Source="%s" KeyPath="yes"/>\n'
                       '          </Component>' % (number, number, name, name))
        refs.append('      <ComponentRef Id="C%d"/>' % number)
    source = source.replace("<!-- files -->", "\n".join(entries)).replace("<!-- components -->", "\n".join(refs))
    wxs = os.path.join(files, "talvex.wxs")
    with open(wxs, "w", encoding="utf-8") as f:
        f.write(source)
    # The sources are named relative to the folder wixl runs in.
    subprocess.run(["wixl", "-a", "x64", "-D", "Version=" + version(), "-o", os.path.abspath(os.path.join(dist, msi_name())),
                    "talvex.wxs"], cwd=files, check=True, stderr=subprocess.DEVNULL)


def members():
    """The zip's file names in their order; the license of a linked library
    comes along when the repository has one."""
    names = PRODUCT + [GUIDE, "LICENSE"]
    if os.path.exists(os.path.join(ROOT, NOTICES)):
        names.append(NOTICES)
    return names


def readme_section(readme, title):
    """The body of the README's "### <title>" section, up to the next heading."""
    match = re.search(r"^### %s\n(.*?)(?=^#{1,3} )" % re.escape(title), readme, re.M | re.S)
    if match is None:
        sys.exit("package: the README has no section \"### %s\" for the guide" % title)
    return match.group(1).strip("\n")


def events_table():
    rows = ["| Event ID | Level | Text |", "| --- | --- | --- |"]
    for message in message_file.read_messages(os.path.join(ROOT, "res", "talvex_msg.mc")):
        rows.append("| %d | %s | %s |" % (message["number"], message["level"], message["text"].replace("\n", " ")))
    return "\n".join(rows)


def guide():
    """docs/administrators-guide.md with the README's sections and the event
    texts put in, so that neither is written twice; CR LF line ends, which
    every Windows editor shows as lines."""
    with open(os.path.join(ROOT, "README.md"), encoding="utf-8") as f:
        readme = f.read()
    with open(os.path.join(ROOT, "docs", "administrators-guide.md"), encoding="utf-8") as f:
        text = f.read()
    text = text.replace("@VERSION@", version())
    text = re.sub(r"^<!-- README section: (.*) -->$", lambda m: readme_section(readme, m.group(1)), text, flags=re.M)
    text = text.replace("<!-- events of res/talvex_msg.mc -->", events_table())
    if "<!--" in text:
        sys.exit("package: the guide holds a placeholder that was not filled in")
    return text.replace("\n", "\r\n").encode("utf-8")


def member_bytes(name, bin_dir):
    if name in PRODUCT:
        path = os.path.join(bin_dir, name)
    elif name == GUIDE:
        return guide()
    else:
        path = os.path.join(ROOT, name)
    with open(path, "rb") as f:
        return f.read()


def make(bin_dir, dist):
    os.makedirs(dist, exist_ok=True)
    path = os.path.join(dist, zip_name())
    with tempfile.TemporaryDirectory() as files, zipfile.ZipFile(path, "w") as archive:
        for name in members():
            data = member_bytes(name, bin_dir)
            info = zipfile.ZipInfo(name, ZIP_DATE)
            info.compress_type = zipfile.ZIP_DEFLATED
            info.create_system = 3
            info.external_attr = 0o100644 << 16
            archive.writestr(info, data, compresslevel=9)
            with open(os.path.join(files, name), "wb") as f:
                f.write(data)
        make_msi(files, dist)
    # The format sha256sum writes and checks: the digest, two blanks, the name.
    with open(os.path.join(dist, "SHA256SUMS"), "w", encoding="ascii", newline="\n") as f:
        for name in (zip_name(), msi_name()):
            with open(os.path.join(dist, name), "rb") as package:
                f.write("%s  %s\n" % (hashlib.sha256(package.read()).hexdigest(), name))
    print("package: %s and %s" % (os.path.relpath(path), os.path.relpath(os.path.join(dist, msi_name()))))


def file_version(data):
    """The file version in a PE file's version resource: the fixed part
    (VS_FIXEDFILEINFO, which Explorer shows as "File version"), found by its
    signature, and the "FileVersion" text of its string table."""
    at = data.find(struct.pack("<I", 0xFEEF04BD))
    if at < 0:
        return None, None
    ms, ls = struct.unpack_from("<II", data, at + 8)
    fixed = "%d.%d.%d.%d" % (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)
    key = "FileVersion\0".encode("utf-16-le")
    text_at = data.find(key, at)
    if text_at < 0:
        return fixed, None
    # The value follows its key, aligned to four bytes from the block's start.
    value_at = text_at + len(key)
    value_at += (-value_at) % 4
    end = value_at
    while data[end:end + 2] != b"\0\0":
        end += 2
    return fixed, data[value_at:end].decode("utf-16-le")


def verify(dist):
    """What an administrator relies on: the checksum file matches the zip
    (as sha256sum checks it), the zip unpacks with intact members and holds
    exactly the release's files, and all three product files carry the
    release's version."""
    failures = []
    check = subprocess.run(["sha256sum", "--check", "--strict", "SHA256SUMS"], cwd=dist,
                           capture_output=True, text=True)
    if check.returncode != 0:
        failures.append("SHA256SUMS does not match: " + (check.stdout + check.stderr).strip())
    with tempfile.TemporaryDirectory() as unpacked:
        with zipfile.ZipFile(os.path.join(dist, zip_name())) as archive:
            broken = archive.testzip()
            if broken is not None:
                failures.append("the member %s is damaged" % broken)
            archive.extractall(unpacked)
        found = sorted(os.listdir(unpacked))
        if found != sorted(members()):
            failures.append("the zip holds %s, not %s" % (found, sorted(members())))
        want = version()
        for name in PRODUCT:
            path = os.path.join(unpacked, name)
            if not os.path.exists(path):
                continue
            with open(path, "rb") as f:
                fixed, text = file_version(f.read())
            if fixed != want + ".0" or text != want:
                failures.append("%s carries the file version %s (%s), not %s" % (name, fixed, text, want))
        failures += verify_msi(dist, unpacked)
    for failure in failures:
        print("package: FAIL: " + failure)
    if failures:
        sys.exit(1)
    print("package: %s and %s hold %s; checksums and file versions match" % (zip_name(), msi_name(),
                                                                             ", ".join(members())))


def verify_msi(dist, unpacked):
    """The MSI holds the zip's members, byte for byte, in the talvex folder,
    and carries the release's version and talvex's UpgradeCode."""
    failures = []
    msi = os.path.join(dist, msi_name())
    with tempfile.TemporaryDirectory() as extracted:
        subprocess.run(["msiextract", "-C", extracted, msi], check=True, capture_output=True)
        # msiextract lays the files out under the folder's own name.
        folder = os.path.join(extracted, "talvex")
        found = sorted(os.listdir(folder)) if os.path.isdir(folder) else []
        if found != sorted(members()):
            failures.append("the MSI holds %s, not %s" % (found, sorted(members())))
        for name in found:
            with open(os.path.join(folder, name), "rb") as a, open(os.path.join(unpacked, name), "rb") as b:
                if a.read() != b.read():
                    failures.append("the MSI's %s differs from the zip's" % name)
    properties = subprocess.run(["msiinfo", "export", msi, "Property"], check=True, capture_output=True,
                                text=True).stdout
    with open(os.path.join(ROOT, "scripts", "talvex.wxs"), encoding="utf-8") as f:
        upgrade = re.search(r'UpgradeCode="([^"]+)"', f.read()).group(1)
    for key, value in (("ProductVersion", version()), ("UpgradeCode", "{%s}" % upgrade)):
        if "%s\t%s" % (key, value) not in properties:
            failures.append("the MSI's %s is not %s" % (key, value))
    return failures


def main():
    if len(sys.argv) == 4 and sys.argv[1] == "make":
        make(sys.argv[2], sys.argv[3])
    elif len(sys.argv) == 3 and sys.argv[1] == "verify":
        verify(sys.argv[2])
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main()
