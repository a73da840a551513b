// The console layer: raw mode and its restoration, key waits with an audible refusal, the
// yes/no question, cursor and screen control and three ways of writing text on an 80x25 ANSI
// terminal. Every operation writes fixed escape sequences with printf; keys are read byte by
// byte from standard input, after pending output has been flushed.
#pragma once

#include <stddef.h>
#include <termios.h>

constexpr int kScreenColumns = 80;
constexpr int kScreenRows = 25;
constexpr int kWrapWidth = 78;       // characters per word-wrapped line, trailing space included
constexpr int kWrapBufferSize = 80;  // the word-wrap line buffer
constexpr int kBellByte = 7;
constexpr int kDeleteKey = 127;
constexpr int kEscapeKey = 27;

// Text attribute bits.
constexpr unsigned AttrUnderline = 1;
constexpr unsigned AttrReverse = 2;
constexpr unsigned AttrBlink = 4;
constexpr unsigned AttrBold = 8;

struct TerminalState {
  termios savedAttributes;  // standard input's attributes when raw mode was last entered
  int rawActive = 0;        // 1 while raw mode entered through this record is in force
};

// The process-wide console record, created at start-up and never freed.
extern TerminalState* consoleTerminal;

// Switches standard input to raw mode (no ICANON, no ECHO, VMIN 1, VTIME 0; every other flag,
// ISIG and ICRNL included, is kept), saving the previous attributes in `state`. Does nothing
// while `state` is already raw, so the first saved attributes survive a second call.
void enterRawMode(TerminalState& state);
// Applies the saved attributes if `state` is raw, then always shows the cursor ("\e[?25h").
void restoreTerminal(TerminalState& state);
// Blocks until the byte `key` is read and returns it (0-255); every other byte rings the bell
// once (an arrow key, three bytes, rings three times). Returns EOF when standard input ends.
// `state` is not consulted.
int waitForKey(TerminalState& state, char key);
// waitForKey with "\n": Enter, or EOF when standard input ends.
int waitForEnter(TerminalState& state);
// Writes "<question> [y/n]:" and reads single keys: y/Y echoes "y\n" and returns true, n/N
// echoes "n\n" and returns false, anything else rings the bell. There is no default answer.
// End of input returns false without further output: a console that is gone cannot agree.
// Expects raw mode; `state` is not consulted.
bool askYesNo(TerminalState& state, const char* question);

// Reads one key byte from standard input after flushing standard output, waiting through
// waitForInput so that an interrupt pending while it waits runs the abort path. Returns the
// byte (0-255), or EOF when input has ended: a read of 0 bytes or an error other than
// EINTR/EAGAIN (a hung-up terminal, /dev/null). Every key reader uses it, so end of input
// always ends a wait instead of spinning on it.
int readKeyByte();

// "\e[<row>;<column>H": column first in the call, row first on the wire, both unchanged
// (callers use column 0 for the first column and the terminal's 1-based rows).
void gotoXY(int column, int row);
// "\e[2J\e[H": clears the screen and homes the cursor.
void clearScreen();
// "\e[2K": erases the current line; the cursor stays where it is.
void clearLine();
// "\e[?25l" hides the cursor, "\e[?25h" shows it.
void setCursorHidden(bool hidden);
// "\e[m", then the sequence of each set bit in the order underline, reverse, blink, bold.
void setAttributes(unsigned mask);

// Writes exactly `length` bytes of `text` and "\n"; centred, (80 - length) / 2 spaces go first.
// A line of more than 80 bytes gets no padding.
void printLine(const char* text, size_t length, bool centred);
// Word-wraps `text` (words separated by spaces and newlines) into lines of at most 78
// characters, each word followed by one space, each line through printLine; an empty text
// gives one empty line. A word of 78 or more characters cannot fit with its space: it is split
// into pieces of 77 characters (the last one shorter), each placed like a word, so no text is
// lost and no line is longer than 78.
void printWrapped(const char* text, bool centred);
// Writes `text` piece by piece between newlines through printLine, without wrapping; what
// follows the last newline is written too, even when empty.
void printLines(const char* text, bool centred);
