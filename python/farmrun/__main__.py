"""``python -m farmrun`` and the ``farmrun`` console script: the command line of ``cli``."""
import sys

from .cli import main

if __name__ == "__main__":
    sys.exit(main())
