"""The release program: python3 scripts/releasing COMMAND ... (scripts/release,
scripts/verify-release, scripts/publish and scripts/release_checks.py start it). Finds its
package from its own path, never from PYTHONPATH or the current folder."""

import os
import sys

sys.path[0] = os.path.dirname(os.path.dirname(os.path.realpath(__file__)))
from releasing.command_line import main  # noqa: E402

sys.exit(main(sys.argv[1:], globals().get("PROGRAM", "releasing")))
