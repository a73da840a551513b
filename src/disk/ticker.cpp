// The progress ticker: a step's text, then a dot each second from the SIGALRM handler until the
// step ends. The dots go straight to descriptor 1, past stdio, so they never mix into a buffer
// that the main code is filling; the text is flushed before the first tick can come.
#include "disk/ticker.h"

#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "base/context.h"
#include "base/platform.h"

namespace {

constexpr unsigned kTickSeconds = 1;

void setAlarmHandler(void (*handler)(int)) {
  struct sigaction action;
  memset(&action, 0, sizeof action);
  sigemptyset(&action.sa_mask);
  action.sa_handler = handler;
  action.sa_flags = SA_RESTART;
  sigaction(SIGALRM, &action, nullptr);
}

void onTick(int) {
  int savedErrno = errno;
  ssize_t ignored = write(1, ".", 1);
  (void)ignored;  // a console that refuses a dot is no reason to stop the step
  platform().alarm(kTickSeconds);
  errno = savedErrno;
}

}  // namespace

void startProgress(InstallContext&, const char* text) {
  if (text && text[0]) fputs(text, stdout);
  fflush(stdout);
  setAlarmHandler(onTick);
  platform().alarm(kTickSeconds);
}

void cancelProgress() {
  setAlarmHandler(SIG_IGN);
  platform().alarm(0);
}

void stopProgress(InstallContext&) {
  // The ticker is silenced before the line ends: a tick between the newline and the silencing
  // would put a stray dot at the start of whatever is printed next.
  cancelProgress();
  putchar('\n');
  // The line end belongs before any message that follows, also one on standard error.
  fflush(stdout);
}
