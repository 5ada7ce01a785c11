"""`python -m rasterloom_layers`: the command `rasterloom`."""
import sys

from ._command import main

if __name__ == "__main__":
    sys.exit(main())
