"""``python -m tessary.cli``: the ``tessary-backtest`` command."""

import sys

from tessary.cli import main

sys.exit(main())
