// POSIX backend of console control events. Once a handler is registered the
// console signals are blocked in every thread and received by one thread of
// our own, which delivers each event on a new thread to the handlers, newest
// first, as the console does (on its own thread when no new one can be
// had). Unhandled events end the process. The same thread receives SIGUSR2,
// the request to reopen log files, and runs its handler itself.
#include <pthread.h>
#include <signal.h>

#include <cerrno>
#include <new>

#include "PlatSyscallTable.h"
#include "platform/platform.h"

namespace {

struct SignalEvent {
  int signal;
  uint32_t ctrlType;
};

const SignalEvent SignalEvents[] = {
    {SIGINT, PLAT_CTRL_C_EVENT},      {SIGQUIT, PLAT_CTRL_BREAK_EVENT},
    {SIGHUP, PLAT_CTRL_CLOSE_EVENT},  {SIGUSR1, PLAT_CTRL_LOGOFF_EVENT},
    {SIGTERM, PLAT_CTRL_SHUTDOWN_EVENT},
};

// Reopening a log is the work of a moment: no thread of its own.
constexpr int REOPEN_SIGNAL = SIGUSR2;

constexpr int MAX_HANDLERS = 16;
pthread_mutex_t HandlerMutex = PTHREAD_MUTEX_INITIALIZER;
PlatCtrlHandler Handlers[MAX_HANDLERS];
int HandlerCount = 0;
bool Receiving = false;
PlatReopenHandler ReopenHandler = nullptr;  // under HandlerMutex

sigset_t ConsoleSignals() {
  sigset_t set;
  sigemptyset(&set);
  for (const SignalEvent &event : SignalEvents) sigaddset(&set, event.signal);
  sigaddset(&set, REOPEN_SIGNAL);
  return set;
}

struct Delivery {
  int signal;
  uint32_t ctrlType;
};

// The default handling of an unhandled event: the process ends by the signal.
[[noreturn]] void DefaultHandling(int sig) {
  signal(sig, SIG_DFL);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, sig);
  pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
  raise(sig);
  PlatExitProcess(128 + sig);
}

// Hands the event to the handlers, newest first, until one handles it.
void Deliver(Delivery delivery) {
  PlatCtrlHandler handlers[MAX_HANDLERS];
  pthread_mutex_lock(&HandlerMutex);
  int count = HandlerCount;
  for (int i = 0; i < count; ++i) handlers[i] = Handlers[count - 1 - i];
  pthread_mutex_unlock(&HandlerMutex);

  for (int i = 0; i < count; ++i)
    if (handlers[i](delivery.ctrlType)) return;
  DefaultHandling(delivery.signal);
}

void *DeliverEvent(void *argument) {
  Delivery delivery = *static_cast<Delivery *>(argument);
  delete static_cast<Delivery *>(argument);
  Deliver(delivery);
  return nullptr;
}

void *ReceiveSignals(void *) {
  sigset_t set = ConsoleSignals();
  for (;;) {
    int sig = 0;
    if (sigwait(&set, &sig) != 0) continue;
    if (sig == REOPEN_SIGNAL) {
      pthread_mutex_lock(&HandlerMutex);
      PlatReopenHandler reopen = ReopenHandler;
      pthread_mutex_unlock(&HandlerMutex);
      if (!reopen) DefaultHandling(sig);
      reopen();
      continue;
    }
    for (const SignalEvent &event : SignalEvents) {
      if (event.signal != sig) continue;
      Delivery *delivery = new (std::nothrow) Delivery{sig, event.ctrlType};
      pthread_t thread;
      pthread_attr_t attr;
      pthread_attr_init(&attr);
      pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
      // Without a thread of its own (the system is out of threads or
      // memory, as it may be under load) the event is delivered on this
      // one: a log-off must not end the server, nor a stop skip the
      // shutdown sequence.
      if (!delivery || SysConsoleThreadCreate(&thread, &attr, DeliverEvent, delivery) != 0) {
        delete delivery;
        Deliver(Delivery{sig, event.ctrlType});
      }
      pthread_attr_destroy(&attr);
    }
  }
  return nullptr;
}

// Blocks the console signals in the calling thread (and so in every thread
// it creates later) and starts the receiving thread.
int StartReceiving() {
  sigset_t set = ConsoleSignals();
  int rc = pthread_sigmask(SIG_BLOCK, &set, nullptr);
  if (rc != 0) {
    errno = rc;
    return -1;
  }
  pthread_t thread;
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  rc = pthread_create(&thread, &attr, ReceiveSignals, nullptr);
  pthread_attr_destroy(&attr);
  if (rc != 0) {
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    errno = rc;
    return -1;
  }
  Receiving = true;
  return 0;
}

}  // namespace

int PlatSetCtrlHandler(PlatCtrlHandler handler, int add) {
  pthread_mutex_lock(&HandlerMutex);
  int result = 0;
  if (add) {
    if (HandlerCount == MAX_HANDLERS) {
      errno = ENOMEM;
      result = -1;
    } else if (!Receiving && StartReceiving() != 0) {
      result = -1;
    } else {
      Handlers[HandlerCount++] = handler;
    }
  } else {
    result = -1;
    errno = EINVAL;
    for (int i = HandlerCount - 1; i >= 0; --i) {
      if (Handlers[i] != handler) continue;
      for (int j = i; j + 1 < HandlerCount; ++j) Handlers[j] = Handlers[j + 1];
      --HandlerCount;
      result = 0;
      break;
    }
  }
  pthread_mutex_unlock(&HandlerMutex);
  return result;
}

void PlatSetReopenHandler(PlatReopenHandler handler) {
  pthread_mutex_lock(&HandlerMutex);
  ReopenHandler = handler;
  pthread_mutex_unlock(&HandlerMutex);
}
