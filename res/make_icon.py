#!/usr/bin/env python3
"""Draws selfextr.ico: a 32 x 32, 16-colour package with a down arrow.

Run it again after changing the picture; the build uses the committed .ico.
"""
import struct, sys

# The 16 colours of the Windows system palette, as (R, G, B).
PALETTE = [(0,0,0),(128,0,0),(0,128,0),(128,128,0),(0,0,128),(128,0,128),(0,128,128),(192,192,192),
           (128,128,128),(255,0,0),(0,255,0),(255,255,0),(0,0,255),(255,0,255),(0,255,255),(255,255,255)]
BLACK, DARK_YELLOW, YELLOW, BLUE, DARK_BLUE = 0, 3, 11, 12, 4
CLEAR = None

def draw():
    px = [[CLEAR] * 32 for _ in range(32)]
    # The box: a front face and a lid seen from above.
    for y in range(14, 30):
        for x in range(4, 28):
            px[y][x] = DARK_YELLOW if x < 16 else YELLOW
    for y in range(9, 14):
        for x in range(4 + (13 - y), 28 - (13 - y)):
            px[y][x] = YELLOW
    for x in range(4, 28):
        px[14][x] = BLACK
        px[29][x] = BLACK
    for y in range(14, 30):
        px[y][4] = BLACK
        px[y][27] = BLACK
        px[y][16] = BLACK
    # The arrow going into the box.
    for y in range(1, 12):
        for x in range(14, 19):
            px[y][x] = BLUE
    for i in range(6):
        for x in range(11 + i, 22 - i):
            px[12 + i][x] = DARK_BLUE if i == 5 else BLUE
    return px

def ico(px):
    xor = bytearray()
    andm = bytearray()
    for y in range(31, -1, -1):  # bottom-up rows
        row = px[y]
        for x in range(0, 32, 2):
            a = row[x] if row[x] is not None else 0
            b = row[x + 1] if row[x + 1] is not None else 0
            xor.append((a << 4) | b)
        bits = 0
        for x in range(32):
            bits = (bits << 1) | (1 if row[x] is None else 0)
        andm += struct.pack('>I', bits)
    header = struct.pack('<IiiHHIIiiII', 40, 32, 64, 1, 4, 0, len(xor) + len(andm), 0, 0, 16, 0)
    pal = b''.join(struct.pack('BBBB', b, g, r, 0) for (r, g, b) in PALETTE)
    image = header + pal + bytes(xor) + bytes(andm)
    return struct.pack('<HHH', 0, 1, 1) + struct.pack('<BBBBHHII', 32, 32, 16, 0, 1, 4, len(image), 22) + image

if __name__ == '__main__':
    out = sys.argv[1] if len(sys.argv) > 1 else 'selfextr.ico'
    with open(out, 'wb') as f:
        f.write(ico(draw()))
