// SPDX-License-Identifier: GPL-3.0-or-later
// Loaded into Wine (LD_PRELOAD) for the tests that reach the simulator through a COM port mapped
// to a pseudo-terminal. A pty has no modem lines: Linux answers TIOCMGET, TIOCMBIS, TIOCMBIC and
// TIOCMSET with ENOTTY there, and Wine then fails the port's modem-status and line-control calls
// and never reports received characters to a comm-event wait. Here those four requests succeed
// on a pty, with CTS, DSR and CD reported present, as on a null-modem cable; every other request,
// and every request on any other file, goes to the system unchanged.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdarg.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>

// Linux numbers pseudo-terminal slaves with majors 136..143 (UNIX98 ptys).
static int is_pty(int fd) {
  struct stat st;
  return fstat(fd, &st) == 0 && S_ISCHR(st.st_mode) && major(st.st_rdev) >= 136 &&
         major(st.st_rdev) <= 143;
}

int ioctl(int fd, unsigned long request, ...) {
  static int (*system_ioctl)(int, unsigned long, ...);
  if (!system_ioctl) system_ioctl = (int (*)(int, unsigned long, ...))dlsym(RTLD_NEXT, "ioctl");
  va_list args;
  va_start(args, request);
  void* argument = va_arg(args, void*);
  va_end(args);

  const int result = system_ioctl(fd, request, argument);
  if (result == 0 || errno != ENOTTY || !is_pty(fd)) return result;
  switch (request) {
    case TIOCMGET:
      if (argument) *(int*)argument = TIOCM_CTS | TIOCM_DSR | TIOCM_CD | TIOCM_DTR | TIOCM_RTS;
      errno = 0;
      return 0;
    case TIOCMBIS:
    case TIOCMBIC:
    case TIOCMSET:
      errno = 0;
      return 0;
    default:
      return result;
  }
}
