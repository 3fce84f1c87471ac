"""CRC-32C (Castagnoli) by its definition: reflected polynomial 0x82F63B78, register
preset to all ones, result inverted; one byte at a time."""

_POLY = 0x82F63B78


def _table() -> list[int]:
    out = []
    for n in range(256):
        c = n
        for _ in range(8):
            c = (c >> 1) ^ _POLY if c & 1 else c >> 1
        out.append(c)
    return out


_TABLE = _table()


def crc32c(data: bytes) -> int:
    crc = 0xFFFFFFFF
    for byte in data:
        crc = _TABLE[(crc ^ byte) & 0xFF] ^ (crc >> 8)
    return crc ^ 0xFFFFFFFF
