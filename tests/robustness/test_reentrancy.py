"""Code that the module runs in the middle of its own lookups, such as the __eq__ of an odd key in
a monitor's __dict__, may use the module again for another monitor; each monitor must still be
judged by its own state."""

import sys


def new_monitor(ov):
    return ov._OverflowMonitor(False, 85.0, 0.5, None, "http://127.0.0.1:9")


def test_hook_reentered_for_another_monitor_during_a_lookup_keeps_the_monitors_apart(ov):
    watched = new_monitor(ov)
    other = new_monitor(ov)
    other._running = True
    frame = sys._getframe()

    class Collider:
        """Shares the hash of "_call_stack", so looking that name up compares with it."""

        def __hash__(self):
            return hash("_call_stack")

        def __eq__(self, name):
            other._profile_hook(frame, "call", None)
            return False

    state = watched.__getstate__()
    watched.__dict__.clear()
    watched.__dict__[Collider()] = None
    watched.__setstate__(state)

    assert watched._profile_hook(frame, "call", None) is None
    assert watched._call_stack == []
    assert other._call_stack
    assert all(entry["name"] == frame.f_code.co_name for entry in other._call_stack)
