"""A module beside the user script, which the service cannot import: it travels by value."""
import math

FACTOR = 3


def rare(n): return sum(math.isqrt(i) for i in range(n)) * FACTOR
def heavy_there(n): return rare(n) + 1
