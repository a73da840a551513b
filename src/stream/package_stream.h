// The package stream: the one way every install flow hands package bytes to the package
// library, through an installer child confined to "/mnt" that reads them on its standard input.
// A flow starts the child, writes a part or whole package files into it, and closes it, whose
// status says whether the library installed everything.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

constexpr size_t kCopyPieceSize = 4096;  // package bytes are copied in pieces of at most this

// Starts the installer child; returns a write stream on its standard input, or null (also while
// another piped child exists).
FILE* startPackageInstaller();
// Writes `size` bytes into the stream in pieces of at most kCopyPieceSize. An interrupt while
// the child is slow to take them runs the abort path. False when the child no longer takes
// bytes (it ended, or refused the stream).
bool writePackageBytes(FILE* stream, const uint8_t* data, size_t size);
// Copies the package file open on `fd` from its current offset to its end into the stream.
// Returns the bytes copied, -1 when the child no longer takes them, -2 when the file could not
// be read.
int64_t writePackageFile(FILE* stream, int fd);
// Closes the stream (the child sees the end) and waits for the child. True only when it ended
// with status 0: every package of the stream installed.
bool closePackageInstaller(FILE* stream);

// The child's body: confined to "/mnt", installs what arrives on standard input with the
// package library. Returns 0 when everything installed, 1 otherwise.
int installerChildMain();
