"""A minimal terminal screen: what a program's output to a pseudo-terminal leaves on the screen.

Feed it the bytes read from the master side of a pty (after the tty's output processing, so a
program's LF arrives as CR LF) and read back the screen and the rows that scrolled off its top.
It takes the subset of VT sequences a line-drawing program needs and refuses any other, so that a
test notices output it cannot read:

  printable text   one column per code point; a character written in the last column leaves the
                   cursor there, and the next one wraps to a new row first (as xterm does)
  CR, LF           column 0; down a row, scrolling at the bottom (LF keeps the column)
  ESC [ n A        cursor up n rows (1 when n is left out), stopping at the top
  ESC [ K          erase from the cursor to the end of its row
  ESC [ J          erase from the cursor to the end of the screen

    >>> s = Screen(columns=20, rows=4)
    >>> s.feed(b"one\\r\\ntwo\\r\\nboard: 1")
    >>> s.feed(b"\\r\\x1b[Jthree\\r\\nboard: 2\\x1b[J\\r\\nend\\r\\n")
    >>> s.history, s.rows()
    (['one', 'two'], ['three', 'board: 2', 'end', ''])
    >>> s.transcript()
    ['one', 'two', 'three', 'board: 2', 'end', '']
    >>> s.cursor
    (3, 0)
"""

import codecs
import re

_SEQUENCE = re.compile(r"\x1b\[([0-9]*)([A-Za-z])")


class Screen:
    def __init__(self, columns=80, rows=24):
        self.columns = columns
        self.height = rows
        self._cells = [self._blank() for _ in range(rows)]
        self._wrapped = [False] * rows  # the row goes on from the one above (a long line)
        self.history = []  # rows scrolled off the top, oldest first, trailing blanks trimmed
        self.history_wrapped = []
        self.row = 0
        self.column = 0
        self._wrap_next = False
        self._decoder = codecs.getincrementaldecoder("utf-8")("replace")
        self._begun = ""  # an escape sequence that the last feed ended in

    @property
    def cursor(self):
        """(row, column) of the cursor on the screen, from 0."""
        return self.row, self.column

    def _blank(self):
        return [" "] * self.columns

    def _line_feed(self):
        self._wrap_next = False
        if self.row + 1 < self.height:
            self.row += 1
            return
        self.history.append("".join(self._cells.pop(0)).rstrip(" "))
        self.history_wrapped.append(self._wrapped.pop(0))
        self._cells.append(self._blank())
        self._wrapped.append(False)

    def _put(self, char):
        if self._wrap_next:
            self._line_feed()
            self.column = 0
            self._wrapped[self.row] = True
        self._cells[self.row][self.column] = char
        if self.column + 1 < self.columns:
            self.column += 1
        else:
            self._wrap_next = True

    def _escape(self, argument, final):
        self._wrap_next = False
        if final == "A":
            self.row = max(0, self.row - int(argument or "1"))
        elif final == "K" and argument == "":
            self._cells[self.row][self.column:] = [" "] * (self.columns - self.column)
        elif final == "J" and argument == "":
            self._cells[self.row][self.column:] = [" "] * (self.columns - self.column)
            for r in range(self.row + 1, self.height):
                self._cells[r] = self._blank()
                self._wrapped[r] = False
        else:
            raise ValueError("a sequence this screen does not take: ESC [%s%s" % (argument, final))

    def feed(self, data):
        """Takes the next bytes of the output (a character or a sequence may be split between
        two feeds)."""
        text = self._begun + self._decoder.decode(data)
        self._begun = ""
        at = 0
        while at < len(text):
            char = text[at]
            if char == "\x1b":
                match = _SEQUENCE.match(text, at)
                if not match:
                    if re.fullmatch(r"\x1b(\[[0-9]*)?", text[at:]):
                        self._begun = text[at:]
                        return
                    raise ValueError("an escape this screen does not take: %r" % text[at:at + 8])
                self._escape(match.group(1), match.group(2))
                at = match.end()
                continue
            if char == "\r":
                self.column = 0
                self._wrap_next = False
            elif char == "\n":
                self._line_feed()
            elif ord(char) < 0x20 or 0x7F <= ord(char) < 0xA0:
                raise ValueError("a control character this screen does not take: %r" % char)
            else:
                self._put(char)
            at += 1

    def rows(self):
        """The screen's rows, top to bottom, trailing blanks trimmed."""
        return ["".join(cells).rstrip(" ") for cells in self._cells]

    def transcript(self):
        """Every row shown so far down to the cursor's: those scrolled off, then the screen's."""
        return self.history + self.rows()[:self.row + 1]

    def lines(self):
        """The transcript with each line that wrapped over several rows joined again."""
        wrapped = self.history_wrapped + self._wrapped[:self.row + 1]
        lines = []
        for row, goes_on in zip(self.transcript(), wrapped):
            if goes_on and lines:
                lines[-1] = lines[-1].ljust(self.columns) + row
            else:
                lines.append(row)
        return lines


if __name__ == "__main__":
    import doctest

    doctest.testmod()
