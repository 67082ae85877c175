#!/usr/bin/python3 -Es
"""Writes the reference release: the demo installer image followed by deterministic
padding, 764840193 bytes in all, and prints its SHA-256.

    make_reference_release.py OUTPUT [--image demo_installer.exe]

The padding repeats one 1 MiB block made of SHA-256 digests of a counter, so the
file is the same on every machine. An OUTPUT that already has the right size and a
matching OUTPUT.sha256 beside it (written last) is reused.
"""
import argparse
import hashlib
import os
import sys

RELEASE_SIZE = 764840193
HERE = os.path.dirname(os.path.abspath(__file__))


def padding_block():
    return b"".join(hashlib.sha256(b"Kestrova reference padding %d" % i).digest() for i in range(32768))


def write_release(image_path, output):
    image = open(image_path, "rb").read()
    digest = hashlib.sha256(image)
    block = padding_block()
    remaining = RELEASE_SIZE - len(image)
    tmp = output + ".tmp"
    with open(tmp, "wb") as out:
        out.write(image)
        while remaining > 0:
            piece = block[:remaining]
            out.write(piece)
            digest.update(piece)
            remaining -= len(piece)
    os.replace(tmp, output)
    return digest.hexdigest()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("output")
    parser.add_argument("--image", default=os.path.join(HERE, "demo_installer.exe"))
    args = parser.parse_args()
    stamp = args.output + ".sha256"
    image_time = os.path.getmtime(args.image)
    if (os.path.exists(stamp) and os.path.exists(args.output)
            and os.path.getsize(args.output) == RELEASE_SIZE
            and os.path.getmtime(stamp) >= image_time):
        print(open(stamp).read().strip())
        return 0
    os.makedirs(os.path.dirname(os.path.abspath(args.output)), exist_ok=True)
    sha = write_release(args.image, args.output)
    with open(stamp, "w") as f:
        f.write(sha + "\n")
    print(sha)
    return 0


if __name__ == "__main__":
    sys.exit(main())
