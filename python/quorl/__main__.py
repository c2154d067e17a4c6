"""``python -m quorl``: the demo update loop of quorl.demo."""

import sys

from quorl.demo import main

if __name__ == "__main__":
    sys.exit(main())
