# SPDX-License-Identifier: MIT
"""An XMODEM-1K sender on the operator's side of the console line."""
import os
import select
import time

SOH, STX, EOT, ACK, NAK, CAN, CRC_MODE, SUB = 0x01, 0x02, 0x04, 0x06, 0x15, 0x18, 0x43, 0x1A
BLOCK = 1024


def crc16(data):
    crc = 0
    for b in data:
        crc ^= b << 8
        for _ in range(8):
            crc = ((crc << 1) ^ 0x1021) if crc & 0x8000 else crc << 1
            crc &= 0xFFFF
    return crc


def _read(fd, timeout):
    ready, _, _ = select.select([fd], [], [], timeout)
    if not ready:
        return None
    data = os.read(fd, 1)
    return data[0] if data else None


def _wait_for(fd, wanted, timeout):
    """The next byte among `wanted`; anything else on the line (the receiver's own
    messages) is passed over."""
    deadline = time.time() + timeout
    while time.time() < deadline:
        b = _read(fd, deadline - time.time())
        if b in wanted:
            return b
    return None


def send(fd, data, cancel_after=None, timeout=30):
    """Sends `data` in 1024-byte blocks padded with SUB. True when the receiver took
    every block; with `cancel_after`, cancels after that many blocks and returns False.
    Of what the console shows after the transfer, at most the first byte is read."""
    mode = _wait_for(fd, {CRC_MODE, NAK}, timeout)
    if mode is None:
        raise TimeoutError("the receiver never asked for the first block")
    blocks = [data[i:i + BLOCK] for i in range(0, len(data), BLOCK)] or [b""]
    for n, block in enumerate(blocks, 1):
        if cancel_after is not None and n > cancel_after:
            os.write(fd, bytes([CAN] * 8))
            return False
        block = block.ljust(BLOCK, bytes([SUB]))
        if mode == CRC_MODE:
            check = crc16(block).to_bytes(2, "big")
        else:
            check = bytes([sum(block) & 0xFF])
        packet = bytes([STX, n & 0xFF, 0xFF - (n & 0xFF)]) + block + check
        for _ in range(10):
            os.write(fd, packet)
            reply = _wait_for(fd, {ACK, NAK, CAN}, 10)
            if reply == ACK:
                break
            if reply == CAN:
                return False
        else:
            return False
        # The receiver flushes its input after each ACK: give it time to do so.
        time.sleep(0.02)
    # The receiver's ACK of the end can be lost; anything else on the line is the
    # launcher's own output again, and the sender stops reading at its first byte.
    for _ in range(3):
        os.write(fd, bytes([EOT]))
        if _read(fd, 2) != NAK:
            return True
    return True
