# SPDX-License-Identifier: MIT
"""The user partition's JFFS2 filesystem read back into the board's files, as the guest's
kernel leaves it (big-endian nodes)."""
import os
import shutil
import stat
import struct
import zlib

# JFFS2 as the guest's kernel leaves it on the user partition (big-endian nodes).
JFFS2_MAGIC = 0x1985
JFFS2_DIRENT, JFFS2_INODE = 0xE001, 0xE002


def jffs2_crc(data):
    """The kernel's crc32 as JFFS2 keeps it: seed 0, no final inversion."""
    return zlib.crc32(data, 0xFFFFFFFF) ^ 0xFFFFFFFF


def rtime_decompress(data, size):
    out, positions, at = bytearray(), [0] * 256, 0
    while len(out) < size and at + 1 < len(data):
        value, repeat = data[at], data[at + 1]
        at += 2
        out.append(value)
        back = positions[value]
        positions[value] = len(out)
        for _ in range(repeat):
            out.append(out[back])
            back += 1
    return bytes(out[:size])


def jffs2_nodes(image):
    """The valid dirent and inode nodes, as a mount would accept them."""
    at = 0
    while at + 12 <= len(image):
        magic, ntype, total, hcrc = struct.unpack_from(">HHII", image, at)
        if magic != JFFS2_MAGIC or jffs2_crc(image[at:at + 8]) != hcrc or total < 12 \
                or at + total > len(image):
            at += 4
            continue
        node = image[at:at + total]
        if ntype == JFFS2_DIRENT and total >= 40:
            pino, ver, ino, _, nsize, _, ncrc, namecrc = struct.unpack_from(">IIIIBBxxII", node, 12)
            name = node[40:40 + nsize]
            if jffs2_crc(node[:32]) == ncrc and jffs2_crc(name) == namecrc and len(name) == nsize:
                yield "dirent", (pino, ver, ino, name.decode("latin-1"))
        elif ntype == JFFS2_INODE and total >= 68:
            f = struct.unpack_from(">IIIHHIIIIIIIBBHII", node, 12)
            ino, ver, mode, isize, offset, csize, dsize, compr, dcrc, ncrc = (
                f[0], f[1], f[2], f[5], f[9], f[10], f[11], f[12], f[15], f[16])
            data = node[68:68 + csize]
            if jffs2_crc(node[:60]) == ncrc and (csize == 0 or jffs2_crc(data) == dcrc):
                yield "inode", (ino, ver, mode, isize, offset, dsize, compr, data)
        at += (total + 3) & ~3


def jffs2_tree(image):
    """{path: (mode, bytes)} of the filesystem a mount of IMAGE shows."""
    dirents, inodes = {}, {}
    for kind, node in jffs2_nodes(image):
        if kind == "dirent":
            pino, ver, ino, name = node
            if (pino, name) not in dirents or dirents[(pino, name)][0] < ver:
                dirents[(pino, name)] = (ver, ino)
        else:
            inodes.setdefault(node[0], []).append(node)
    files = {}
    for ino, nodes in inodes.items():
        nodes.sort(key=lambda n: n[1])
        mode, isize = nodes[-1][2], nodes[-1][3]
        data = bytearray(isize)
        for _, _, _, _, offset, dsize, compr, raw in nodes:
            piece = (zlib.decompress(raw) if compr == 6 else rtime_decompress(raw, dsize)
                     if compr == 2 else bytes(dsize) if compr == 1 else raw)[:dsize]
            end = min(offset + len(piece), isize)
            data[offset:end] = piece[:max(0, end - offset)]
        files[ino] = (mode, bytes(data))
    children = {}
    for (pino, name), (_, ino) in dirents.items():
        if ino:
            children.setdefault(pino, []).append((name, ino))
    tree, todo = {}, [(1, "")]
    while todo:
        pino, prefix = todo.pop()
        for name, ino in children.get(pino, []):
            mode, data = files.get(ino, (0o40755, b""))
            tree[prefix + name] = (mode, data)
            if stat.S_ISDIR(mode) and len(tree) < 100000:
                todo.append((ino, prefix + name + "/"))
    return tree


def extract_jffs2(image, dest):
    """Replaces DEST's contents with the filesystem in IMAGE."""
    for name in os.listdir(dest):
        p = os.path.join(dest, name)
        shutil.rmtree(p) if os.path.isdir(p) and not os.path.islink(p) else os.unlink(p)
    for path, (mode, data) in sorted(jffs2_tree(image).items()):
        target = os.path.join(dest, path)
        if stat.S_ISDIR(mode):
            os.makedirs(target, exist_ok=True)
        elif stat.S_ISLNK(mode):
            os.symlink(data.decode("latin-1"), target)
        elif stat.S_ISREG(mode):
            with open(target, "wb") as f:
                f.write(data)
            os.chmod(target, stat.S_IMODE(mode))
