#!/usr/bin/python3
"""The package selection menu on a real pseudo-terminal: what an operator sees on the 80x25
screen (rendered by pyte), the exact bytes of the drawing, and what the menu returns for each
key. Usage: menu_pty_test.py MENU_DRIVER WORK_DIR [TEST_NAME]"""

import fcntl
import os
import pty
import select
import shutil
import struct
import subprocess
import sys
import termios
import time

import pyte

DRIVER = sys.argv[1]
WORK = sys.argv[2]
TIMEOUT = 5.0

TITLE = "Welcome to Trenavox Router Software installation"
HELP = [
    "Move around menu using 'p' and 'n' or arrow keys, select with 'spacebar'. ",
    "Select all with 'a', minimum with 'm'. Press 'i' to install locally or 'r' to ",
    "install remote router or 'q' to cancel and reboot. ",
]
UP, DOWN, RIGHT, LEFT = b"\x1b[A", b"\x1b[B", b"\x1b[C", b"\x1b[D"

# name, description, dependencies; menu order: system ppp dhcp alpha beta delta gamma
SEVEN = [("gamma", "Gamma rays", []), ("beta", "Beta test", ["alpha", "ghost"]),
         ("system", "Base system", []), ("alpha", "Alpha package", ["ppp"]),
         ("ppp", "Point to point", ["system"]), ("dhcp", "Address server", ["system"]),
         ("delta", "Delta", ["system"])]


def make_packages(name, packages):
    directory = os.path.join(WORK, name)
    shutil.rmtree(directory, ignore_errors=True)
    os.makedirs(directory)
    for package, description, depends in packages:
        path = os.path.join(directory, package + ".qpk")
        subprocess.run([DRIVER, "make", path, package, "1.0", description] + depends, check=True)
    return directory


def result(opening=1, install=True, remote=0, cursor=0, rows=3, chosen="system"):
    return "opening=%d result=%d remote=%d cursor=%d rows=%d install=%s" % (
        opening, install, remote, cursor, rows, chosen)


class Session:
    """One run of the menu driver with the pty as its standard input and output; waits until
    the information area shows `ready` (unless standard input is /dev/null)."""

    def __init__(self, directory, ready="Base system", openings=1, select_all_first=False,
                 stdin_devnull=False):
        self.result_path = os.path.join(WORK, "result.txt")
        if os.path.exists(self.result_path):
            os.unlink(self.result_path)
        self.master, slave = pty.openpty()
        fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 25, 80, 0, 0))
        self.process = subprocess.Popen(
            [DRIVER, "run", directory, self.result_path, str(openings),
             "1" if select_all_first else "0"],
            stdin=subprocess.DEVNULL if stdin_devnull else slave, stdout=slave, stderr=slave,
            start_new_session=True)
        os.close(slave)
        self.screen = pyte.Screen(80, 25)
        self.stream = pyte.ByteStream(self.screen)
        self.raw = b""
        self.mark = 0  # start of the bytes written since the last send
        if not stdin_devnull:
            self.wait_for(lambda: ready in self.row(22), "the information area")
            self.settle()

    def pump(self, wait):
        try:
            data = select.select([self.master], [], [], wait)[0] and os.read(self.master, 65536)
        except OSError:  # the driver is gone
            data = b""
        self.raw += data or b""
        self.stream.feed(data or b"")
        return bool(data)

    def wait_for(self, predicate, what):
        deadline = time.time() + TIMEOUT
        while not predicate():
            if time.time() > deadline:
                raise AssertionError("timed out waiting for " + what + "\n" + self.dump())
            self.pump(0.05)

    def settle(self, quiet=0.1):
        """Reads until the driver has been quiet for `quiet` seconds."""
        while self.pump(quiet):
            pass

    def send(self, keys, settle=True, no_effect=False):
        """Types `keys`; with `settle`, returns once the menu has drawn everything it will.
        Keys with `no_effect` must draw nothing; the others must draw something."""
        self.settle()
        self.mark = len(self.raw)
        os.write(self.master, keys)
        if no_effect:
            self.settle(0.3)
            assert self.since_send() == b"", (keys, self.since_send())
        elif settle:
            self.wait_for(lambda: len(self.raw) > self.mark, "output after %r" % keys)
            self.settle()

    def since_send(self):
        return self.raw[self.mark:].replace(b"\r\n", b"\n")

    def finish(self, hang_up=False):
        """Waits for the driver's end and returns its result lines."""
        if hang_up:
            os.close(self.master)
        deadline = time.time() + TIMEOUT
        while self.process.poll() is None:  # keep reading, or the driver blocks on output
            if time.time() > deadline:
                self.process.kill()
                raise AssertionError("menu did not end")
            self.pump(0.05) if not hang_up else time.sleep(0.02)
        if not hang_up:
            self.settle(0.05)
            os.close(self.master)
        assert self.process.returncode == 0, "driver exit %d" % self.process.returncode
        with open(self.result_path) as f:
            return f.read().splitlines()

    def row(self, y):
        return self.screen.display[y - 1]

    def text_at(self, y, x, length):
        return self.row(y)[x:x + length]

    def reversed_text(self):
        rows = [(y + 1, "".join(self.screen.buffer[y][x].data for x in range(80)
                                if self.screen.buffer[y][x].reverse)) for y in range(25)]
        return [(y, text) for y, text in rows if text]

    def selected(self, layout):
        """The names marked [X] among (name, row, column) of the layout, read off the screen."""
        chosen = []
        for name, row, column in layout:
            cell = self.text_at(row, column + 1, len(name) + 6)
            assert cell.endswith(name + " ") and cell.startswith(" ["), (name, cell, self.dump())
            if cell[2] == "X":
                chosen.append(name)
        return chosen

    def dump(self):
        return "\n".join("%2d|%s|" % (i + 1, line) for i, line in enumerate(self.screen.display))


# (name, row, first screen column of its " " + entry text), for SEVEN with three rows
SEVEN_LAYOUT = [("system", 7, 0), ("ppp", 8, 0), ("dhcp", 9, 0), ("alpha", 7, 25),
                ("beta", 8, 25), ("delta", 9, 25), ("gamma", 7, 51)]
ALL_SEVEN = [name for name, _, _ in SEVEN_LAYOUT]
INFO_ERASE = b"\x1b[21;0H\x1b[2K\x1b[22;0H\x1b[2K\x1b[23;0H\x1b[2K\x1b[24;0H\x1b[2K\x1b[21;0H"


def test_opening_screen_layout_and_bytes(seven):
    s = Session(seven)
    assert s.row(1) == " " * 16 + TITLE + " " * 16, s.row(1)
    for i, line in enumerate(HELP):
        assert s.row(3 + i) == line.ljust(80), s.row(3 + i)
    assert s.row(6).strip() == "" and s.row(10).strip() == ""
    assert s.selected(SEVEN_LAYOUT) == ["system"]  # the minimum on opening
    assert s.reversed_text() == [(7, " [X] system ")], s.reversed_text()
    assert s.row(21).rstrip() == "system (depends on nothing):"
    assert s.row(22).rstrip() == "Base system"
    assert s.screen.cursor.hidden
    raw = s.raw.replace(b"\r\n", b"\n")
    opening = (b"\x1b[2J\x1b[H\x1b[?25l\x1b[m\x1b[1m" + b" " * 16 + TITLE.encode() + b"\n" +
               b" " * 40 + b"\n\x1b[m" + "".join(line + "\n" for line in HELP).encode())
    assert raw.startswith(opening), raw[:400]
    drawn = raw[len(opening):]
    assert drawn.startswith(b"\x1b[7;0H \x1b[m\x1b[7m [ ] system \x1b[m\x1b[8;0H  [ ] ppp "
                            b"\x1b[9;0H  [ ] dhcp \x1b[7;26H  [ ] alpha "), drawn[:200]
    assert b"\x1b[7;0H \x1b[m\x1b[7m [X] system \x1b[m" in drawn
    assert drawn.endswith(INFO_ERASE + b"system (depends on nothing):\nBase system \n"), drawn

    s.send(b"n")
    assert s.since_send() == (b"\x1b[7;0H  [X] system \x1b[8;0H \x1b[m\x1b[7m [ ] ppp \x1b[m" +
                              INFO_ERASE + b"ppp (depends on system):\nPoint to point \n")
    s.send(b"q")
    assert s.since_send() == b"\x1b[25;0H\x1b[?25h", s.since_send()
    assert not s.screen.cursor.hidden
    assert (s.screen.cursor.y, s.screen.cursor.x) == (24, 0)
    assert s.finish() == [result(install=False, cursor=1)]


def test_toggling_follows_dependencies_one_level(seven):
    s = Session(seven, select_all_first=True)
    assert s.selected(SEVEN_LAYOUT) == ["system"]
    s.send(b"nnn ")  # alpha: selects ppp with it, system already chosen
    assert s.selected(SEVEN_LAYOUT) == ["system", "ppp", "alpha"]
    s.send(b"n ")  # beta: alpha already chosen, ghost is not on the medium
    assert s.selected(SEVEN_LAYOUT) == ["system", "ppp", "alpha", "beta"]
    assert s.row(21).rstrip() == "beta (depends on alpha, ghost):"
    assert s.row(23).strip() == ""
    s.send(b"ppp ")  # ppp off: alpha requires it and goes; beta requires only alpha and stays
    assert s.selected(SEVEN_LAYOUT) == ["system", "beta"]
    s.send(b"p ")  # system cannot be deselected directly
    assert s.selected(SEVEN_LAYOUT) == ["system", "beta"]
    s.send(b"A")
    assert s.selected(SEVEN_LAYOUT) == ALL_SEVEN
    s.send(b"M")
    assert s.selected(SEVEN_LAYOUT) == ["system"]
    s.send(b"nnnn ")  # beta again: alpha, ppp follow
    s.send(b"I")
    assert s.finish() == [result(cursor=4, chosen="system,ppp,alpha,beta")]


def test_arrow_keys_columns_and_escape_rules(seven):
    s = Session(seven)
    s.send(b"nn")
    assert s.reversed_text() == [(9, " [ ] dhcp ")]
    s.send(b"N")  # bottom of column 0 to the top of column 26
    assert s.reversed_text() == [(7, " [ ] alpha ")]
    s.send(LEFT + RIGHT + RIGHT)
    assert s.reversed_text() == [(7, " [ ] gamma ")]
    s.send(RIGHT, no_effect=True)  # 6 + 3 is past the end
    s.send(DOWN, no_effect=True)  # already the last entry
    s.send(LEFT + DOWN + UP + DOWN)
    assert s.reversed_text() == [(8, " [ ] beta ")]
    s.send(b"\x1b[Z", no_effect=True)  # dropped
    s.send(b"\x1b[a", no_effect=True)  # dropped, not "select all"
    s.send(b"x?\x07\n", no_effect=True)  # unbound keys: nothing, no bell
    assert b"\x07" not in s.raw
    s.send(b"\x1b ")  # ESC then space toggles as space would
    assert s.selected(SEVEN_LAYOUT) == ["system", "ppp", "alpha", "beta"]
    s.send(b"P" * 10)  # stops at the first entry
    assert s.reversed_text() == [(7, " [X] system ")]
    s.send(UP, no_effect=True)
    s.send(b"\x1bq")  # ESC followed by q cancels
    assert s.finish() == [result(install=False, chosen="system,ppp,alpha,beta")]

    six = make_packages("six", [(n, n + " text", []) for n in
                                ("system", "ppp", "dhcp", "a", "b", "c")])
    s = Session(six, ready="system text")
    assert s.text_at(7, 0, 13) == "  [X] system " and s.text_at(8, 0, 10) == "  [ ] ppp "
    assert s.text_at(7, 25, 11) == "  [ ] dhcp " and s.text_at(7, 51, 8) == "  [ ] b "
    s.send(b"nnnn" + RIGHT)  # 4 + 2 is not less than 6
    assert s.reversed_text() == [(7, " [ ] b ")]
    s.send(b"ppp" + LEFT)  # 1 is less than 2
    assert s.reversed_text() == [(8, " [ ] ppp ")]
    s.send(b"Q")
    assert s.finish() == [result(install=False, cursor=1, rows=2)]


def test_remote_returns_and_reopening_resets_selection(seven):
    s = Session(seven, openings=2)
    s.send(b"nna")
    assert s.selected(SEVEN_LAYOUT) == ALL_SEVEN
    s.send(b"r")
    s.wait_for(lambda: "Address server" in s.row(22), "the menu shown again")
    s.settle()
    assert s.selected(SEVEN_LAYOUT) == ["system"]
    assert s.reversed_text() == [(9, " [ ] dhcp ")]
    assert s.row(21).rstrip() == "dhcp (depends on system):"
    s.send(b"i")
    assert s.finish() == [result(remote=1, cursor=2, chosen=",".join(ALL_SEVEN)),
                          result(opening=2, cursor=2)]


def test_end_of_input_cancels_without_spinning(seven):
    s = Session(seven)
    s.send(b"n")
    started = time.time()
    assert s.finish(hang_up=True) == [result(install=False, cursor=1)]
    assert time.time() - started < 2
    s = Session(seven, stdin_devnull=True)
    assert s.finish() == [result(install=False)]
    s = Session(seven)
    s.send(b"\x1b[", settle=False)  # input ends inside an arrow sequence
    assert s.finish(hang_up=True) == [result(install=False)]


def test_long_description_stays_in_information_area(_):
    words = " ".join("word%03d" % i for i in range(60))
    s = Session(make_packages("long", [("system", "Base", []), ("ppp", words, ["system"]),
                                       ("dhcp", "x" * 100 + " tail", [])]), ready="Base")
    s.send(b"n")
    assert s.row(1).strip() == TITLE, s.dump()  # nothing scrolled
    assert s.row(22).startswith("word000 word001") and s.row(24).strip() != ""
    assert s.row(25).strip() == ""
    assert len(s.row(22).rstrip()) <= 78
    s.send(b"n")  # a word longer than a line is cut to one line
    assert s.row(22).rstrip() == "x" * 77 and s.row(23).rstrip() == "tail"
    assert s.row(24).strip() == "", s.dump()  # nothing left of the longer description
    s.send(b"q")
    s.finish()


def test_more_than_a_screen_pages_by_three_columns(_):
    names = ["system"] + ["p%02d" % i for i in range(49)]
    s = Session(make_packages("many", [(n, "about " + n, []) for n in names]),
                ready="about system")
    assert s.row(6).rstrip() == "Page 1 of 2"
    assert s.text_at(20, 51, 9) == "  [ ] p40"  # entry 41: last row of the third column
    for index, name in enumerate(names):
        selected = "X" if name == "system" else " "
        expected = [(7 + index % 42 % 14, " [%s] %s " % (selected, name))]
        s.wait_for(lambda: s.reversed_text() == expected and
                   s.row(21).startswith(name + " (depends on nothing):"),
                   "%s under the cursor" % name)
        assert s.row(23).strip() == ""
        s.send(b"n", settle=False)
    s.settle()
    assert s.row(6).rstrip() == "Page 2 of 2"
    assert s.text_at(7, 0, 9) == "  [ ] p41" and s.text_at(14, 0, 9) == "  [ ] p48"
    assert s.row(15).strip() == "" and s.row(7)[25:].strip() == ""
    s.send(LEFT)  # back to the first page, third column
    assert s.row(6).rstrip() == "Page 1 of 2"
    assert s.reversed_text() == [(14, " [ ] p34 ")], s.reversed_text()
    s.send(RIGHT)
    assert s.reversed_text() == [(14, " [ ] p48 ")]
    s.send(b"q")
    assert s.finish() == [result(install=False, cursor=49, rows=14)]


def main():
    global WORK
    tests = [value for name, value in globals().items() if name.startswith("test_")]
    if len(sys.argv) > 3:  # each test in its own directory, so tests can run in parallel
        WORK = os.path.join(WORK, sys.argv[3])
        tests = [test for test in tests if test.__name__ == sys.argv[3]]
        assert tests, "no test named " + sys.argv[3]
    os.makedirs(WORK, exist_ok=True)
    seven = make_packages("seven", SEVEN)
    failed = 0
    for test in tests:
        try:
            test(seven)
            print("PASS", test.__name__)
        except AssertionError as error:
            failed += 1
            print("FAIL", test.__name__, error)
    print("%d of %d menu tests failed" % (failed, len(tests)))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
