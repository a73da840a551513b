// The prompts of the installation server: a one-line editor with an optional default, an IPv4
// address prompt built on it, and a yes/no question that shows the cursor while it waits.
#pragma once

#include <netinet/in.h>

// Edits one line on the current row and copies it, terminated, into `out` (`size` bytes, so at
// most size - 1 characters). `defaultText` may be null; a default is shown in reverse video,
// accepted with Enter or replaced by the first typed key (DEL does nothing while it is shown;
// a default longer than size - 1 is cut). DEL erases the last character; keys beyond the limit
// and NUL bytes are ignored; every other byte is text. Shows the cursor while it waits and hides
// it before returning. Returns true at Enter. Returns false when standard input ended before
// Enter: `out` then holds an empty text and the caller treats it as a cancel. A `size` below 1
// leaves `out` untouched and returns false at once.
bool promptText(const char* label, const char* defaultText, char* out, int size);
// Asks with promptText (at most 19 characters) until the answer parses with inet_aton, and
// returns it in network order. `defaultAddress` 0 means no default; an unparsable or empty
// answer asks again silently. Returns 0 (no address) when standard input ends; an answer of
// 0.0.0.0 returns 0 as well.
in_addr_t promptAddress(const char* label, in_addr_t defaultAddress);
// Yes/no like askYesNo, with the cursor shown while it waits and hidden before it returns; end
// of input counts as no.
bool promptYesNo(const char* question);
