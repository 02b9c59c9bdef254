"""Files put on the update server as publish.py lays a root out, and the manifest that lists
them."""

from __future__ import annotations

from pathlib import Path
from urllib.parse import quote

from .context import Context
from .host import link, make_random, sha256
from .launcher import launcher_folder

UPDATE_ROOT = "korvantis/guncelleme"


def publish_manifest(ctx: Context, folder: Path, names: list[str]) -> None:
    lines = [f"{sha256(folder / n)} {(folder / n).stat().st_size} {n}\n" for n in names]
    target = ctx.www / UPDATE_ROOT / "manifest.txt"
    target.parent.mkdir(parents=True, exist_ok=True)
    target.write_text("".join(lines), encoding="utf-8")


def add_to_manifest(ctx: Context, lines: list[str]) -> None:
    with open(ctx.www / UPDATE_ROOT / "manifest.txt", "a", encoding="utf-8") as f:
        f.write("".join(lines))


def serve(ctx: Context, name: str, source: Path, digest: str) -> str:
    """Puts source where server/korvantis-site.conf finds its version; returns the launcher's
    request path for it."""
    link(source, ctx.www / UPDATE_ROOT / "surumler" / digest[:12] / name)
    link(source, ctx.www / UPDATE_ROOT / "dosyalar" / name)
    return f"/{UPDATE_ROOT}/dosyalar/{quote(name)}?v={digest[:12]}"


def make_mod(ctx: Context, label: str, files: list[tuple[str, int]]) -> dict:
    """A mod's files (name, size) made once in data/wan-src/label and served; its manifest lines
    and the launcher's request path for each."""
    source = ctx.data / "wan-src" / label
    entries = []
    for name, size in files:
        path = make_random(source / name, size)
        digest = sha256(path)
        entries.append({"name": name, "size": size, "digest": digest,
                        "path": serve(ctx, name, path, digest)})
    return {"label": label, "source": source, "entries": entries,
            "bytes": sum(e["size"] for e in entries)}


def publish_mod(ctx: Context, mod: dict, player: Path) -> None:
    """The manifest of a player folder that has the launcher and the engine and nothing else."""
    publish_manifest(ctx, launcher_folder(ctx, player), ["Korvantis.exe", "xash3d.exe"])
    add_to_manifest(ctx, [f"{e['digest']} {e['size']} {e['name']}\n" for e in mod["entries"]])
