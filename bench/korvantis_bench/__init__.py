"""The launcher's benchmarks against anchors measured in the same run (started by bench/run.sh,
inside its network namespace, as `python3 -m korvantis_bench`). Progress goes to standard error,
the table to standard output.

Every ratio is launcher / anchor: time against time (above 1: the launcher is slower), or for
the memory row the peak of the big update against the peak of the small one (1: flat).

One module a benchmark, each a `measure(settings, ctx)` that returns its rows and notes;
settings.py reads the environment, context.py holds what a run shares (folders, the Wine prefix,
the update server)."""
