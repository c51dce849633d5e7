#!/usr/bin/python3
"""Prints, as JSON, what python3-mutagen reads from each MP3 named on the
command line: the MPEG stream facts and the ID3v1 tag."""
import json
import sys

from mutagen.id3 import ParseID3v1
from mutagen.mp3 import MP3, BitrateMode


def text(frames, key):
    frame = frames.get(key) if frames else None
    return str(frame.text[0]) if frame is not None else ""


def describe(path):
    info = MP3(path).info
    with open(path, "rb") as f:
        f.seek(0, 2)
        size = f.tell()
        tag = None
        if size > 128:
            f.seek(-128, 2)
            tag = ParseID3v1(f.read(128))
    return {
        "version": {1: 1, 2: 2, 2.5: 3}[info.version],
        "layer": info.layer,
        "sample_rate": info.sample_rate,
        "bitrate_kbps": round(info.bitrate / 1000),
        "vbr": info.bitrate_mode == BitrateMode.VBR,
        "mode": info.mode,
        "frame_offset": info.frame_offset,
        "has_tag": tag is not None,
        "title": text(tag, "TIT2"),
        "artist": text(tag, "TPE1"),
        "album": text(tag, "TALB"),
        "year": text(tag, "TDRC"),
        "comment": text(tag, "COMM"),
        "track": text(tag, "TRCK"),
    }


json.dump([describe(p) for p in sys.argv[1:]], sys.stdout)
