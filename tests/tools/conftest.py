"""tools/ on the module path, as it is for tools/publish.py run as a script."""

import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "tools"))
