"""`python -m mervo`: the same as the `mervo` command."""

import sys

from .cli import main

sys.exit(main())
