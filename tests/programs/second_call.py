import prelude  # noqa: F401
import zuvoda.overflow as ov

first = ov.overflow(threshold=50)
second = ov.overflow(threshold=60)
print("first running:", first._running, "second running:", second._running)
print("active is second:", ov._active_monitor is second)
