// Starting children, the one recipe for every child the installer makes (external tools and
// the installer child alike): close-on-exec pipes, default signal dispositions, standard
// descriptors that are never left free, nothing else inherited. At most one child is joined to
// the installer by a pipe at a time; its id sits in pipedChild until closeTool ends it.
#pragma once

#include <stdio.h>
#include <sys/types.h>

constexpr int kLogTerminalPathSize = 32;
// Path of the log terminal that external tools write to; "/dev/null" on a machine without a
// text console.
extern char logTerminalPath[kLogTerminalPathSize];

// The one child connected to the installer by a pipe, -1 when none.
extern pid_t pipedChild;

// Where one of a child's standard descriptors comes from.
enum class ChildStream {
  inherit,  // ours (the console)
  null,     // /dev/null
  log,      // the log terminal, or /dev/null when it does not open
  pipe,     // the pipe to the installer (at most one descriptor of a child)
};

struct ChildSetup {
  ChildStream input = ChildStream::null;
  ChildStream output = ChildStream::log;
  ChildStream errors = ChildStream::log;
  const char* root = nullptr;  // confined here (chroot, then "/" as working directory) when set
};

// The body a child runs; its result becomes the child's exit code.
using ChildMain = int (*)(void* argument);
// Exit code of a child that could not be set up or could not start its program.
constexpr int kChildSetupFailed = 127;

// Starts `main(argument)` in a child set up as `setup` describes. A pipe stream of the setup is
// one end of a fresh pipe; the other end, close-on-exec, is returned in *ourEnd. Returns the
// child's id, or -1 (nothing left open) when it could not be started.
pid_t startChild(const ChildSetup& setup, ChildMain main, void* argument, int* ourEnd);
// A program to execute: its path and null-terminated argument vector.
struct ProgramCall {
  const char* path;
  char* const* argv;
};
// A ChildMain that executes the ProgramCall it is given; returns only when execv failed.
int execProgram(void* call);

// Starts a child joined to us by the pipe of its setup and wraps our end in a stream ("w" when
// the child reads its input from the pipe, otherwise "r"). The child's id goes to pipedChild.
// Null when a piped child exists already or nothing could be started.
FILE* openPipedChild(const ChildSetup& setup, ChildMain main, void* argument);
// Closes a stream from openPipedChild and waits for its child. Returns the raw wait status, or
// -1 when no piped child was recorded, closing failed or the wait failed.
int closeTool(FILE* stream);
// Kills and collects the piped child, also while closeTool is waiting for it (the abort path:
// an installer child confined to /mnt would keep the target busy). Nothing when there is none.
void endPipedChild();
