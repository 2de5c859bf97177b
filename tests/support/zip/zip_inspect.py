"""An independent look at ZIP archives for the ZIP engine's tests (Python's own zipfile).

dump ARCHIVE         prints the archive's layout as one JSON object
make ARCHIVE LAYOUT    writes an archive from a JSON list of members:
                     {"name", "data", "file": PATH (data read from a file), "repeat": N (data N times),
                      "method": "stored"|"deflated"|"bzip2", "system", "attr",
                      "flip": true (damage one data byte), "declare": N (claim N bytes unpacked; above
                      4 GiB through the ZIP64 extra field)}
"""
import json
import struct
import sys
import zipfile

METHODS = {"stored": zipfile.ZIP_STORED, "deflated": zipfile.ZIP_DEFLATED, "bzip2": zipfile.ZIP_BZIP2}


def dump(path):
    with open(path, "rb") as f:
        raw = f.read()
    with zipfile.ZipFile(path) as z:
        members = []
        for i in z.infolist():
            members.append({
                "name": i.filename, "method": i.compress_type, "flags": i.flag_bits,
                "comment": i.comment.decode("latin-1"), "extra": i.extra.hex(),
                "system": i.create_system, "attr": i.external_attr, "size": i.file_size,
                "csize": i.compress_size, "crc": i.CRC, "date": list(i.date_time),
            })
        eocd = raw.rfind(b"PK\x05\x06")
        out = {
            "comment": z.comment.decode("latin-1"),
            "bad": z.testzip(),
            "zip64": eocd >= 20 and raw[eocd - 20:eocd - 16] == b"PK\x06\x07",
            "members": members,
        }
    print(json.dumps(out))


def patch_zip64_size(raw, info, declared):
    # The local header's ZIP64 extra field holds the uncompressed size first; the central
    # directory's was written from the size set before the archive was closed.
    name_len, extra_len = struct.unpack("<HH", raw[info.header_offset + 26:info.header_offset + 30])
    at = info.header_offset + 30 + name_len
    end = at + extra_len
    while at + 4 <= end:
        tag, size = struct.unpack("<HH", raw[at:at + 4])
        if tag == 1:
            raw[at + 4:at + 12] = struct.pack("<Q", declared)
            return
        at += 4 + size
    raise SystemExit("no ZIP64 extra field in the local header of " + info.filename)


def patch_sizes(raw, info, declared):
    if declared > 0xFFFFFFFF:
        patch_zip64_size(raw, info, declared)
        return
    # Local header: uncompressed size at offset 22; central header: at offset 24.
    raw[info.header_offset + 22:info.header_offset + 26] = struct.pack("<I", declared)
    eocd = raw.rfind(b"PK\x05\x06")
    cd = struct.unpack("<I", raw[eocd + 16:eocd + 20])[0]
    while raw[cd:cd + 4] == b"PK\x01\x02":
        name_len, extra_len, comment_len = struct.unpack("<HHH", raw[cd + 28:cd + 34])
        offset = struct.unpack("<I", raw[cd + 42:cd + 46])[0]
        if offset == info.header_offset:
            raw[cd + 24:cd + 28] = struct.pack("<I", declared)
        cd += 46 + name_len + extra_len + comment_len


def make(path, layout):
    with zipfile.ZipFile(path, "w") as z:
        for m in layout:
            info = zipfile.ZipInfo(m["name"], (2024, 1, 31, 12, 0, 0))
            info.compress_type = METHODS[m.get("method", "stored")]
            if "system" in m:
                info.create_system = m["system"]
            info.external_attr = m.get("attr", 0o100644 << 16)
            if "file" in m:
                with open(m["file"], "rb") as source:
                    data = source.read()
            else:
                data = m.get("data", "").encode("latin-1") * m.get("repeat", 1)
            if m.get("declare", 0) > 0xFFFFFFFF:
                with z.open(info, "w", force_zip64=True) as out:
                    out.write(data)
                info.file_size = m["declare"]  # the central directory is written from this
            else:
                z.writestr(info, data)
    raw = bytearray(open(path, "rb").read())
    with zipfile.ZipFile(path) as z:
        infos = z.infolist()
    for m, info in zip(layout, infos):
        if m.get("flip"):
            name_len, extra_len = struct.unpack("<HH", raw[info.header_offset + 26:info.header_offset + 30])
            start = info.header_offset + 30 + name_len + extra_len
            raw[start + info.compress_size // 2] ^= 0x55
        if "declare" in m:
            patch_sizes(raw, info, m["declare"])
    with open(path, "wb") as f:
        f.write(raw)


if __name__ == "__main__":
    if sys.argv[1] == "dump":
        dump(sys.argv[2])
    else:
        make(sys.argv[2], json.loads(sys.argv[3]))
