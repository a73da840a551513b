// Helpers for comparing what the installer wrote on its console with the expected texts.
#pragma once

#include <string>

// The progress ticker adds one dot per second that a step took after the step's "...":
// folds every such run of dots back to the three of the text, so timing does not matter.
std::string withoutTickerDots(const std::string& text);
