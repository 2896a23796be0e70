"""The zuvoda execution service: runs calls sent by ``zuvoda.client.VazoVez``.

Start it with ``python -m zuvoda.service`` (or ``zuvoda-service``). This package's ``__init__``
stays free of server imports because worker processes import modules from it.
"""
