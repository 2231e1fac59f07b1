#!/usr/bin/env python3
"""Writes the seed corpus of the fuzz harnesses into fuzz/corpus/<harness>/.

Session seeds follow fuzz_session.cpp's input layout: a mode byte, a cut
byte, then raw bytes or requests (type, length, plain payload) that the
harness completes (encryption with the session key, check bytes).
"""
import io
import os
import shutil
import struct
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
CORPUS = os.path.join(HERE, "corpus")
CONFIG_DATA = os.path.join(HERE, "..", "tests", "data", "config")


def write(harness, name, data):
    folder = os.path.join(CORPUS, harness)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


def frame(kind, payload=b""):
    body = bytes([0xAA, 0x55, kind, len(payload)]) + payload
    check = 0
    for b in body:
        check ^= b
    return body + bytes([check])


def req(kind, payload=b""):
    return bytes([kind, len(payload)]) + payload


def record(strings, fixed=b"", trailing=b""):
    return bytes(len(s) for s in strings) + fixed + b"".join(strings) + trailing


def zip_bytes(entries, method=zipfile.ZIP_DEFLATED):
    out = io.BytesIO()
    with zipfile.ZipFile(out, "w", method) as z:
        for name, data in entries:
            z.writestr(zipfile.ZipInfo(name, (2026, 3, 14, 9, 0, 0)), data)
    return out.getvalue()


class _Pipe(io.RawIOBase):
    """A stream without seek: zipfile then writes data descriptors."""

    def __init__(self):
        self.out = io.BytesIO()

    def writable(self):
        return True

    def write(self, b):
        return self.out.write(b)


def streamed_zip_bytes(name, data, zip64=False):
    pipe = _Pipe()
    info = zipfile.ZipInfo(name, (2026, 3, 14, 9, 0, 0))
    info.compress_type = zipfile.ZIP_DEFLATED
    with zipfile.ZipFile(pipe, "w") as z:
        with z.open(info, "w", force_zip64=zip64) as w:
            w.write(data)
    return pipe.out.getvalue()


def upload_chunk(archive):
    assert len(archive) <= 1280
    cipher_length = (len(archive) + 15) // 16 * 16
    header = struct.pack(">HHB", cipher_length, len(archive), 0xCC)
    return req(0x33, header) + archive.ljust(1280, b"\0")


def session_seeds():
    raw, keyed, client, remote = 0, 1, 2, 3
    complete = 4
    write("session", "ping_raw", bytes([raw, 0]) + frame(0x01, b"\xcc\x33"))
    write("session", "corrupt_and_unknown", bytes([raw, 0]) + frame(0x01, b"\xcc\x33")[:-1] +
          b"\x00" + frame(0x90) + frame(0x21, b"\x01"))
    write("session", "split_ping", bytes([raw, 0x5A]) + frame(0x01, b"\xcc\x33") * 3)
    write("session", "queries", bytes([client | complete, 0]) +
          req(0x21) + req(0x30) + req(0x01, b"\xcc\x33"))
    write("session", "scan_result", bytes([client | complete, 0]) +
          req(0x20) + req(0x30) + req(0x31) + req(0x31) + req(0x31) + req(0x12, b"\xcc\x33"))
    download = req(0x22, record([b"RootFolder", b"readme.txt"])) + req(0x30) + req(0x31) * 3
    write("session", "download", bytes([client | complete, 0]) + download)
    write("session", "download_split", bytes([client | complete | 8, 0x37]) + download)
    write("session", "download_hidden", bytes([client | complete, 0]) +
          req(0x22, record([b"Private", b"secret.txt"])) + req(0x22, record([b"..", b"x"])))
    fixed = struct.pack("<QQ", 0x01DCB3A2_00000000, 5)
    archive = zip_bytes([("new.txt", b"fresh")])
    upload = (req(0x32, record([b"Shared", b"new.txt"], fixed)) + upload_chunk(archive) +
              req(0x33))
    write("session", "upload", bytes([client | complete, 0]) + upload)
    write("session", "upload_split", bytes([client | complete, 0xC3]) + upload)
    write("session", "delete", bytes([client | complete, 0]) +
          req(0x34, record([b"Shared", b"plan.txt"])))
    write("session", "password", bytes([client | complete, 0]) +
          req(0x41, record([b"secret", b"better", b"anna", b"Alpha"])) +
          req(0x40, record([b"remote-pw", b"other"])))
    write("session", "relogin", bytes([keyed | complete, 0]) +
          req(0x11, record([b"gus", b"guest", b"Alpha", b"fuzz"], trailing=b"0" * 32)) +
          req(0x20) + req(0x12, b"\xcc\x33") + req(0x13, record([b"remote-pw"])))
    write("session", "server_logs", bytes([remote | complete, 0]) +
          req(0x24) + req(0x30) + req(0x31) * 4)
    config = zip_bytes([("KestrelServer.xml", b"<?xml version='1.0' ?>\n<KestrelServer_Config/>\n")])
    write("session", "remote_upload", bytes([remote | complete, 0]) +
          req(0x23, record([b"KestrelServer.xml"])) + upload_chunk(config) + req(0x33))


def config_seeds():
    for name in ("general_complete.xml", "group_gaps.xml", "colliding_file_names.xml",
                 "port_8080abc.xml", "not_well_formed.xml", "activate_user_privileges_true.xml"):
        path = os.path.join(CONFIG_DATA, name)
        if os.path.exists(path):
            shutil.copyfile(path, os.path.join(CORPUS, "config", name))


def rights_file(groups):
    text = "<?xml version='1.0' encoding='UTF-8' ?>\n<UserRights>\n"
    for n, (name, visible, write_flag) in enumerate(groups, 1):
        text += (f"    <Group{n}>\n        <Groupname>{name}</Groupname>\n"
                 f"        <Visible>{visible}</Visible>\n        <Write>{write_flag}</Write>\n"
                 f"    </Group{n}>\n")
    return (text + "</UserRights>\n").encode()


def rights_seeds():
    write("rights", "two_groups", rights_file([("Staff", "true", "true"), ("Guests", "true", "false")]))
    write("rights", "yes_and_1", rights_file([("Guests", "YES", "1"), ("staff", "true", "true")]))
    write("rights", "gap", rights_file([("Staff", "true", "false")]).replace(b"Group1", b"Group2"))
    write("rights", "empty_root", b"<?xml version='1.0' encoding='UTF-8' ?>\n<UserRights/>\n")


def zip_seeds():
    write("zip", "deflated", zip_bytes([("transfer.dat", b"hello hello hello\n" * 4)]))
    write("zip", "stored", zip_bytes([("a.txt", b"stored bytes")], zipfile.ZIP_STORED))
    write("zip", "two_entries", zip_bytes([("one", b"first"), ("dir/../two", b"second")]))
    write("zip", "folder_entry", zip_bytes([("folder/", b""), ("folder/f.txt", b"x" * 100)]))
    write("zip", "empty", zip_bytes([]))
    write("zip", "descriptor", streamed_zip_bytes("transfer.dat", b"streamed " * 40))
    write("zip", "descriptor_zip64", streamed_zip_bytes("transfer.dat", b"wide " * 40, zip64=True))


if __name__ == "__main__":
    shutil.rmtree(CORPUS, ignore_errors=True)
    os.makedirs(os.path.join(CORPUS, "config"))
    session_seeds()
    config_seeds()
    rights_seeds()
    zip_seeds()
