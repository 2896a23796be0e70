"""Stand-ins shared by the robustness tests: a cloud client that runs its calls in-process, a log
handler that formats and drops, and bounded joins."""

import collections
import itertools
import logging
import threading
import types

JOIN_TIMEOUT = 10.0


class CloudFailure(RuntimeError):
    pass


class InProcessCloud:
    """A zuvoda.client whose VazoVez runs each call in-process. With `fail_every` n, every n-th run
    raises CloudFailure before running anything; while `refuse` is set, no client can be built."""

    def __init__(self, fail_every=0):
        self.fail_every = fail_every
        self.refuse = False
        self.counter = itertools.count(1)
        self.runs = 0  # the number of the latest run begun, on whichever thread
        self.module = types.ModuleType("zuvoda.client")
        self.module.VazoVez = self._client_class()

    def _client_class(cloud):
        class VazoVez:
            def __init__(self, *, api_key, fast, api_url, verbose):
                if cloud.refuse:
                    raise CloudFailure("scripted refusal")
                self.verbose = verbose

            def __enter__(self):
                return self

            def __exit__(self, *exc_info):
                return None

            def run(self, func, *args, **kwargs):
                number = next(cloud.counter)
                cloud.runs = number
                if cloud.fail_every and number % cloud.fail_every == 0:
                    raise CloudFailure("scripted cloud failure")
                return func(*args, **kwargs)

        return VazoVez


class FormattingHandler(logging.Handler):
    """Formats every record, as an output handler would, and keeps only a count per message."""

    def __init__(self):
        super().__init__(logging.DEBUG)
        self.counts = collections.Counter()

    def emit(self, record):
        self.format(record)
        self.counts[record.msg] += 1


def join_threads(threads, timeout=JOIN_TIMEOUT):
    for thread in threads:
        thread.join(timeout)
    alive = [thread for thread in threads if thread.is_alive()]
    assert not alive, f"threads still running: {alive}"


def sampling_threads():
    return [t for t in threading.enumerate() if t.name == "zuvoda-overflow"]
