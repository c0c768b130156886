"""``python3 -m quelmar_cpp solve|train ...``: the command-line tool (see ``quelmar_cpp.cli``
and ``quelmar_cpp.train``)."""
import sys

from .cli import main

if __name__ == "__main__":
    sys.exit(main())
