"""zuvoda: overflow a Python script's heavy functions to the cloud while the machine is overloaded.

Call ``zuvoda.overflow.overflow()`` near the top of a script.
"""

__version__ = "0.1.0"
