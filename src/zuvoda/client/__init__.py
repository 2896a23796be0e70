"""Client that runs Python calls on a zuvoda execution service.

    with VazoVez(api_url="http://127.0.0.1:8750", api_key="...") as client:
        result = client.run(simulate, grid, steps=100)

Calls travel as cloudpickle payloads. Functions and classes of the running script, and of the
user's own modules beside it (decided by the rule the monitor uses for user code: a module whose
file lies outside Python's and the installed packages' directories), are sent by value, since the
service could not import them by name. A wrapper that ``zuvoda.overflow`` put in place of a
function travels as that function. A function's bytes are sent once; later calls send only its
digest and their arguments.

``errors`` holds what the client raises, ``pickling`` how a call is written and its result read,
``vazovez`` the connection and the exchange of one call, ``replay`` how the warnings a call
raised and what it read of the environment meet this process.
"""

from zuvoda.client import errors

# The errors are the package's names too.
from zuvoda.client.errors import *
from zuvoda.client.vazovez import VazoVez

__all__ = errors.__all__ + ["VazoVez"]
