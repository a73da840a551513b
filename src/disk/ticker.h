// The progress ticker: a step's text, then one dot per second until the step ends.
#pragma once

struct InstallContext;

// Prints `text` (nothing when empty), flushes, and arms the one-second ticker.
void startProgress(InstallContext& context, const char* text);
// Ends the line and stops the ticker.
void stopProgress(InstallContext& context);
// Stops the ticker without ending the line: for the abort path, which interrupts any step.
void cancelProgress();
