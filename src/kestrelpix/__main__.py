"""``python -m kestrelpix``: the ``kestrelpix`` command (see kestrelpix.cli)."""

import sys

from kestrelpix.cli import main

sys.exit(main())
