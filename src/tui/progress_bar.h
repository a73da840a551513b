// A one-line progress bar of "#" cells between brackets, drawn on standard output.
#pragma once

#include <stdint.h>

struct ProgressBar {
  uint32_t width;  // number of cells
  uint32_t total;  // the value that fills the bar
  uint32_t shown;  // cells currently filled
  uint8_t drawn;   // 1 once the frame has been drawn
  uint32_t steps;  // step counter
};

void initProgress(ProgressBar& bar, uint32_t width, uint32_t total);
// Writes "[", width blanks and "]" and marks the bar drawn.
void drawFrame(ProgressBar& bar);
// Fills value * width / total cells (never more than width, never fewer than already shown).
void updateProgress(ProgressBar& bar, uint32_t value);
void stepProgress(ProgressBar& bar);
void completeProgress(ProgressBar& bar);
// Ends the bar's line when it was drawn.
void finishProgress(ProgressBar& bar);
