// SPDX-License-Identifier: GPL-3.0-or-later
// Loaded into Wine with LD_PRELOAD by the Windows end-to-end test. A pseudo-terminal has no
// modem lines, so Linux answers their requests with ENOTTY; Wine's serial layer then fails the
// escape functions and the modem-status query, and its comm-event wait never reports received
// characters. Here those four requests succeed on a terminal that refused them: the status
// shows CTS, DSR and CD (a module that is plugged in and powered), and RTS/DTR are remembered
// per descriptor so that what was set reads back. Every other request passes through unchanged.
// With LL_WINE_MODEM_LOG naming a file, every change of RTS or DTR appends "RTS=r DTR=d" to it.
//
// A driver that never gives a call back, on demand: with LL_WINE_HOLD_EVENT_WAITS naming a file,
// once that file exists every interrupt-counter request (TIOCGICOUNT, which Wine's comm-event
// wait makes on each wake-up, and nothing else does) is held for good, and the file's name with
// ".held" appended is created, so the test knows a request is now stuck.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#define TRACKED_DESCRIPTORS 4096

static int outputLines[TRACKED_DESCRIPTORS];  // TIOCM_RTS | TIOCM_DTR as last set

typedef int (*IoctlFunction)(int, unsigned long, ...);

static void HoldWhenAsked(void) {
  const char* trigger = getenv("LL_WINE_HOLD_EVENT_WAITS");
  if (trigger == NULL || access(trigger, F_OK) != 0) return;
  char held[PATH_MAX];
  snprintf(held, sizeof held, "%s.held", trigger);
  const int fd = open(held, O_CREAT | O_WRONLY | O_CLOEXEC, 0600);
  if (fd >= 0) close(fd);
  for (;;) pause();  // signals (Wine's own thread ending among them) still reach the thread
}

int ioctl(int fd, unsigned long request, ...) {
  static IoctlFunction real;
  if (!real) real = (IoctlFunction)dlsym(RTLD_NEXT, "ioctl");
  va_list args;
  va_start(args, request);
  void* argument = va_arg(args, void*);
  va_end(args);
  if (request == TIOCGICOUNT) HoldWhenAsked();

  const int result = real(fd, request, argument);
  const int isModemRequest = request == TIOCMGET || request == TIOCMSET ||
                             request == TIOCMBIS || request == TIOCMBIC;
  if (result == 0 || errno != ENOTTY || !isModemRequest || !isatty(fd) ||
      fd < 0 || fd >= TRACKED_DESCRIPTORS || argument == NULL) {
    return result;
  }
  int* bits = (int*)argument;
  const int outputs = TIOCM_RTS | TIOCM_DTR;
  const int before = outputLines[fd];
  switch (request) {
    case TIOCMGET: *bits = outputLines[fd] | TIOCM_CTS | TIOCM_DSR | TIOCM_CD; break;
    case TIOCMSET: outputLines[fd] = *bits & outputs; break;
    case TIOCMBIS: outputLines[fd] |= *bits & outputs; break;
    case TIOCMBIC: outputLines[fd] &= ~*bits; break;
  }
  const char* log = getenv("LL_WINE_MODEM_LOG");
  if (log != NULL && outputLines[fd] != before) {
    char line[32];
    const int n = snprintf(line, sizeof line, "RTS=%d DTR=%d\n", !!(outputLines[fd] & TIOCM_RTS),
                           !!(outputLines[fd] & TIOCM_DTR));
    const int out = open(log, O_CREAT | O_WRONLY | O_APPEND | O_CLOEXEC, 0600);
    if (out >= 0) {
      if (write(out, line, (size_t)n) != n) { /* a lost line shows as a failed comparison */ }
      close(out);
    }
  }
  errno = 0;
  return 0;
}
