"""Whole-program scenario harness: Wine prefixes (wine.py), the pseudo-terminal screen
(screen.py), the scriptable HTTPS update server (https_server.py) and the launcher's fixed
texts and set-up steps (korvantis.py). Fixtures are in ../conftest.py; run through ../run.sh."""
