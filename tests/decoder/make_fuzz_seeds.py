#!/usr/bin/env python3
# make_fuzz_seeds.py: writes the decoder fuzzer's starting inputs into fuzz-seeds/ (run by hand; the files are committed).
# Each seed is the fuzzer's mode byte and option byte, then the mode's input (see decoder_fuzzer.cpp).
import lzma
import os
import random
import subprocess

here = os.path.dirname(os.path.abspath(__file__))
out = os.path.join(here, "fuzz-seeds")
os.makedirs(out, exist_ok=True)
rng = random.Random(1)
words = b"the setup program extracts files into a folder and runs it then cleans up".split()
text = b" ".join(rng.choice(words) for _ in range(500))[:2500]
noise = bytes(rng.randrange(256) for _ in range(700))
mixed = text[:800] + noise + text[:600] + b"A" * 400


def lzma2(data, dict_size=4096, **opts):
    return lzma.compress(data, format=lzma.FORMAT_RAW,
                         filters=[dict(id=lzma.FILTER_LZMA2, dict_size=dict_size, **opts)])


def xz_cli(data, *args):
    return subprocess.run(["xz", "-c", *args], input=data, check=True, stdout=subprocess.PIPE).stdout


seeds = {
    # mode 0: whole .xz streams
    "stream-crc32": b"\x03\x10" + lzma.compress(text, check=lzma.CHECK_CRC32),
    "stream-crc64-1byte-out": b"\x00\x05" + lzma.compress(mixed, check=lzma.CHECK_CRC64, preset=1),
    "stream-blocks": b"\x06\x30" + xz_cli(mixed, "-T2", "--block-size=600", "-6"),
    "stream-empty": b"\x03\x01" + lzma.compress(b""),
    # mode 1: raw LZMA2 data, wrapped by the fuzzer
    "lzma2-text": b"\x01\x02" + lzma2(text),
    "lzma2-mixed-lp": b"\x04\x47" + lzma2(mixed, lc=1, lp=3, pb=4),
    "lzma2-stored": b"\x01\x81" + lzma2(noise),
    # mode 2: data for liblzma to compress with the option bytes
    "roundtrip-text": b"\x02\x25\x13" + text[:1500],
    "roundtrip-mixed": b"\x05\xa1\xe2" + mixed[:2000],
}
for name, data in seeds.items():
    assert len(data) < 4096, name
    with open(os.path.join(out, name), "wb") as f:
        f.write(data)
