#!/usr/bin/python3 -Es
import os, runpy  # noqa: E401 - the release program's checks (scripts/releasing), by their old name
runpy.run_path(os.path.dirname(os.path.realpath(__file__)) + "/releasing", {"PROGRAM": "release_checks.py"}, "__main__")
