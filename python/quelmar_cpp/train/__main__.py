"""``python3 -m quelmar_cpp.train ...``: the same as ``python3 -m quelmar_cpp train ...``."""
import sys

from .command import main

if __name__ == "__main__":
    sys.exit(main())
