"""Imported first by the scripts here: the scripted machine and cloud, logs on stdout."""
import logging
import sys

import scripted

scripted.install()
logging.basicConfig(level=logging.INFO, format="%(levelname)s %(message)s", stream=sys.stdout)
