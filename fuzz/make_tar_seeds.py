#!/usr/bin/env python3
"""Writes the seed inputs of fuzz_tar_extract into fuzz/corpus/tar: small gzip-compressed and
plain tar archives covering the member kinds and path forms that extraction must handle."""
import gzip
import io
import pathlib
import tarfile

CORPUS = pathlib.Path(__file__).resolve().parent / "corpus" / "tar"


def member(name, kind=tarfile.REGTYPE, data=b"", link=""):
    info = tarfile.TarInfo(name)
    info.type = kind
    info.linkname = link
    info.size = len(data)
    info.mtime = 1600000000
    info.mode = 0o755 if kind == tarfile.DIRTYPE else 0o644
    if kind in (tarfile.CHRTYPE, tarfile.BLKTYPE):
        info.devmajor, info.devminor = 1, 3
    return info, data


def tar_bytes(members, tar_format=tarfile.USTAR_FORMAT):
    buffer = io.BytesIO()
    with tarfile.open(fileobj=buffer, mode="w", format=tar_format) as archive:
        for info, data in members:
            archive.addfile(info, io.BytesIO(data) if data else None)
    # Keep the two end-of-archive blocks but not the zeros that pad the last record: short
    # seeds keep the fuzzer fast.
    raw = buffer.getvalue()
    used = (len(raw.rstrip(b"\0")) + 511) // 512 * 512
    return raw[:used + 1024]


def gzip_bytes(raw):
    return gzip.compress(raw, compresslevel=9, mtime=0)


SEEDS = {
    "files.tar.gz": gzip_bytes(tar_bytes([
        member("readme.txt", data=b"hello\n"),
        member("bin/", tarfile.DIRTYPE),
        member("bin/tool", data=b"#!/bin/sh\necho tool\n"),
    ])),
    "links.tar": tar_bytes([
        member("lib/", tarfile.DIRTYPE),
        member("lib/libx.so.1", data=b"\x7fELF" + bytes(60)),
        member("lib/libx.so", tarfile.SYMTYPE, link="libx.so.1"),
        member("lib/copy.so", tarfile.LNKTYPE, link="lib/libx.so.1"),
        member("fifo", tarfile.FIFOTYPE),
    ]),
    "pax-long-name.tar": tar_bytes([
        member("deep/" + "d" * 120 + "/" + "f" * 120, data=b"long"),
    ], tarfile.PAX_FORMAT),
    "gnu-long-link.tar": tar_bytes([
        member("target", data=b"t"),
        member("n" * 150, tarfile.SYMTYPE, link="l" * 150),
    ], tarfile.GNU_FORMAT),
    "refused.tar": tar_bytes([
        member("../outside", data=b"x"),
        member("/absolute", data=b"x"),
        member("hard", tarfile.LNKTYPE, link="../outside"),
        member("escape", tarfile.SYMTYPE, link=".."),
        member("escape/through", data=b"x"),
        member("null", tarfile.CHRTYPE),
        member("good", data=b"still extracted"),
    ]),
    "empty.tar.gz": gzip_bytes(tar_bytes([])),
}


def main():
    CORPUS.mkdir(parents=True, exist_ok=True)
    for name, contents in SEEDS.items():
        (CORPUS / name).write_bytes(contents)
        print(f"{name}: {len(contents)} bytes")


if __name__ == "__main__":
    main()
