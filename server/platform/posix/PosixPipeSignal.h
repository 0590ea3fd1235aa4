// POSIX backend: I/O calls that must never raise SIGPIPE.
#ifndef TARVELD_POSIX_PIPE_SIGNAL_H
#define TARVELD_POSIX_PIPE_SIGNAL_H

#include <signal.h>
#include <sys/types.h>

#include <cerrno>

// Runs one write-like call with SIGPIPE held back in the calling thread: a
// vanished peer or reader then costs EPIPE, never the signal, whether or not
// the process ignores it. A call cut short may return what it wrote and
// still raise the signal, so a signal that was not pending before the call
// is taken back after it, whatever the call returned.
template <typename Call>
ssize_t WithoutPipeSignal(Call call) {
  sigset_t pipeSignal, previous, pending;
  sigemptyset(&pipeSignal);
  sigaddset(&pipeSignal, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipeSignal, &previous);
  sigpending(&pending);
  bool alreadyPending = sigismember(&pending, SIGPIPE);
  ssize_t result;
  do result = call(); while (result < 0 && errno == EINTR);
  int error = errno;
  if (!alreadyPending) {
    sigpending(&pending);
    if (sigismember(&pending, SIGPIPE)) {
      struct timespec now = {0, 0};
      sigtimedwait(&pipeSignal, nullptr, &now);
    }
  }
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  errno = error;
  return result;
}

#endif
