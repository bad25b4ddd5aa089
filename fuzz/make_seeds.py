#!/usr/bin/env python3
"""Writes the seed inputs of the fuzz targets into corpus/<target>/seed-*.

The seeds are well-formed inputs of each target (a valid image, a list, whole
transfers in every protocol form, a log, typed replies, the factory VPD
record) so that the fuzzer starts from the paths that matter; files of the
tests are taken as they are. Regression inputs (crash-*) are kept by hand.
Run again after changing an input format; it replaces only seed-* files.
"""
import binascii
import pathlib
import struct

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE.parent
TARGET_DEVICE = 0x00508541


def stk_crc(data):
    table = []
    for i in range(256):
        r, d = 0, i
        for _ in range(8):
            r = (r << 1) & 0xFFFF if (r & 0x8000 != 0) == (d & 0x80 != 0) else ((r << 1) ^ 0xA097) & 0xFFFF
            d <<= 1
        table.append(r)
    crc = 0
    for b in data:
        crc = ((crc << 8) & 0xFF00) ^ table[crc >> 8] ^ b
    return crc


def with_file_crc(data):
    data = bytearray(data)
    data[0:2] = struct.pack(">H", stk_crc(data[2:]))
    return bytes(data)


def image_header(size, components=1, payload_offset=0, payload_size=0):
    h = bytearray(1220)
    struct.pack_into(">IIII", h, 0, 0, TARGET_DEVICE, size, components)
    struct.pack_into(">HHIIIIIII", h, 16, 0x1234, 0, 0, 0x01020304, payload_size, payload_offset,
                     0x10000, 1, 0)
    h[784:788] = bytes([ord("A"), 2, 3, 4])
    h[788:788 + 19] = b"2026-12-07 01:00:00"
    h[820:820 + 10] = b"image.opr\0"
    return h


def image_seeds():
    plain = with_file_crc(image_header(1220 + 16, payload_size=16) + bytes(range(16)))
    records = 2
    header_length = 88 + 28 * records
    body = image_header(1220, 0)
    total = header_length + len(body)
    stk = bytearray(header_length)
    struct.pack_into(">HHIII4BI", stk, 0, 0, 0xAA55, 0x2288BB66, records, total, 1, 2, 3, 4,
                     header_length)
    struct.pack_into(">III", stk, 88, header_length, 0x00501234, 1)
    struct.pack_into(">III", stk, 88 + 28, header_length, TARGET_DEVICE, 1)
    empty = bytearray(stk[:88])
    struct.pack_into(">I", empty, 8, 0)
    return {
        "golden": (ROOT / "tests/image/golden.stk").read_bytes(),
        "plain": plain,
        "stk-two-records": with_file_crc(bytes(stk) + body),
        "stk-empty": bytes(empty),
        "short": plain[:87],
    }


def dim_seeds():
    def block(curr, nxt, name, desc):
        return f"---IMAGE---\n{curr}\n{nxt}\n{name}\n0\n{desc}\n"
    two = block("active", "active", "image1", "default image") + block("backup", "backup", "image2", "")
    pending = block("active", "backup", "image1", "") + block("backup", "active", "image2", "new")
    three = two + block("backup", "backup", "image3", "")
    return {
        "two-valid": b"\x07" + two.encode(),
        "two-invalid": b"\x03" + two.encode(),
        "pending-activate": b"\x0f" + pending.encode(),
        "three-blocks": b"\x07" + three.encode(),
        "long-line": b"\x03" + (block("active", "active", "image1", "d" * 255) +
                                 "---IMAGE---\nbackup\n" + "x" * 300 + "\n").encode(),
        "no-line-feed": b"\x01---IMAGE---\nactive\nactive\nimage1\n0\nlast",
    }


# --- Transfers: segments of the receive target -----------------------------

def segments(chunks):
    """chunks: one byte string per receiver protocol byte (the sender's answer
    to it); long answers go on in continuation segments."""
    out = bytearray()
    for chunk in chunks:
        first = True
        while first or chunk:
            piece, chunk = chunk[:63], chunk[63:]
            out += bytes([len(piece) | (0 if first else 0x80)]) + piece
            first = False
    return bytes(out)


def block(number, data, size, crc, pad=b"\x1a"):
    data = data.ljust(size, pad)
    head = bytes([0x01 if size == 128 else 0x02, number & 0xFF, 0xFF - (number & 0xFF)])
    check = struct.pack(">H", binascii.crc_hqx(data, 0)) if crc else bytes([sum(data) & 0xFF])
    return head + data + check


def payload(n):
    return bytes((i * 7 + 3) & 0xFF for i in range(n))


def xmodem_session(crc, one_k, eot_check, text=False):
    size = 1024 if one_k else 128
    data = (b"line one\r\nline two\r\n" * 20) if text else payload(300)
    blocks = [block(i + 1, data[i * size:(i + 1) * size], size, crc)
              for i in range((len(data) + size - 1) // size)]
    # The answer to 'C' is nothing when a 'K' follows it.
    chunks = ([b""] if crc and one_k else []) + blocks  # then one block per ACK
    chunks.append(b"\x04")  # EOT after the last ACK
    if eot_check:
        chunks.append(b"\x04")  # the NAK asks again
    return segments(chunks)


def ymodem_header(name, length, size=128, crc=True):
    return block(0, name + b"\0" + str(length).encode() + b" 0 0 0 1 " + str(length).encode(), size,
                 crc, b"\0")


def ymodem_session():
    data = payload(1000)
    blocks = [block(i + 1, data[i * 128:(i + 1) * 128], 128, True) for i in range(8)]
    chunks = [ymodem_header(b"Image1.STK", 1000), b""]  # 'C', then ACK
    chunks += blocks  # after the 'C' that follows the header's ACK, then one per ACK
    chunks += [b"\x04", b"\x04", b"", block(0, b"", 128, True, b"\0")]  # NAK, ACK, next 'C'
    return segments(chunks)


def ymodem_g_session():
    data = payload(2048)
    stream = b"".join(block(i + 1, data[i * 1024:(i + 1) * 1024], 1024, True) for i in range(2))
    chunks = [ymodem_header(b"code.bin", 2048), stream + b"\x04", b"\x04", b"",
              block(0, b"", 128, True, b"\0")]
    return segments(chunks)


def modem7_session():
    name = b"XCODE   BIN"
    chunks = [b"\x06" + name[:1]] + [bytes([c]) for c in name[1:]] + [b"\x1a"]
    chunks.append(b"\x06" + block(1, payload(128), 128, False))  # after the checksum byte
    chunks += [b"\x04", b"\x04", b"", b"\x06\x04"]  # ACK, EOT, NAK, ACK; next NAK: end of batch
    return segments(chunks)


def receive_seeds():
    C, K, E, Y, G, T, M = 0x01, 0x02, 0x04, 0x08, 0x10, 0x20, 0x80
    return {
        "xmodem-checksum": bytes([0]) + xmodem_session(False, False, True),
        "xmodem-crc": bytes([C]) + xmodem_session(True, False, True),
        "xmodem-1k-boot-form": bytes([C | K | E]) + xmodem_session(True, True, False),
        "xmodem-text": bytes([C | T]) + xmodem_session(True, False, True, text=True),
        "ymodem-batch": bytes([C | Y]) + ymodem_session(),
        "ymodem-g": bytes([G]) + ymodem_g_session(),
        "modem7": bytes([M]) + modem7_session(),
        "cancel": bytes([C]) + segments([b"\x18\x18"]),
    }


def log_record(words):
    rec = bytearray(52)
    for i, w in enumerate(words):
        struct.pack_into(">I", rec, 4 * i, w)
    return rec


def event(kind, file, line, code, time):
    rec = log_record([kind])
    rec[4:4 + len(file)] = file
    struct.pack_into(">IIII", rec, 36, line, 0x00ABCDEF, code, time)
    return bytes(rec)


def eventlog_seeds():
    records = [event(1, b"startup.c", 120, 0x10, 90061), event(2, b"x" * 32, -1 & 0xFFFFFFFF, 5, 0),
               bytes(log_record([3, 0x100, 0x200, 0x300, 0x400, 0x500, 86399])),
               bytes(log_record([4, 1, 2, 3, 4, 5, 7])), bytes(log_record([0x300])),
               bytes(log_record([0x1100])), bytes(log_record([7, 1, 2, 3, 4, 5]))]
    free = b"\xff" * 52
    log = b"".join(records) + free
    return {
        "records": b"\x00" + log,
        "log-off": b"\x01" + log,
        "full-small": bytes([4 << 1]) + b"".join(records)[:116],
        "empty": b"\x00" + free,
        "golden-text": b"\x00" + (ROOT / "tests/eventlog/golden.txt").read_bytes(),
    }


def menu_line_seeds():
    return {
        "options": b"\x00" + b"1\r2\n12\b\r1\b2\r?\r257\r-1\r\r99\r" + b"9" * 100 + b"\r",
        "confirmations": b"\x01" + b"y\rY\r\bn\r\r\b\by\rno\n",
    }


def memory_seeds():
    return {
        "dump": b"r 7c004000 20\nR 0 16\nr fe000000 40\nr f0003000 32\nr fffffff0 100\n",
        "stores": b"wb 100 ff\nww 102 1234\nwl 104 89abcdef\nwx 0 1\nr 100 8\n",
        "flash": b"ww fe000aaa aa\nww fe000554 55\nww fe000aaa 80\nww fe000aaa aa\n"
                 b"ww fe000554 55\nww fe000000 30\nr fe000000 4\n",
        "odd": b"\n  \nr\nr zz 1\nx 10 1\nr 10\nwl 0\nQ\n",
    }


def factory_vpd():
    rom = bytes.fromhex(
        "01000001854100 00ff01e00118535834"
        "38323447205374 61636b61626c6520 53"
        "77697463680 20c39312d303034382d30"
        "3231300 30a5358423130343032333104"
        "060253 4b10402a05020a1706040050 85"
        "41070103".replace(" ", ""))
    return rom + b"\xff" * (256 - len(rom))


def vpd_seeds():
    rom = factory_vpd()
    return {
        "keep-both": rom + b"n\rn\r",
        "new-values": rom + b"y\r000629328140\ry\rABC123\r",
        "refused-values": rom + b"y\r0006293281g0\r12\r000629328140\ry\rAB-12\rAB12\r",
        "no-record": b"\xff" * 256 + b"y\r",
    }


def volume_seeds():
    # Mode byte (odd: flash units, even: FAT sectors), then patches of a
    # 16-bit offset and a byte over the target's known good volume.
    def patch(mode, *edits):
        return bytes([mode]) + b"".join(struct.pack(">HB", at, value) for at, value in edits)
    return {
        "image-intact": patch(0),
        "image-chain-broken": patch(0, (0x206, 0x00)),
        "image-table-copies-differ": patch(0, (0x409, 0x55)),
        "image-size-too-large": patch(0, (0x600 + 28, 0xFF), (0x600 + 29, 0x7F)),
        "image-long-name-orphaned": patch(0, (0x600, 0xE5), (0x620, 0xE5)),
        "flash-intact": patch(1),
        "flash-slot-being-written": patch(1, (64, 0x7F)),
        "flash-tag-changed": patch(1, (70, 0x00), (71, 0x01)),
        "flash-header-broken": patch(1, (2048 + 20, 0x00)),
        "flash-spare-copy-started": patch(1, (23 * 2048 + 32, 0x00), (23 * 2048 + 33, 0x00)),
    }


def main():
    for target, seeds in {"image": image_seeds(), "dim": dim_seeds(), "receive": receive_seeds(),
                          "eventlog": eventlog_seeds(), "menu_line": menu_line_seeds(),
                          "memory": memory_seeds(), "volume": volume_seeds(),
                          "vpd": vpd_seeds()}.items():
        folder = HERE / "corpus" / target
        folder.mkdir(parents=True, exist_ok=True)
        for old in folder.glob("seed-*"):
            old.unlink()
        for name, data in seeds.items():
            (folder / f"seed-{name}").write_bytes(data)


if __name__ == "__main__":
    main()
