"""ANSI-coloured text (as `tmux capture-pane -e -p` gives it) to a standalone HTML page that
looks like a Windows console window: black background, monospace, the console's palette.

    ansi_html.py TITLE < pane.txt > page.html
"""

from __future__ import annotations

import html
import re
import sys

# Windows console colours (the default palette of Windows 10 and later); Wine writes the
# console attributes as these SGR codes.
PALETTE = {
    "30": "#0c0c0c", "31": "#c50f1f", "32": "#13a10e", "33": "#c19c00",
    "34": "#0037da", "35": "#881798", "36": "#3a96dd", "37": "#cccccc",
    "90": "#767676", "91": "#e74856", "92": "#16c60c", "93": "#f9f1a5",
    "94": "#3b78ff", "95": "#b4009e", "96": "#61d6d6", "97": "#f2f2f2",
}
DEFAULT_FG = PALETTE["37"]
BACKGROUND = PALETTE["30"]
SGR = re.compile(r"\x1b\[([0-9;]*)m")
OTHER_ESCAPE = re.compile(r"\x1b\[[0-?]*[ -/]*[@-~]|\x1b\][^\x07]*\x07")


def to_spans(text: str) -> str:
    """The text as HTML spans, one per run of one colour; unknown escapes dropped."""
    out: list[str] = []
    fg, bold = "", False
    pos = 0

    def emit(chunk: str) -> None:
        chunk = OTHER_ESCAPE.sub("", chunk)
        if not chunk:
            return
        style = []
        if fg:
            style.append(f"color:{PALETTE[fg]}")
        if bold:
            style.append("font-weight:bold")
        escaped = html.escape(chunk)
        out.append(f'<span style="{";".join(style)}">{escaped}</span>' if style else escaped)

    for m in SGR.finditer(text):
        emit(text[pos:m.start()])
        pos = m.end()
        codes = [c for c in m.group(1).split(";") if c] or ["0"]
        i = 0
        while i < len(codes):
            c = codes[i]
            if c == "0":
                fg, bold = "", False
            elif c == "1":
                bold = True
            elif c == "22":
                bold = False
            elif c == "39":
                fg = ""
            elif c in PALETTE:
                fg = c
            elif c in ("38", "48"):
                i += 2 if i + 1 < len(codes) and codes[i + 1] == "5" else 4
            i += 1
    emit(text[pos:])
    return "".join(out)


def page(text: str, title: str, columns: int, rows: int) -> str:
    body = to_spans(text.rstrip("\n"))
    return f"""<!DOCTYPE html>
<html><head><meta charset="utf-8"><style>
  html, body {{ margin: 0; background: #1e1e1e; }}
  .window {{ display: inline-block; margin: 0; border: 1px solid #3c3c3c; }}
  .title {{ background: #2b2b2b; color: #e6e6e6; font: 13px "DejaVu Sans", sans-serif;
            padding: 7px 12px; display: flex; justify-content: space-between; }}
  .title .buttons {{ letter-spacing: 18px; color: #bdbdbd; }}
  pre {{ margin: 0; padding: 10px 14px 12px 14px; background: {BACKGROUND}; color: {DEFAULT_FG};
         font: 15px/1.3 "DejaVu Sans Mono", monospace; width: {columns}ch; min-height: {rows * 1.3}em; }}
</style></head><body><div class="window">
<div class="title"><span>{html.escape(title)}</span><span class="buttons">&#8211; &#9633; &#10005;</span></div>
<pre>{body}</pre>
</div></body></html>
"""


if __name__ == "__main__":
    raw = sys.stdin.read()
    columns = max((len(OTHER_ESCAPE.sub("", SGR.sub("", l))) for l in raw.splitlines()), default=80)
    sys.stdout.write(page(raw, sys.argv[1] if len(sys.argv) > 1 else "", columns,
                          len(raw.rstrip("\n").splitlines())))
