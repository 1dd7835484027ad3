"""`python -m qen`: the same command line as the `qen` console script."""

import sys

from .cli import main

sys.exit(main())
