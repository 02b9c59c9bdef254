"""server/korvantis-site.conf checked with Debian's nginx against an update root written by
publish.py: in the tests' own main configuration, then installed into Debian's own /etc/nginx as
server/README.md says.

nginx runs as root inside a private network and mount namespace (unshare), listening on
127.0.0.1:443 and :80 there only; the requests are made from the same namespace by this file run
as a script, which prints its observations as JSON for the test to judge.
"""

import hashlib
import http.client
import json
import os
import shutil
import ssl
import subprocess
import sys
import tempfile
from pathlib import Path

import pytest

import korvantis_harness
from korvantis_harness.korvantis import USER_AGENT
from korvantis_harness.nginx import SITE, Nginx, local_nginx_conf  # one fill-in, one starter
from launcher_fakes import fake_launcher

REPO = Path(__file__).resolve().parents[2]
TOOL = REPO / "tools" / "publish.py"
HOST = "guncelleme.korvantis.example"
UPDATE = "/korvantis/guncelleme/"

MOD = {
    "Korvantis.exe": fake_launcher(tail=b"\0" * 5000),
    "maps/a b.bsp": b"bsp bytes " * 300,
    # Fixed bytes: the namespace side imports this file again and must get the same tokens.
    "sound/\u015fark\u0131.wav": b"RIFF" + hashlib.sha512(b"wav").digest() * 30,
    "cstrike/config.cfg": b"bind w +forward\n",      # placed once
}
# Published after MOD: a launcher that read the first list still asks for the first bsp.
NEXT_BSP = b"bsp bytes, next version " * 300


def token(data):
    return hashlib.sha256(data).hexdigest()[:12]


EXE_TOKEN = token(MOD["Korvantis.exe"])


@pytest.fixture(scope="module")
def observed():
    if os.geteuid() != 0 or not shutil.which("nginx") or not shutil.which("unshare"):
        pytest.skip("needs root, nginx and unshare")
    # Outside pytest's private tmp (mode 0700) so that nginx's www-data workers can read it,
    # as they must read a real update root.
    work = Path(tempfile.mkdtemp(prefix="korvantis-nginx-"))
    try:
        os.chmod(work, 0o755)
        mod = work / "mod"
        for name, data in MOD.items():
            (mod / name).parent.mkdir(parents=True, exist_ok=True)
            (mod / name).write_bytes(data)
        root = work / "root"

        def publish():
            # A maintainer's strict umask must not keep www-data out of what is published.
            subprocess.run([sys.executable, str(TOOL), "--once", "cstrike/config.cfg", str(mod),
                            str(root)], check=True, preexec_fn=lambda: os.umask(0o077))

        publish()
        (mod / "maps/a b.bsp").write_bytes(NEXT_BSP)
        publish()
        (root / "korvantis/guncelleme/dosyalar/.publish-tmp-1-abc").write_bytes(b"half")
        (root / "korvantis/guncelleme/surumler" / EXE_TOKEN / ".publish-tmp-1-abc").write_bytes(b"h")
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                        "-keyout", str(work / "server.key"), "-out", str(work / "server.chain.pem"),
                        "-subj", "/CN=" + HOST, "-addext", "subjectAltName=DNS:" + HOST],
                       check=True, capture_output=True)
        conf = local_nginx_conf(work, root, work, HOST)
        # server/README.md's steps on a copy of Debian's /etc/nginx, which the namespace side
        # mounts over /etc/nginx (and folders of its own over /run, /var/log/nginx and
        # /var/lib/nginx): nothing of the stock configuration is changed.
        etc = work / "etc-nginx"
        shutil.copytree("/etc/nginx", etc, symlinks=True)
        shutil.copyfile(work / SITE.name, etc / "sites-available" / "korvantis")  # filled in
        (etc / "sites-enabled" / "korvantis").symlink_to("/etc/nginx/sites-available/korvantis")
        challenge = work / "acme" / CHALLENGE[0].lstrip("/")  # as certbot --webroot writes it
        challenge.parent.mkdir(parents=True)
        challenge.write_bytes(CHALLENGE[1])
        # The namespace side, this file run as a script, finds the harness where this side did.
        harness_path = str(Path(korvantis_harness.__file__).parents[1])
        proc = subprocess.run(["unshare", "--mount", "--net", sys.executable, __file__,
                               str(conf), str(work)], capture_output=True, timeout=60,
                              env={**os.environ, "PYTHONPATH": harness_path})
        assert proc.returncode == 0, proc.stderr.decode(errors="replace")
        result = json.loads(proc.stdout)
        result["root"] = root
        yield result
    finally:
        shutil.rmtree(work, ignore_errors=True)


def test_configuration_passes_nginx_t(observed):
    assert observed["syntax_rc"] == 0, observed["syntax_out"]


CHALLENGE = ("/.well-known/acme-challenge/" + "Tk9-_x" * 7, b"Tk9-_x" * 7 + b".thumbprint")
# (port, path): 443 with TLS, 80 without.
DEBIAN_REQUESTS = [
    (443, UPDATE + "dosyalar/Korvantis.exe?v=" + EXE_TOKEN),
    (80, CHALLENGE[0]),
    (80, UPDATE + "manifest.txt?t=5"),
]


def test_installed_into_debians_own_nginx_serves_renews_and_redirects(observed):
    debian = observed["debian"]
    assert debian["syntax_rc"] == 0, debian["syntax_out"]
    served, challenge, other = (debian["answers"]["GET " + path] for _, path in DEBIAN_REQUESTS)
    assert served["status"] == 200
    assert served["sha256"] == hashlib.sha256(MOD["Korvantis.exe"]).hexdigest()
    assert served["headers"]["cache-control"] == "public, max-age=31536000, immutable"
    assert challenge["status"] == 200
    assert challenge["sha256"] == hashlib.sha256(CHALLENGE[1]).hexdigest()
    assert other["status"] == 301
    assert other["headers"]["location"] == f"https://{HOST}{DEBIAN_REQUESTS[2][1]}"


def answer(observed, method, path):
    return observed["answers"][method + " " + path]


def served(observed, name):
    return (observed["root"] / "korvantis/guncelleme" / name).read_bytes()


def test_manifest_is_served_uncached_and_plain(observed):
    a = answer(observed, "GET", UPDATE + "manifest.txt?t=9876543210")
    assert a["status"] == 200
    assert a["sha256"] == hashlib.sha256(served(observed, "manifest.txt")).hexdigest()
    assert a["headers"]["cache-control"] == "no-store"
    assert a["headers"]["content-type"] == "text/plain; charset=utf-8"
    assert "content-encoding" not in a["headers"]       # asked with Accept-Encoding: gzip
    head = answer(observed, "HEAD", UPDATE + "manifest.txt?t=1")
    assert head["status"] == 200 and head["length"] == 0


SERVED = [
    ("dosyalar/Korvantis.exe?v=" + EXE_TOKEN, MOD["Korvantis.exe"]),
    # The first version after the second publication: what its token names, not the file now.
    ("dosyalar/maps/a%20b.bsp?v=" + token(MOD["maps/a b.bsp"]), MOD["maps/a b.bsp"]),
    ("dosyalar/maps/a%20b.bsp?v=" + token(NEXT_BSP), NEXT_BSP),
    ("dosyalar/sound/%C5%9Fark%C4%B1.wav?v=" + token(MOD["sound/\u015fark\u0131.wav"]),
     MOD["sound/\u015fark\u0131.wav"]),
    ("dosyalar/cstrike/config.cfg?v=" + token(MOD["cstrike/config.cfg"]), MOD["cstrike/config.cfg"]),
]


@pytest.mark.parametrize("path,data", SERVED)
def test_files_are_served_whole_and_cacheable_by_their_token(observed, path, data):
    a = answer(observed, "GET", UPDATE + path)
    assert a["status"] == 200
    assert a["sha256"] == hashlib.sha256(data).hexdigest()
    assert a["headers"]["cache-control"] == "public, max-age=31536000, immutable"
    assert a["headers"]["content-type"] == "application/octet-stream"
    assert "content-encoding" not in a["headers"]


NO_VERSION = [
    "dosyalar/Korvantis.exe?v=0123456789ab",                 # well formed, never published
    "dosyalar/Korvantis.exe?v=" + token(MOD["maps/a b.bsp"]),  # another file's token
    "dosyalar/Korvantis.exe?v=" + EXE_TOKEN.upper(),
    "dosyalar/Korvantis.exe?v=" + EXE_TOKEN[:11],
    "dosyalar/Korvantis.exe?v=" + EXE_TOKEN + "0",
    "dosyalar/Korvantis.exe?v=..%2F" + EXE_TOKEN,
    "dosyalar/Korvantis.exe?v=",
    "dosyalar/Korvantis.exe",                                 # the plain copy is for other hosts
    "dosyalar/.publish-tmp-1-abc?v=" + EXE_TOKEN,
]


@pytest.mark.parametrize("path", NO_VERSION)
def test_a_token_naming_no_version_is_404_kept_briefly(observed, path):
    a = answer(observed, "GET", UPDATE + path)
    assert a["status"] == 404
    assert a["headers"]["cache-control"] == "public, max-age=10"


@pytest.mark.parametrize("method,path,status", [
    ("GET", "/", 404),
    ("GET", UPDATE, 404),
    ("GET", UPDATE + "dosyalar/", 404),
    ("GET", UPDATE + "dosyalar/maps", 404),
    ("GET", UPDATE + "dosyalar/maps/", 404),
    ("GET", UPDATE + "dosyalar/missing.txt?v=1", 404),
    ("GET", UPDATE + "dosyalar/maps%5Ca%20b.bsp", 404),
    ("GET", UPDATE + "dosyalar/.publish-tmp-1-abc", 404),
    ("POST", UPDATE + "manifest.txt", 405),
    ("PUT", UPDATE + "dosyalar/new.bin", 405),
    ("DELETE", UPDATE + "manifest.txt", 405),
])
def test_nothing_else_is_served(observed, method, path, status):
    a = answer(observed, method, path)
    assert a["status"] == status
    assert a["headers"].get("cache-control", "") in ("", "public, max-age=10")


def test_no_escape_from_the_root(observed):
    a = answer(observed, "GET", UPDATE + "dosyalar/..%2F..%2F..%2F..%2Fetc/passwd")
    assert a["status"] in (400, 404)


# ---------------------------------------------------------------- inside the namespace

REQUESTS = [
    ("GET", UPDATE + "manifest.txt?t=9876543210"),
    ("HEAD", UPDATE + "manifest.txt?t=1"),
    *(("GET", UPDATE + path) for path, _ in SERVED),
    *(("GET", UPDATE + path) for path in NO_VERSION),
    ("GET", "/"),
    ("GET", UPDATE),
    ("GET", UPDATE + "dosyalar/"),
    ("GET", UPDATE + "dosyalar/maps"),
    ("GET", UPDATE + "dosyalar/maps/"),
    ("GET", UPDATE + "dosyalar/missing.txt?v=1"),
    ("GET", UPDATE + "dosyalar/maps%5Ca%20b.bsp"),
    ("GET", UPDATE + "dosyalar/.publish-tmp-1-abc"),
    ("GET", UPDATE + "dosyalar/..%2F..%2F..%2F..%2Fetc/passwd"),
    ("POST", UPDATE + "manifest.txt"),
    ("PUT", UPDATE + "dosyalar/new.bin"),
    ("DELETE", UPDATE + "manifest.txt"),
]


def served_by(conf, work, requests, ctx):
    """nginx -t's verdict on conf, and the answers to (method, port, path) requests (443 with
    TLS, 80 without) when it passed."""
    log = str(work / "log" / "startup.log")
    check = subprocess.run(["nginx", "-t", "-e", log, "-c", str(conf)], capture_output=True)
    out = {"syntax_rc": check.returncode, "syntax_out": check.stderr.decode(errors="replace"),
           "answers": {}}
    if check.returncode != 0:
        return out
    server = Nginx(work, conf)
    try:
        for method, port, path in requests:
            conn = (http.client.HTTPSConnection("127.0.0.1", port, context=ctx, timeout=10)
                    if port == 443 else http.client.HTTPConnection("127.0.0.1", port, timeout=10))
            body = b"x" if method in ("POST", "PUT") else None
            conn.request(method, path, body=body, headers={
                "Host": HOST, "User-Agent": USER_AGENT,
                "Accept-Encoding": "gzip, deflate"})
            resp = conn.getresponse()
            data = resp.read()
            out["answers"][method + " " + path] = {
                "status": resp.status, "length": len(data),
                "sha256": hashlib.sha256(data).hexdigest(),
                "headers": {k.lower(): v for k, v in resp.getheaders()}}
            conn.close()
    finally:
        server.close()
    return out


def inside_namespace(conf, work):
    subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
    ctx = ssl.create_default_context(cafile=str(work / "server.chain.pem"))
    ctx.check_hostname = False     # the certificate itself is still verified
    out = served_by(conf, work, [(method, 443, path) for method, path in REQUESTS], ctx)
    run = work / "debian-run"
    (run / "log").mkdir(parents=True)
    (run / "lib").mkdir()
    for source, target in ((work / "etc-nginx", "/etc/nginx"), (run, "/run"),
                           (run / "log", "/var/log/nginx"), (run / "lib", "/var/lib/nginx")):
        subprocess.run(["mount", "--bind", str(source), target], check=True)
    out["debian"] = served_by(Path("/etc/nginx/nginx.conf"), run,
                              [("GET", port, path) for port, path in DEBIAN_REQUESTS], ctx)
    json.dump(out, sys.stdout)


if __name__ == "__main__":
    inside_namespace(Path(sys.argv[1]), Path(sys.argv[2]))
