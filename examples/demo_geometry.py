"""A module of the demo's own, beside it: the service receives it with the functions that use
it, since it is not installed there."""

import math


def inside_unit_circle(x, y):
    return math.hypot(x, y) <= 1.0


def fraction_inside(points):
    return sum(1 for x, y in points if inside_unit_circle(x, y)) / len(points)
