// The prompts of the installation server: a one-line editor with an optional default, an IPv4
// address prompt built on it, and a yes/no question that shows the cursor while it waits.
#pragma once

#include <netinet/in.h>

// Edits one line and copies it, terminated, into `out` (`size` bytes). `defaultText` may be
// null. Returns false when standard input ended before Enter: `out` then holds an empty text
// and the caller treats it as a cancel.
bool promptText(const char* label, const char* defaultText, char* out, int size);
// Asks until the answer parses as an IPv4 address (network order). `defaultAddress` 0 means no
// default. Returns 0 (no address) when standard input ends.
in_addr_t promptAddress(const char* label, in_addr_t defaultAddress);
// Yes/no with the cursor shown; end of input counts as no.
bool promptYesNo(const char* question);
