"""A frame number drawn into a picture and read back from the decoded video: 16 bits, each a square
in the top row and its complement in the row below, so a picture either carries a number whole or
reads as carrying none. It pairs each decoded picture with the host call that made it, whatever
frames the stream skipped."""

BITS = 16


def draw_number(picture, n, block):
    """Writes `n` into the top-left of `picture` (rows, columns, channels), squares of `block`
    pixels."""
    for i in range(BITS):
        on = (n >> i) & 1
        picture[0:block, i * block : (i + 1) * block, :3] = 255 if on else 0
        picture[block : 2 * block, i * block : (i + 1) * block, :3] = 0 if on else 255


def read_number(gray, block):
    """The number draw_number wrote, from a greyscale picture whose squares are now `block`
    pixels (fractional after scaling), or None when the picture carries none."""
    y1, y2 = int(block / 2), int(block * 1.5)
    n = 0
    for i in range(BITS):
        x = int(i * block + block / 2)
        a, b = gray[y1, x] > 128, gray[y2, x] > 128
        if a == b:
            return None
        n |= int(a) << i
    return n
