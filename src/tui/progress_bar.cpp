// The progress bar redraws only when a further cell fills, so a slow medium costs no more
// console output than the bar's width.
#include "tui/progress_bar.h"

#include <stdio.h>

namespace {

void writeRepeated(char c, uint32_t count) {
  for (uint32_t i = 0; i < count; ++i) putchar(c);
}

}  // namespace

void initProgress(ProgressBar& bar, uint32_t width, uint32_t total) {
  bar.width = width;
  bar.total = total;
  bar.shown = 0;
  bar.drawn = 0;
  bar.steps = 0;
}

void drawFrame(ProgressBar& bar) {
  putchar('[');
  writeRepeated(' ', bar.width);
  putchar(']');
  fflush(stdout);
  bar.drawn = 1;
}

void updateProgress(ProgressBar& bar, uint32_t value) {
  if (!bar.drawn || bar.total == 0) return;
  uint64_t cells = static_cast<uint64_t>(value) * bar.width / bar.total;
  if (cells > bar.width) cells = bar.width;
  if (cells <= bar.shown) return;
  bar.shown = static_cast<uint32_t>(cells);
  putchar('\r');
  putchar('[');
  writeRepeated('#', bar.shown);
  fflush(stdout);
}

void stepProgress(ProgressBar& bar) {
  bar.steps += 1;
  updateProgress(bar, bar.steps);
}

void completeProgress(ProgressBar& bar) {
  updateProgress(bar, bar.total);
}

void finishProgress(ProgressBar& bar) {
  if (bar.drawn) putchar('\n');
}
