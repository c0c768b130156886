"""``python3 -m quelmar_cpp solve ...``: the command-line tool (see ``quelmar_cpp.cli``)."""
import sys

from .cli import main

if __name__ == "__main__":
    sys.exit(main())
