import sys

from zuvoda.overflow import overflow

sys.modules["psutil"] = None
try:
    overflow()
except ImportError as exc:
    print(repr(str(exc)), isinstance(exc.__context__, ImportError))
