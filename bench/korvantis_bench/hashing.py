"""hash: HashFileSha256 against a bare BCrypt loop and openssl dgst over one file."""

from __future__ import annotations

from .context import Context
from .host import MIB, make_random, wall, warm
from .output import Results, log, seconds_and_rate
from .probes import floor_exe, timing, variant_exes
from .settings import Settings


def measure(settings: Settings, ctx: Context) -> Results:
    results = Results()
    hash_mb = settings.hash_mb
    size = hash_mb * MIB
    path = make_random(ctx.data / f"hash-{hash_mb}.bin", size)
    where = ctx.wine.win(path)
    warm(path)
    launcher, plain, openssl = [], [], []
    digests = set()
    for i in range(settings.rounds):
        r = timing(ctx, "hash", where)
        assert r["ok"], r
        launcher.append(r["seconds"])
        digests.add(r["digest"])
        r = timing(ctx, "hash", where, exe=floor_exe(ctx))
        assert r["ok"], r
        plain.append(r["seconds"])
        digests.add(r["digest"])
        t, o = wall(["openssl", "dgst", "-sha256", str(path)])
        openssl.append(t)
        digests.add(o.stdout.decode().split("= ")[-1].strip())
        log(f"  hash round {i + 1}: HashFileSha256 {launcher[-1]:.3f} s, BCrypt loop "
            f"{plain[-1]:.3f} s, openssl {openssl[-1]:.3f} s")
    if len(digests) != 1:
        raise RuntimeError(f"the three hashers disagree: {digests}")
    best = min(launcher)
    results.rows.append((f"hash {hash_mb} MiB: HashFileSha256 vs BCrypt loop",
                         seconds_and_rate(best, size), seconds_and_rate(min(plain), size),
                         f"{best / min(plain):.2f}"))
    results.rows.append((f"hash {hash_mb} MiB: HashFileSha256 vs openssl dgst",
                         seconds_and_rate(best, size), seconds_and_rate(min(openssl), size),
                         f"{best / min(openssl):.2f}"))
    for label, exe in variant_exes(ctx, settings):
        t = min(timing(ctx, "hash", where, exe=exe)["seconds"] for _ in range(settings.rounds))
        results.rows.append((f"hash {hash_mb} MiB: {label} (scratch) vs BCrypt loop",
                             seconds_and_rate(t, size), seconds_and_rate(min(plain), size),
                             f"{t / min(plain):.2f}"))
    r = timing(ctx, "read", where, exe=floor_exe(ctx))
    results.notes.append(f"ReadFile alone over the {hash_mb} MiB file (1 MiB chunks, same Wine): "
                         f"{seconds_and_rate(r['seconds'], size)}: reading is "
                         f"{100 * r['seconds'] / best:.0f} % of HashFileSha256's time, the rest "
                         f"is Wine's BCrypt SHA-256")
    return results
