"""The harness of the whole-program scenarios, which the tools' tests, the benchmarks and the demo
also drive: Wine prefixes (wine.py), the pseudo-terminal screen (screen.py), the scriptable HTTPS
update server (https_server.py), nginx with the site's own configuration (nginx.py), a proxy
(proxy.py), launcher runs watched from outside (launcher_run.py) and the launcher's fixed texts
and set-up steps (korvantis.py). Its parent folder, tests/, goes on the module path: pytest.ini
for the tests, the scripts that start the others. The scenarios' fixtures are in
scenarios/conftest.py; run them through scenarios/run.sh."""
