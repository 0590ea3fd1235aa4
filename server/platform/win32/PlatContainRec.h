// What the Win32 process files share of a run's containment: its job object.
#ifndef TARVELD_WIN32_PLAT_CONTAIN_REC_H
#define TARVELD_WIN32_PLAT_CONTAIN_REC_H

#include <winsock2.h>
#include <windows.h>

#include <atomic>

// A run's container: its job object (null where no job can be made: the
// run is then held by its process tree alone) and the completion port the
// job posts its messages to. The caps the messages have told of are kept,
// whichever thread took them from the port (one bit for each PLAT_CAP_).
struct PlatContainerRec {
  HANDLE job;
  HANDLE port;
  std::atomic<unsigned> capsTold;
};

#endif
