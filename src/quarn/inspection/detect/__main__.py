"""``python -m quarn.inspection.detect``: the detection command line (same as ``quarn-detect``)."""

import sys

from quarn.inspection.detect.cli import main

if __name__ == "__main__":
    sys.exit(main(prog="python -m quarn.inspection.detect"))
