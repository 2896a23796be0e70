"""200,000 wrappers around abs: calling the chain raises RecursionError, locally and with the
cloud failed, instead of overflowing the C stack."""
import zuvoda.overflow as ov

monitor = ov._OverflowMonitor(False, 85.0, 0.5, None, "http://127.0.0.1:9")
wrapper = abs
for _ in range(200_000):
    wrapper = monitor._make_wrapper(wrapper)
for overloaded in (False, True):
    monitor._overloaded = monitor._vazovez_failed = overloaded
    try:
        wrapper(-3)
    except RecursionError:
        print("RecursionError")
