"""Exits while the sampling thread is likely inside psutil's measuring window."""
import scripted

scripted.install()
from zuvoda.overflow import overflow  # noqa: E402

monitor = overflow(check_interval=0.002, verbose=False)
scripted.set_load(99.0)
scripted.wait_for(lambda: monitor._overloaded)
print("done")
