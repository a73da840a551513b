// The installer child: a process confined to "/mnt" that installs the package stream arriving
// on its standard input with the package library.
#pragma once

#include <stdio.h>

constexpr int kCopyPieceSize = 4096;  // package bytes are copied in pieces of at most this

// Starts the installer child; returns a write stream on its standard input, or null.
FILE* startPackageInstaller();
// The child's body; returns the library's result.
int installerChildMain();
