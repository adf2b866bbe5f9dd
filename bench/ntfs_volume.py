#!/usr/bin/env python3
"""Makes an NTFS volume image through an ntfs-3g mount, for the MFT listing's
parity test and its benchmark. Needs root, /dev/fuse, mkntfs and ntfs-3g.

usage: ntfs_volume.py parity IMAGE FORGE_TOOL
       ntfs_volume.py files IMAGE FORGE_TOOL COUNT

parity: what an MFT reader gets wrong first, each with a forged specimen
beside it or in it: hard links (a specimen with two names), a compressed
folder (a specimen written compressed), a sparse file, files whose data
lives in their MFT record, a file with hundreds of hard links (its names
spill into an attribute list), a folder of 20 000 entries, a 30-level path,
Unicode and backslash names, and a clean file carrying a specimen in a named
$DATA stream (ntfs-3g's extended attribute user.NAME) beside a decoy stream
of the same size. Writes IMAGE.rows: the paths below the volume's root that
a scan must report, one a line, hard-linked names each; a stream as
FILE:NAME.

files: COUNT small files (64 to 4096 bytes) in folders of 1000 under Data,
and one specimen of each signature row in WINDOWS/system32, the shape of
bench/image_bench.sh's volume.

The image is made anew each time (a sparse file). Nothing is left mounted.
"""
import os
import random
import subprocess
import sys
import tempfile

COMPRESSED = 0x800
SPARSE = 0x200


def run(*args):
    subprocess.run(args, check=True, stdout=subprocess.DEVNULL)


def forged(forge, row, seed, decoy=False):
    with tempfile.NamedTemporaryFile() as out:
        run(forge, *(["--decoy"] if decoy else []), str(row), out.name, str(seed))
        return open(out.name, "rb").read()


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def attributes(path):
    return int.from_bytes(os.getxattr(path, "system.ntfs_attrib_be"), "big")


def parity(root, forge):
    rows = []

    def specimen(relative, row, seed):
        write(os.path.join(root, relative), forged(forge, row, seed))
        rows.append(relative)

    specimen("Links/row 0.exe", 0, 10)
    os.makedirs(os.path.join(root, "Links/Other"))
    os.link(os.path.join(root, "Links/row 0.exe"), os.path.join(root, "Links/Other/row 0 again.exe"))
    rows.append("Links/Other/row 0 again.exe")
    write(os.path.join(root, "Links/clean.txt"), b"a clean file with two names\n" * 100)
    os.link(os.path.join(root, "Links/clean.txt"), os.path.join(root, "Links/Other/clean again.txt"))

    # Files made in a compressed folder are written compressed.
    os.makedirs(os.path.join(root, "Compressed"))
    os.setxattr(os.path.join(root, "Compressed"), "system.ntfs_attrib_be", COMPRESSED.to_bytes(4, "big"))
    specimen("Compressed/row 3.exe", 3, 11)
    write(os.path.join(root, "Compressed/zeros.bin"), bytes(200000))
    write(os.path.join(root, "Compressed/text.txt"), b"compressible text, over and over\n" * 3000)
    for name in ("row 3.exe", "zeros.bin"):
        if not attributes(os.path.join(root, "Compressed", name)) & COMPRESSED:
            sys.exit("ntfs_volume.py: Compressed/%s was not written compressed" % name)

    with open(os.path.join(root, "sparse.bin"), "wb") as f:
        f.seek(48 << 20)
        f.write(b"the end of a sparse file\n")
    os.setxattr(os.path.join(root, "sparse.bin"), "system.ntfs_attrib_be",
                (attributes(os.path.join(root, "sparse.bin")) | SPARSE).to_bytes(4, "big"))

    # Data this small stays in the file's MFT record.
    for i in range(40):
        write(os.path.join(root, "Small/small %02d.txt" % i), b"x" * (i * 10))
    specimen("Small/row 6.exe", 6, 12)

    target = os.path.join(root, "Many names/target.dat")
    write(target, b"one file, hundreds of names\n" * 50)
    for i in range(400):
        os.link(target, os.path.join(root, "Many names/another name for the same file %03d.dat" % i))

    big = os.path.join(root, "Big")
    os.makedirs(big)
    for i in range(20000):
        with open(os.path.join(big, "entry %05d.txt" % i), "wb") as f:
            f.write(b"%d\n" % i)
    specimen("Big/row 1.exe", 1, 13)
    write(os.path.join(big, "decoy 1.exe"), forged(forge, 1, 14, decoy=True))

    deep = "/".join("level %02d" % i for i in range(1, 31))
    specimen(deep + "/row 2.exe", 2, 15)
    write(os.path.join(root, deep, "clean.txt"), b"thirty folders down\n")

    unicode = "\u00dcn\u00efc\u00f8d\u00e9 \u65e5\u672c\u8a9e \u043f\u0430\u043f\u043a\u0430"
    specimen(unicode + "/row 4 \u2603.exe", 4, 16)
    write(os.path.join(root, unicode, "\u6e05\u6f54.txt"), b"clean\n")

    # ntfs-3g takes a backslash in a name; Windows would read it as a folder.
    specimen("Names/worm\\row 8.exe", 8, 17)
    write(os.path.join(root, "Names/back\\slash.txt"), b"clean\n")

    specimen("row 7.exe", 7, 18)

    # A specimen in a named stream of a clean file, beside a decoy stream of
    # the same size; Linux takes extended attribute values up to 64 KiB.
    carrier = os.path.join(root, "Streams/readme.txt")
    write(carrier, b"the main data of a clean file\n" * 300)
    payload = forged(forge, 5, 19)
    os.setxattr(carrier, "user.payload", payload)
    os.setxattr(carrier, "user.notes", forged(forge, 5, 20, decoy=True))
    if os.getxattr(carrier, "user.payload") != payload:
        sys.exit("ntfs_volume.py: the stream read back is not what was written")
    rows.append("Streams/readme.txt:payload")
    write(os.path.join(root, "Streams/plain.txt"), b"no streams here\n")
    return rows


def files(root, forge, count):
    rng = random.Random(1)
    filler = os.urandom(8192)
    per = 1000
    for i in range(count):
        folder = os.path.join(root, "Data", "d%04d" % (i // per))
        if i % per == 0:
            os.makedirs(folder)
        size = rng.randint(64, 4096)
        start = rng.randrange(4096)
        with open(os.path.join(folder, "f%07d.bin" % i), "wb") as f:
            f.write(filler[start:start + size])
    listed = subprocess.run([forge, "--list"], check=True, capture_output=True, text=True).stdout
    rows = []
    for row in range(len(listed.splitlines())):
        relative = "WINDOWS/system32/row %d.exe" % row
        write(os.path.join(root, relative), forged(forge, row, row))
        rows.append(relative)
    return rows


def main():
    if len(sys.argv) < 4 or sys.argv[1] not in ("parity", "files") or (sys.argv[1] == "files") != (len(sys.argv) == 5):
        sys.exit(__doc__)
    kind, image, forge = sys.argv[1], sys.argv[2], os.path.abspath(sys.argv[3])
    count = int(sys.argv[4]) if kind == "files" else 0
    megabytes = max(256, count // 256 + 1024) if kind == "files" else 256
    for stale in (image, image + ".rows"):
        if os.path.exists(stale):
            os.remove(stale)
    with open(image, "wb") as f:
        f.truncate(megabytes << 20)
    subprocess.run(["mkntfs", "-F", "-Q", "-q", image], check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    mount = tempfile.mkdtemp(prefix="ntfs-volume-")
    run("ntfs-3g", "-o", "streams_interface=xattr", image, mount)
    try:
        rows = parity(mount, forge) if kind == "parity" else files(mount, forge, count)
    finally:
        subprocess.run(["umount", mount], check=True)
        os.rmdir(mount)
    with open(image + ".rows", "w", encoding="utf-8") as f:
        f.writelines(r + "\n" for r in sorted(rows))


if __name__ == "__main__":
    main()
