// The platform layer: the one interface between the server and its operating
// system. Subsystem code includes this header only and never calls the system
// directly; each backend (posix/, win32/) implements it in files of the same
// names. Functions return 0 for success and -1 for failure unless they say
// otherwise; after a failure PlatLastError() or PlatSocketLastError() tells why.
#ifndef TARVELD_PLATFORM_H
#define TARVELD_PLATFORM_H

#include <cstddef>
#include <cstdint>
#include <ctime>

#include "PlatConfig.h"  // backend constants: PLAT_MAX_PATH, PLAT_PATH_SEPARATOR,
                         // PLAT_NAMES_IGNORE_CASE

// ---------------------------------------------------------------- handles
typedef intptr_t PlatSocket;            // a socket; printable as a number
constexpr PlatSocket PLAT_INVALID_SOCKET = -1;
typedef intptr_t PlatHandle;            // a pipe end
constexpr PlatHandle PLAT_INVALID_HANDLE = -1;
typedef struct PlatThreadRec *PlatThread;
typedef struct PlatLockRec *PlatLock;
typedef struct PlatProcessRec *PlatProcess;  // a started or opened process

// ---------------------------------------------------------------- PlatSystem
int PlatLastError();        // the system's last error code of this thread
int PlatSocketLastError();  // the socket interface's last error code
void PlatSetLastError(int code);  // sets what PlatLastError() then returns
// Flushes standard output and error and ends the process at once with the
// code; runs no handler and never returns.
[[noreturn]] void PlatExitProcess(int code);
void PlatSleep(uint32_t milliseconds);  // the whole time, even when signals come
uint32_t PlatCurrentProcessId();         // never fails
int PlatUnlink(const char *path);  // deletes a file (never a folder)
// Memory the server may run out of under load (the receive buffers): null,
// with the last error set, when there is none.
void *PlatMemoryAlloc(size_t size);
void PlatMemoryFree(void *memory);
// Milliseconds of a clock that never goes back or jumps, from any start.
uint64_t PlatMonotonicMsec();
void PlatLocalTime(time_t t, struct tm *out);  // thread-safe conversions,
void PlatUtcTime(time_t t, struct tm *out);    // never fail

struct PlatVersion {
  uint32_t majorVersion;
  uint32_t minorVersion;
  uint32_t buildNumber;
  uint32_t platformId;
  char csdVersion[128];
};
// The system's version as the runtime information shows it; -1 when unknown.
int PlatVersionQuery(PlatVersion *version);

// ---------------------------------------------------------------- PlatLock
// A lock that one thread holds at a time; -1 (no lock made) when the system
// has no resources for it. Enter waits without end and never fails. The
// owner must not enter it again before it leaves: a backend may then wait
// forever. Leave follows each Enter, by the same thread.
int PlatLockInit(PlatLock *lock);
void PlatLockEnter(PlatLock lock);
void PlatLockLeave(PlatLock lock);

// ---------------------------------------------------------------- PlatConsole
// Console control events, delivered like the console does: each event on a
// thread of its own, to the handlers newest first until one returns non-zero.
constexpr uint32_t PLAT_CTRL_C_EVENT = 0;
constexpr uint32_t PLAT_CTRL_BREAK_EVENT = 1;
constexpr uint32_t PLAT_CTRL_CLOSE_EVENT = 2;
constexpr uint32_t PLAT_CTRL_LOGOFF_EVENT = 5;
constexpr uint32_t PLAT_CTRL_SHUTDOWN_EVENT = 6;
typedef int (*PlatCtrlHandler)(uint32_t ctrlType);
// Adds a handler (add 1) or removes one (add 0); -1 when there is no room or
// no such handler. Never calls a handler itself.
int PlatSetCtrlHandler(PlatCtrlHandler handler, int add);

// The request to reopen log files, as log rotation sends it: where the
// system has such a signal (SIGUSR2), the handler runs on the thread that
// receives the console signals each time it arrives, once the console
// handlers are set (PlatSetCtrlHandler); without a handler the signal keeps
// its default action (the process ends). Windows has no such signal: the
// call does nothing there. Null removes the handler. Never fails.
typedef void (*PlatReopenHandler)();
void PlatSetReopenHandler(PlatReopenHandler handler);

// ---------------------------------------------------------------- PlatSocket
extern const int PLAT_AF_UNIX;
extern const int PLAT_AF_INET;
extern const int PLAT_AF_INET6;
extern const int PLAT_AF_IPX;
extern const int PLAT_SOCK_STREAM;
extern const int PLAT_SOCK_DGRAM;
extern const int PLAT_SOCK_RAW;
extern const int PLAT_SOCK_RDM;
extern const int PLAT_SOCK_SEQPACKET;

// Starts the socket interface (version 2.0). From then on a write to a
// socket or pipe whose other end has gone fails with an error and never
// ends the process with a signal.
int PlatSocketStartup();
void PlatSocketCleanup();  // ends the socket interface; never fails

struct PlatHostEntry {
  int addressLength;                  // as the resolver reports it
  const unsigned char *firstAddress;  // network order; valid until next call
  uint32_t scopeId;                   // zone of a scoped IPv6 address, else 0
};
// Look-ups in the system's databases. Not thread-safe: start-up only.
int PlatGetHostName(char *buffer, int length);  // this machine's name
// The first IPv4 address of a host name or literal; -1 when it has none.
int PlatGetHostByName(const char *name, PlatHostEntry *entry);
// The first IPv6 address of a host name or an IPv6 literal, through
// getaddrinfo() (addressLength 16). A name without an IPv6 address fails;
// the last error is then the resolver's own error number.
int PlatGetAddrInfoIPv6(const char *name, PlatHostEntry *entry);
int PlatGetProtoByName(const char *name, int *number);  // -1: no such protocol
// The port of a service name; -1 for an unknown name (never read as a number).
int PlatGetServByName(const char *name, const char *protocol, uint16_t *portNetOrder);

// A new socket, or PLAT_INVALID_SOCKET. Never inherited: no child process
// ever holds one.
PlatSocket PlatSocketCreate(int domain, int type, int protocol);
// Binds to an IPv4 socket address built from the three parts as given.
int PlatSocketBindIPv4(PlatSocket sock, int family, uint16_t portNetOrder,
                       const unsigned char address[4]);
// Binds an IPv6 socket to an IPv6 socket address. The socket also takes
// IPv4 clients where its address allows (the any address "::").
int PlatSocketBindIPv6(PlatSocket sock, uint16_t portNetOrder, const unsigned char address[16],
                       uint32_t scopeId);
// Like listen(); accepting on the socket still waits for a connection,
// except through PlatSocketAcceptPending.
int PlatSocketListen(PlatSocket sock, int backlog);
// Closes a socket. Bytes held back by PlatSocketSendMore go out first, also
// when the peer sent bytes that were never read (the close then resets).
int PlatSocketClose(PlatSocket sock);
// Bounds every later send on the socket: a send that cannot go on for this
// many seconds (above 0) fails, or sends less than it was given, with the
// last error saying that the time ran out. A peer that stops reading can
// then not hold the sender forever.
int PlatSocketSetSendTimeout(PlatSocket sock, int32_t seconds);
// Waits until the socket is readable, like select() on one socket:
// > 0 readable, 0 time ran out, < 0 error (negative times are errors).
int PlatSocketWaitReadable(PlatSocket sock, int32_t seconds, int32_t microseconds);
// A peer's address in network order: the 4 bytes of IPv4 or the 16 of
// IPv6 (an IPv4 client of a dual-stack socket comes as ::ffff:a.b.c.d).
struct PlatAddress {
  int family;  // PLAT_AF_INET, PLAT_AF_INET6, or 0 for any other (bytes all 0)
  unsigned char bytes[16];
  uint16_t port;  // in host order; 0 for any other family
};
// The usual text of an address, at most 39 characters, cut to size - 1:
// dotted decimal for IPv4 and for an IPv4 client of an IPv6 socket
// (::ffff:a.b.c.d), the short form of RFC 5952 for IPv6 (::1), and 0.0.0.0
// for any other family.
void PlatAddressText(const PlatAddress *address, char *text, size_t size);
// An address from its usual text: dotted decimal IPv4 (four numbers of at
// most 255, no leading zeros) as PLAT_AF_INET; IPv6 in any form of RFC 4291
// (hexadecimal groups, one "::", an IPv4 tail) as PLAT_AF_INET6. The port
// is 0. -1 for any other text (nothing else is read: no zone, no blanks).
int PlatAddressParse(const char *text, size_t length, PlatAddress *address);
// Whether two addresses name the same host: equal families and bytes, or an
// IPv4 address and the same address as an IPv6 socket shows an IPv4 client
// (::ffff:a.b.c.d). Ports do not count.
bool PlatAddressSameHost(const PlatAddress *a, const PlatAddress *b);
// The next connection of a listening socket (never inherited either), or
// PLAT_INVALID_SOCKET; waits while none is pending.
PlatSocket PlatSocketAccept(PlatSocket listener, PlatAddress *peer);
// Like PlatSocketAccept when a connection is already pending, without ever
// waiting. PLAT_INVALID_SOCKET when none is pending, and also when the
// accept failed: the caller then waits and accepts as usual, which reports
// what is wrong (a backend may always answer so).
PlatSocket PlatSocketAcceptPending(PlatSocket listener, PlatAddress *peer);
// Bounds every send on the connections that the listening socket accepts
// from now on, as PlatSocketSetSendTimeout on each of them would. Where the
// system passes the setting on to accepted sockets it is set once, on the
// listener; elsewhere the accept sets it on each accepted socket, and an
// accept whose socket cannot take it fails with the reason.
int PlatSocketSetAcceptedSendTimeout(PlatSocket listener, int32_t seconds);
int PlatSocketRecv(PlatSocket sock, void *buffer, int length);  // like recv()
// Bounds the wait for data on the connections that the listening socket
// accepts from now on: PlatSocketRecvWithin on them waits at most this many
// seconds (0 or less: not at all). Where the system passes the setting on
// to accepted sockets it is set once, on the listener.
int PlatSocketSetAcceptedReceiveTimeout(PlatSocket listener, int32_t seconds);
// Waits for data up to the receive time-out the socket was accepted with
// (PlatSocketSetAcceptedReceiveTimeout) and receives once, as a wait until
// the socket is readable and PlatSocketRecv would: the count, 0 when the
// peer has closed, -1 on a failure, PLAT_SOCKET_TIMED_OUT when nothing came
// in time.
constexpr int PLAT_SOCKET_TIMED_OUT = -2;
int PlatSocketRecvWithin(PlatSocket sock, void *buffer, int length);
// Like send(): the count sent or -1. A reset peer costs -1, never a signal
// (see PlatSocketStartup).
int PlatSocketSend(PlatSocket sock, const void *buffer, int length);
// The same, with the hint that more data follows at once: the system may
// hold these bytes back to send them in one segment with the next send or
// with the close.
int PlatSocketSendMore(PlatSocket sock, const void *buffer, int length);
// PlatSocketSendMore of two pieces in one call, the first before the second
// (a header and the body that follows it): the count sent of both together,
// or -1.
int PlatSocketSendMoreTwo(PlatSocket sock, const void *first, int firstLength,
                          const void *second, int secondLength);

// ---------------------------------------------------------------- PlatThread
typedef uint32_t (*PlatThreadRoutine)(void *parameter);
// The new thread runs nothing before PlatThreadResume. Its identifier is the
// one PlatCurrentThreadId() returns inside it, and no other live or
// still-registered thread has it.
PlatThread PlatThreadCreateSuspended(PlatThreadRoutine routine, void *parameter,
                                     uint32_t *threadId);
// Lets a suspended thread run: its previous suspend count, 0xFFFFFFFF on
// failure (also for a thread ended meanwhile).
uint32_t PlatThreadResume(PlatThread thread);
// Ends a thread. A suspended thread never runs its routine. A running thread
// is not interrupted where it could hold a lock: it is left to the end of the
// process, which follows at once whenever the server ends its threads.
int PlatThreadTerminate(PlatThread thread, uint32_t exitCode);
// Releases the caller's hold on a thread; never ends or waits for it.
int PlatThreadClose(PlatThread thread);
uint32_t PlatCurrentThreadId();  // never 0 for a thread the server started

// ---------------------------------------------------------------- PlatPath
// Absolute form of a path, purely lexical like GetFullPathNameA: relative
// against the current directory, "." and ".." and repeated separators
// collapsed. Returns the length written (without NUL) when it fits into
// bufferSize, the size needed (with NUL) when it does not (buffer untouched;
// the last error then says the name is too long), 0 on failure.
uint32_t PlatFullPath(const char *path, char *buffer, uint32_t bufferSize);
// The name under which an existing file is stored: where a file system also
// knows a file by a short alternative name (TEST~1.FCG for test.fcgi), every
// component in its long form (0 when the file does not exist); elsewhere the
// path as given, without a look at the disk. Results as PlatFullPath's.
uint32_t PlatLongPath(const char *path, char *buffer, uint32_t bufferSize);

// ---------------------------------------------------------------- PlatFile
// Opens a regular file for reading (binary, sequential access) and tells its
// size in bytes as the open file reports it. Anything that is not a regular
// file counts as not openable. Returns a descriptor or -1.
int PlatFileOpenSequential(const char *path, int64_t *size);
int PlatFileRead(int fd, void *buffer, uint32_t length);  // count, 0 at end, -1
int PlatFileClose(int fd);  // like close()
// The last modification time of an open file, in seconds since 1970-01-01
// UTC (what a Last-Modified header names).
int PlatFileModifiedTime(int fd, int64_t *seconds);
// Opens a file for appending, creating it (readable by its owner's group,
// never by others) when it is missing; never inherited. Every
// PlatFileWrite goes to its end, also when another program appends to it or
// has cut it short. Returns a descriptor or -1.
int PlatFileOpenAppend(const char *path);
// Writes all length bytes, or fails: 0 or -1. A write of one piece to a file
// opened for appending is never interleaved with another writer's.
int PlatFileWrite(int fd, const void *buffer, uint32_t length);
// Sends up to length bytes of an open file, from its current position, to a
// socket without passing them through the caller. Returns the count sent
// (0 at the end of the file) or -1; after -1, *sendFailed is 1 when the
// socket failed (PlatSocketLastError) and 0 when reading the file failed
// (PlatLastError).
int PlatFileSendToSocket(int fd, PlatSocket sock, uint32_t length, int *sendFailed);
// What a path names, symbolic links followed: nothing this process can see,
// a folder, a file this process may start as a program, or any other file.
constexpr int PLAT_PATH_NONE = 0;
constexpr int PLAT_PATH_FOLDER = 1;
constexpr int PLAT_PATH_PROGRAM = 2;
constexpr int PLAT_PATH_FILE = 3;
int PlatPathKind(const char *path);

// ---------------------------------------------------------------- PlatContainer
// What holds one CGI run, so that nothing it starts outlives it, and caps
// what it may use. Where the system lets the server make them, each run
// gets a group of its own (control groups on Linux, a job object on
// Windows) that every process of the run stays in; elsewhere a run is held
// by the process group its program leads, and caps apply per process.
struct PlatCaps {
  int64_t memoryBytes;  // memory of the whole run; 0: no cap
  int32_t processes;    // processes of the run at once; 0: no cap
  int32_t cpuMsec;      // CPU time of the run; 0: no cap
};
constexpr int PLAT_CAP_NONE = 0;
constexpr int PLAT_CAP_MEMORY = 1;
constexpr int PLAT_CAP_PROCESSES = 2;
constexpr int PLAT_CAP_CPU = 3;
// What start-up found, for the start-up log and the configuration check.
struct PlatContainment {
  int groups;             // 1: every run gets a group of its own
  char description[1024];  // which containment, where
  char unenforced[64];    // the configuration keys of the caps nothing enforces,
                          // separated by ", ", or ""
  char reason[128];       // why nothing enforces them
};
// Sets containment up once, at start-up, before any run: finds where groups
// can be made and prepares them for the caps every run gets (checkOnly:
// finds and tells only, changing nothing). Never fails: without groups it
// falls back and says so.
int PlatContainmentInit(const PlatCaps *caps, PlatContainment *found, int checkOnly);
typedef struct PlatContainerRec *PlatContainer;
// The container of one run, for PlatProcessStart; null on failure (the
// program must then not start).
PlatContainer PlatContainerCreate();
// The cap that the run has hit (PLAT_CAP_), from the system's counters; it
// tells also after the program has ended, as a cap may end it at once.
int PlatContainerCapHit(PlatContainer container, PlatProcess program);
// Ends every process still in the container and waits, bounded, until none
// is left: 0, or -1 when some may still be there. Nothing to do without
// groups (the process group holds the run then).
int PlatContainerEnd(PlatContainer container);
void PlatContainerClose(PlatContainer container);  // removes it; null: nothing

// ---------------------------------------------------------------- PlatProcess
// An anonymous pipe whose ends can be given to a started process as its
// standard input or output. A process started later gets none of its ends
// that the server keeps as copies made by PlatHandleDuplicate.
int PlatPipeCreate(PlatHandle *readEnd, PlatHandle *writeEnd);
// A copy of a pipe end, never passed on to a started process.
int PlatHandleDuplicate(PlatHandle handle, PlatHandle *duplicate);
int PlatHandleClose(PlatHandle handle);  // PLAT_INVALID_HANDLE: nothing to do
// Makes writes to the handle take what fits at once instead of waiting.
int PlatHandleSetNonBlocking(PlatHandle handle);
// Bytes waiting in a pipe, at most cap, without waiting.
int PlatPipePeek(PlatHandle handle, uint32_t cap, uint32_t *available);
// Reads what is there, at least one byte when the caller peeked some first.
int PlatHandleRead(PlatHandle handle, void *buffer, uint32_t length, uint32_t *done);
// On a non-blocking handle, writes what fits now (possibly 0 bytes).
int PlatHandleWrite(PlatHandle handle, const void *buffer, uint32_t length, uint32_t *done);

// What a process is started with. Its command line is the program, the
// arguments text split at blanks (double quotes group and are removed), and
// the script path as one argument whatever characters it holds.
struct PlatProcessStart {
  const char *program;      // executable path, no search path used
  const char *arguments;    // may be empty, never null
  const char *scriptPath;   // null: no script argument
  const char *environment;  // NAME=value NUL ... NUL NUL: the whole environment
  PlatHandle stdIn;
  PlatHandle stdOut;
  PlatHandle stdErr;        // PLAT_INVALID_HANDLE: standard error goes nowhere
  const char *directory;    // its current folder; null: the server's
  PlatContainer container;  // the run's, joined before the program's first
                            // instruction; null: none
};
struct PlatProcessInfo {
  PlatProcess process;
  uint32_t processId;
};
// Starts a process in its folder (the server's current one unless given),
// with no other handle or descriptor of the server than its pipe ends.
int PlatProcessCreate(const PlatProcessStart *start, PlatProcessInfo *info);
// Whether a started process has ended, never waiting: 0 with *code its exit
// code once it has, PLAT_PROCESS_RUNNING while it runs (and where the system
// reports a particular exit code as "still active", for a process that ended
// with it), -1 on failure.
constexpr int PLAT_PROCESS_RUNNING = 1;
int PlatProcessExitCode(PlatProcess process, uint32_t *code);
// Releases a process: a started one that still runs goes on by itself, and
// none is ever left a zombie. Never ends the process.
int PlatProcessClose(PlatProcess process);
// Ends every process still in the group that a started process leads: where
// the system keeps process groups, each child starts as the leader of one of
// its own, and its descendants stay in it even when their parent has ended.
// Safe until PlatProcessClose, which alone releases the group's number. 0 when
// nothing is left (also where the system keeps no such groups), -1 on failure.
int PlatProcessGroupTerminate(PlatProcess process);

// ---------------------------------------------------------------- PlatStream
// The server's end of a pipe to a started program, read or written without
// ever waiting; PlatProcessWait waits for it. The other end is an ordinary
// pipe end for PlatProcessStart, closed by the caller once the program runs.
typedef struct PlatStreamRec *PlatStream;
constexpr int PLAT_STREAM_READ = 0;   // the server reads what the program writes
constexpr int PLAT_STREAM_WRITE = 1;  // the server writes what the program reads
int PlatStreamPipe(int direction, PlatStream *stream, PlatHandle *programEnd);
// Reads what is there: 0 with *done bytes, and *done 0 at the end of the
// stream (every writer has closed it); PLAT_STREAM_EMPTY when nothing is
// there now; -1 on failure.
constexpr int PLAT_STREAM_EMPTY = 1;
int PlatStreamRead(PlatStream stream, void *buffer, uint32_t length, uint32_t *done);
// Takes what fits now (*done may be 0); -1 on failure, also when the program
// has closed its end.
int PlatStreamWrite(PlatStream stream, const void *buffer, uint32_t length, uint32_t *done);
void PlatStreamClose(PlatStream stream);  // null: nothing to do

// What a run waits for; a null member is not watched. `in` is watched for
// room to write, the others for something to read (or their end).
struct PlatWaitSet {
  PlatStream out;
  PlatStream err;
  PlatStream in;
  PlatProcess process;  // its end
};
constexpr int PLAT_READY_OUT = 1;
constexpr int PLAT_READY_ERR = 2;
constexpr int PLAT_READY_IN = 4;
constexpr int PLAT_READY_ENDED = 8;
// Waits until a member is ready or milliseconds have passed (0: only looks):
// the PLAT_READY_ flags of the ready members, 0 when the time ran out, -1 on
// failure.
int PlatProcessWait(const PlatWaitSet *set, int32_t milliseconds);

// How a started process ended, and what it used.
struct PlatProcessOutcome {
  int ended;            // 0: it could not be told (still running)
  int signal;           // the signal that ended it, 0 for none
  uint32_t exitCode;    // when no signal ended it
  uint64_t cpuMsec;     // user and system time of the process itself
  uint64_t peakKiB;     // its peak resident memory
};
// Reaps an ended process and tells its outcome, waiting up to milliseconds
// for one that was just ended from outside. 0, or -1 when it still runs.
int PlatProcessFinish(PlatProcess process, int32_t milliseconds, PlatProcessOutcome *outcome);

// ---------------------------------------------------------------- PlatProcessList
// One live process of the system's process list.
struct PlatProcessEntry {
  uint32_t processId;
  uint32_t parentId;      // its creator's id as the system keeps it: that process
                          // may have ended and its id been given to a later one
  uint64_t creationTime;  // one clock for a whole list; never before the
                          // creation time of the process's real parent
};
// Prepares the listing, once at start-up, before any thread lists processes.
// 0, or -1 with *failedCall naming the system call that failed.
int PlatProcessListInit(const char **failedCall);
// Every live process (ended ones not yet reaped left out), in the system's
// order, in a heap array the caller releases with free(). 0, or -1 with
// *failedCall naming the call that failed (nothing to release then).
int PlatProcessList(PlatProcessEntry **entries, uint32_t *count, const char **failedCall);
// The listed process opened for termination only; null on failure, also
// when the process under that id is no longer the listed one (created at
// another time). Never opens the calling process itself. Once opened, the
// process cannot be mistaken for another that gets its id later. Release
// it with PlatProcessClose.
PlatProcess PlatProcessOpenForTerminate(const PlatProcessEntry *entry);
// Ends an opened process at once with the exit code; -1 when it could not.
int PlatProcessTerminate(PlatProcess process, uint32_t exitCode);
// Makes the server the reaper of the orphans among its children's
// descendants and starts reaping them, so that no process that a run ends
// stays a zombie; a child-end signal that the server was started with
// ignored, and a mask it was started with, are taken back first. Does
// nothing where the system keeps no zombies. 0, or -1 with *failedCall
// naming the call that failed.
int PlatOrphanReaperStart(const char **failedCall);

#endif
