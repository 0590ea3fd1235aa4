// Win32 backend of console control events: each handler is registered with
// SetConsoleCtrlHandler through a routine of its own, so that the console
// itself calls them, newest first, each event on a thread of its own.
#include <winsock2.h>
#include <windows.h>

#include <atomic>

#include "platform/platform.h"

namespace {

// The console calls routines of its own signature; each slot's routine
// forwards to the handler stored in that slot. The console may hold its own
// lock while it calls a routine, so no lock of ours is ever held across
// SetConsoleCtrlHandler, and the routines take none.
constexpr int SLOT_COUNT = 8;
std::atomic<PlatCtrlHandler> Slots[SLOT_COUNT];
SRWLOCK SlotLock = SRWLOCK_INIT;  // guards claiming and freeing slots

template <int N>
BOOL WINAPI SlotRoutine(DWORD ctrlType) {
  PlatCtrlHandler handler = Slots[N].load();
  return handler && handler(ctrlType) ? TRUE : FALSE;
}

template <int... N>
constexpr PHANDLER_ROUTINE RoutineTable[] = {SlotRoutine<N>...};

const PHANDLER_ROUTINE *const Routines = RoutineTable<0, 1, 2, 3, 4, 5, 6, 7>;
static_assert(sizeof RoutineTable<0, 1, 2, 3, 4, 5, 6, 7> / sizeof(PHANDLER_ROUTINE) ==
              SLOT_COUNT);

// Index of the first slot holding `handler` (null: a free slot), or -1.
int ClaimSlot(PlatCtrlHandler wanted, PlatCtrlHandler replacement) {
  AcquireSRWLockExclusive(&SlotLock);
  int found = -1;
  for (int i = 0; i < SLOT_COUNT && found < 0; ++i) {
    if (Slots[i].load() != wanted) continue;
    Slots[i].store(replacement);
    found = i;
  }
  ReleaseSRWLockExclusive(&SlotLock);
  return found;
}

int AddHandler(PlatCtrlHandler handler) {
  int slot = ClaimSlot(nullptr, handler);
  if (slot < 0) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return -1;
  }
  if (SetConsoleCtrlHandler(Routines[slot], TRUE)) return 0;
  DWORD error = GetLastError();
  Slots[slot].store(nullptr);
  SetLastError(error);
  return -1;
}

int RemoveHandler(PlatCtrlHandler handler) {
  int slot = ClaimSlot(handler, handler);
  if (slot < 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return -1;
  }
  if (!SetConsoleCtrlHandler(Routines[slot], FALSE)) return -1;
  Slots[slot].store(nullptr);
  return 0;
}

}  // namespace

int PlatSetCtrlHandler(PlatCtrlHandler handler, int add) {
  return add ? AddHandler(handler) : RemoveHandler(handler);
}

// Windows sends no request to reopen a file: nothing to wait for.
void PlatSetReopenHandler(PlatReopenHandler) {}
