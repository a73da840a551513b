// The console layer: raw mode on standard input, byte-wise key reading through the abort-aware
// wait, the bell-refusing key waits, fixed ANSI sequences for the screen, and the three text
// writers. Nothing here reports errors: a console that fails has no one to tell.
#include "tui/terminal.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "base/signals.h"

TerminalState* consoleTerminal = nullptr;

namespace {

// A word longer than this cannot share a wrapped line with its trailing space, so it is cut
// into pieces of this size, each placed like a word of its own.
constexpr size_t kLongestWrappedWord = kWrapWidth - 1;

void ringBell() {
  putchar(kBellByte);
  fflush(stdout);
}

}  // namespace

void enterRawMode(TerminalState& state) {
  // A second call must keep the attributes the first one saved, or restoring would leave the
  // console raw.
  if (state.rawActive) return;
  memset(&state.savedAttributes, 0, sizeof state.savedAttributes);
  (void)tcgetattr(0, &state.savedAttributes);
  termios raw = state.savedAttributes;
  // ISIG stays on so Ctrl-C still raises the abort; input modes keep ICRNL, so Enter reads "\n".
  raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
  raw.c_cc[VMIN] = 1;
  raw.c_cc[VTIME] = 0;
  (void)tcsetattr(0, TCSAFLUSH, &raw);
  state.rawActive = 1;
}

void restoreTerminal(TerminalState& state) {
  if (state.rawActive != 0) {
    (void)tcsetattr(0, TCSAFLUSH, &state.savedAttributes);
    state.rawActive = 0;
  }
  // The cursor may have been hidden by a screen that never entered raw mode itself.
  printf("\033[?25h");
}

int readKeyByte() {
  fflush(stdout);
  for (;;) {
    // Waiting here rather than in read() lets a pending interrupt run its abort path.
    if (waitForInput(0, -1) < 0) return EOF;
    unsigned char byte = 0;
    ssize_t count = read(0, &byte, 1);
    if (count == 1) return byte;
    if (count < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
    // 0 bytes, or a hung-up or closed console: there will never be another key.
    return EOF;
  }
}

int waitForKey(TerminalState&, char key) {
  const int wanted = static_cast<unsigned char>(key);
  for (;;) {
    int byte = readKeyByte();
    if (byte == EOF) return EOF;
    if (byte == wanted) return byte;
    ringBell();
  }
}

int waitForEnter(TerminalState& state) {
  return waitForKey(state, '\n');
}

bool askYesNo(TerminalState&, const char* question) {
  printf("%s [y/n]:", question);
  fflush(stdout);
  for (;;) {
    int byte = readKeyByte();
    if (byte == EOF) return false;
    if (byte == 'y' || byte == 'Y') {
      printf("y\n");
      return true;
    }
    if (byte == 'n' || byte == 'N') {
      printf("n\n");
      return false;
    }
    ringBell();
  }
}

void gotoXY(int column, int row) {
  printf("\033[%d;%dH", row, column);
}

void clearScreen() {
  printf("\033[2J\033[H");
}

void clearLine() {
  printf("\033[2K");
}

void setCursorHidden(bool hidden) {
  if (hidden) {
    printf("\033[?25l");
  } else {
    printf("\033[?25h");
  }
}

void setAttributes(unsigned mask) {
  printf("\033[m");
  if (mask & AttrUnderline) printf("\033[4m");
  if (mask & AttrReverse) printf("\033[7m");
  if (mask & AttrBlink) printf("\033[5m");
  if (mask & AttrBold) printf("\033[1m");
}

void printLine(const char* text, size_t length, bool centred) {
  // A line wider than the screen gets no padding rather than a negative count.
  if (centred && length < static_cast<size_t>(kScreenColumns)) {
    printf("%*s", static_cast<int>((kScreenColumns - length) / 2), "");
  }
  if (length > 0) fwrite(text, 1, length, stdout);
  putchar('\n');
}

void printWrapped(const char* text, bool centred) {
  char line[kWrapBufferSize];
  size_t used = 0;
  const char* cursor = text;
  for (;;) {
    while (*cursor == ' ' || *cursor == '\n') ++cursor;
    if (*cursor == '\0') break;
    size_t wordLength = strcspn(cursor, " \n");
    // Long words are split rather than dropped or cut, so no text is lost and no line is
    // wider than the wrap width.
    while (wordLength > 0) {
      size_t piece = wordLength < kLongestWrappedWord ? wordLength : kLongestWrappedWord;
      if (used + piece + 1 > static_cast<size_t>(kWrapWidth)) {
        printLine(line, used, centred);
        used = 0;
      }
      memcpy(line + used, cursor, piece);
      used += piece;
      line[used++] = ' ';
      cursor += piece;
      wordLength -= piece;
    }
  }
  printLine(line, used, centred);
}

void printLines(const char* text, bool centred) {
  const char* start = text;
  for (const char* end = strchr(start, '\n'); end; end = strchr(start, '\n')) {
    printLine(start, static_cast<size_t>(end - start), centred);
    start = end + 1;
  }
  printLine(start, strlen(start), centred);
}
