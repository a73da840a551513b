// The floppy installation flow: target preparation, then the floppies of a set asked for one by
// one, each part read, verified and repaired by the floppy reader and streamed into one
// installer child.
#pragma once

#include <stdio.h>

struct InstallContext;

constexpr int kFloppyNameSize = 80;     // the part file's path buffer
constexpr int kOrdinalBufferSize = 80;  // ordinalWord's text for numbers other than 1, 2, 3
// The kernel's floppy driver fails the first mount after a medium change; one more try
// follows straight away before the operator is told.
constexpr int kFloppyMountTries = 2;

// Streams every part of the set into one installer child. True when the child took the whole
// set and ended with status 0.
bool installFloppySet(InstallContext& context);
// Asks for floppy partIndex + 2 until its part file opens; returns it open for reading with the
// floppy mounted read-only on "/floppy", or null when the console input ended. A missing part
// file is the wrong floppy; one that cannot be opened is a bad floppy: both are asked for again.
FILE* openFloppyPart(InstallContext& context, unsigned partIndex);
// Prompts for the floppy with the given number and waits for Enter. False when input ended.
bool askForFloppy(InstallContext& context, unsigned number);
// "1st", "2nd", "3rd", otherwise "%uth" in a buffer that the next call overwrites.
const char* ordinalWord(unsigned number);
