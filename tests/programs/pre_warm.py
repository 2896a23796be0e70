"""The script's source goes to the service named in ZUVODA_API_URL ahead of any offload."""
from prelude import scripted
from zuvoda.overflow import overflow


def compute(n):
    return n + 1


monitor = overflow(check_interval=0.01, verbose=False)
scripted.wait_for(lambda: monitor._warm_result)
scripted.set_load(99.0)
scripted.wait_for(lambda: monitor._overloaded)
print("result", compute(1))
print("warm id", monitor._vazovez._warm_session_id)
