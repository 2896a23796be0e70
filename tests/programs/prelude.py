"""Imported first by the scripts here: the scripted machine and cloud, logs on stderr."""
import logging

import scripted

scripted.install()
logging.basicConfig(level=logging.INFO, format="%(levelname)s %(message)s")
