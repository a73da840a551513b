// Runs the external tools of the medium and of the installed system as child processes, their
// chatter sent to the log terminal, either awaited or connected to the installer by a pipe
// (closed with closeTool, from the child recipe below).
#pragma once

#include <stdio.h>

#include "base/child.h"

constexpr int kToolArgumentSlots = 16;  // program path, at most 14 words, terminating null

// Runs `path` with `argv` (null-terminated), confined to `root` when it is not null. Returns
// the child's raw wait status, or -1 when no child could be started or the wait failed.
int runProgram(const char* root, const char* path, char* const argv[]);
// As runProgram, with the argument words given after the path and ending with a null.
int runCommand(const char* root, const char* path, ...);
// A read stream on the tool's standard output, or null (also while a piped child exists).
FILE* openToolOutput(const char* path, ...);
// A write stream on the tool's standard input, or null. The word ">null" sends the tool's own
// output to the log terminal instead of the console.
FILE* openToolInput(const char* path, ...);
