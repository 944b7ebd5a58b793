"""``python -m quarn.inspection.detect.model_tool``: the same as ``quarn-detect-model``."""

import sys

from quarn.inspection.detect.model_tool import main

if __name__ == "__main__":
    sys.exit(main())
