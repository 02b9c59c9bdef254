"""Replays what Wine's console wrote to a pseudo-terminal into a character grid.

Wine redraws with cursor moves and erases rather than writing text in order, so colours are
read from the final screen, not from the raw bytes. Only the foreground colour is kept.
"""

from __future__ import annotations

import re

_CSI = re.compile(rb"\x1b\[([0-?]*)([ -/]*)([@-~])")
_OSC = re.compile(rb"\x1b\].*?(?:\x07|\x1b\\)", re.S)


class Screen:
    def __init__(self, columns: int, rows: int):
        self.columns = columns
        self.rows = rows
        self.cells = [[(" ", "")] * columns for _ in range(rows)]
        self.row = 0
        self.col = 0
        self.fg = ""
        self.scrolled: list[list[tuple[str, str]]] = []

    @classmethod
    def replay(cls, data: bytes, columns: int = 120, rows: int = 40) -> "Screen":
        s = cls(columns, rows)
        s.feed(data)
        return s

    # ----- parsing -----------------------------------------------------------------------
    def feed(self, data: bytes) -> None:
        i = 0
        text = bytearray()

        def flush():
            if text:
                for ch in text.decode("utf-8", errors="replace"):
                    self._put(ch)
                text.clear()

        while i < len(data):
            b = data[i]
            if b == 0x1B:
                flush()
                m = _CSI.match(data, i)
                if m:
                    self._csi(m.group(1).decode(), m.group(3).decode())
                    i = m.end()
                    continue
                m = _OSC.match(data, i)
                if m:
                    i = m.end()
                    continue
                i += 3 if i + 1 < len(data) and data[i + 1] in b"()" else 2
                continue
            if b in (0x0D, 0x0A, 0x08, 0x09, 0x07):
                flush()
                if b == 0x0D:
                    self.col = 0
                elif b == 0x0A:
                    self._line_feed()
                elif b == 0x08:
                    self.col = max(0, self.col - 1)
                elif b == 0x09:
                    self.col = min(self.columns - 1, (self.col // 8 + 1) * 8)
                i += 1
                continue
            text.append(b)
            i += 1
        flush()

    def _put(self, ch: str) -> None:
        if self.col >= self.columns:
            self.col = 0
            self._line_feed()
        self.cells[self.row][self.col] = (ch, self.fg)
        self.col += 1

    def _line_feed(self) -> None:
        if self.row + 1 < self.rows:
            self.row += 1
        else:
            self.scrolled.append(self.cells.pop(0))
            self.cells.append([(" ", "")] * self.columns)

    def _csi(self, params: str, final: str) -> None:
        private = params.startswith("?")
        nums = [int(p) if p.isdigit() else None for p in params.lstrip("?").split(";")]
        first = nums[0] if nums and nums[0] is not None else None
        n = first or 1
        if private:
            return
        if final == "m":
            self._sgr([x if x is not None else 0 for x in nums] if params else [0])
        elif final in "Hf":
            r = first or 1
            c = nums[1] if len(nums) > 1 and nums[1] else 1
            self.row = min(self.rows, r) - 1
            self.col = min(self.columns, c) - 1
        elif final == "A":
            self.row = max(0, self.row - n)
        elif final == "B":
            self.row = min(self.rows - 1, self.row + n)
        elif final == "C":
            self.col = min(self.columns - 1, self.col + n)
        elif final == "D":
            self.col = max(0, self.col - n)
        elif final == "G":
            self.col = min(self.columns, n) - 1
        elif final == "d":
            self.row = min(self.rows, n) - 1
        elif final == "K":
            line = self.cells[self.row]
            mode = first or 0
            span = {0: range(self.col, self.columns), 1: range(0, self.col + 1),
                    2: range(self.columns)}.get(mode, range(0))
            for c in span:
                line[c] = (" ", "")
        elif final == "J":
            mode = first or 0
            if mode == 0:
                self._csi("0", "K")
                rows = range(self.row + 1, self.rows)
            elif mode == 1:
                self._csi("1", "K")
                rows = range(0, self.row)
            else:
                rows = range(self.rows)
            for r in rows:
                self.cells[r] = [(" ", "")] * self.columns
        elif final == "X":
            for c in range(self.col, min(self.columns, self.col + n)):
                self.cells[self.row][c] = (" ", "")
        elif final == "P":
            line = self.cells[self.row]
            del line[self.col:self.col + n]
            line.extend([(" ", "")] * (self.columns - len(line)))
        elif final == "@":
            line = self.cells[self.row]
            for _ in range(n):
                line.insert(self.col, (" ", ""))
            del line[self.columns:]

    def _sgr(self, codes: list[int]) -> None:
        for code in codes:
            if code in (0, 39):
                self.fg = ""
            elif 30 <= code <= 37 or 90 <= code <= 97:
                self.fg = str(code)

    # ----- reading -----------------------------------------------------------------------
    def _lines(self) -> list[list[tuple[str, str]]]:
        lines = self.scrolled + self.cells
        while lines and all(ch == " " for ch, _ in lines[-1]):
            lines = lines[:-1]
        return lines

    def render(self, colours: bool = True) -> str:
        out = []
        for line in self._lines():
            last = len(line)
            while last and line[last - 1][0] == " ":
                last -= 1
            text, fg = [], ""
            for ch, cell_fg in line[:last]:
                if colours and ch != " " and cell_fg != fg:
                    text.append(f"\x1b[{cell_fg}m")
                    fg = cell_fg
                text.append(ch)
            if colours and fg:
                text.append("\x1b[m")
            out.append("".join(text))
        return "\n".join(out)

    def colour_of(self, text: str) -> str | None:
        for line in self._lines():
            chars = "".join(ch for ch, _ in line)
            at = chars.find(text)
            if at < 0:
                continue
            found = {fg for ch, fg in line[at:at + len(text)] if ch != " "}
            if len(found) == 1:
                return found.pop()
            return "mixed:" + ",".join(sorted(found))
        return None
