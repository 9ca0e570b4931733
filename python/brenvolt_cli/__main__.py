"""``python -m brenvolt_cli``: the ``brenvolt`` command."""

import sys

from brenvolt_cli import main

sys.exit(main())
