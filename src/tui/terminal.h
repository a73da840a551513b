// The console layer: raw mode and its restoration, key waits with an audible refusal, the
// yes/no question, cursor and screen control and three ways of writing text on an 80x25 ANSI
// terminal. Every operation writes fixed escape sequences with printf; keys are read byte by
// byte from standard input, after pending output has been flushed.
#pragma once

#include <stddef.h>
#include <termios.h>

constexpr int kScreenColumns = 80;
constexpr int kScreenRows = 25;
constexpr int kWrapWidth = 78;         // characters per word-wrapped line, trailing space included
constexpr int kWrapBufferSize = 80;    // the word-wrap line buffer
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

void enterRawMode(TerminalState& state);
void restoreTerminal(TerminalState& state);
// Blocks until `key` is read and returns it; every other byte rings the bell. Returns EOF when
// standard input ends.
int waitForKey(TerminalState& state, char key);
int waitForEnter(TerminalState& state);
// The single-key yes/no question: true for y/Y. End of input counts as no.
bool askYesNo(TerminalState& state, const char* question);

// Reads one key byte from standard input after flushing standard output. Returns the byte
// (0-255) or EOF when input ends. An interrupt pending while it waits runs the abort path.
int readKeyByte();

void gotoXY(int column, int row);
void clearScreen();
void clearLine();
void setCursorHidden(bool hidden);
void setAttributes(unsigned mask);

void printLine(const char* text, size_t length, bool centred);
void printWrapped(const char* text, bool centred);
void printLines(const char* text, bool centred);
