// The Win32 backend of the platform layer, checked against the system
// itself: what the server relies on of each call, and the mends (nothing the
// server opens is inherited by a CGI child, bounded pipe writes).
#include <gtest/gtest.h>

#include <winsock2.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "PlatContainRec.h"
#include "PlatSyscallTable.h"
#include "cgi/CgiRun.h"
#include "config/ConfigTbl.h"
#include "http/Http.h"
#include "platform/platform.h"
#include "support/Basics.h"
#include "unit/TestSupport.h"

namespace {

bool Inheritable(HANDLE handle) {
  DWORD flags = 0;
  EXPECT_TRUE(GetHandleInformation(handle, &flags)) << GetLastError();
  return (flags & HANDLE_FLAG_INHERIT) != 0;
}

bool Inheritable(PlatHandle handle) { return Inheritable(reinterpret_cast<HANDLE>(handle)); }

bool UnderWine() {
  return GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr;
}

// The child program of the process tests, built beside this one.
std::string ProbeProgram() {
  char self[MAX_PATH];
  DWORD length = GetModuleFileNameA(nullptr, self, sizeof self);
  std::string path(self, length);
  return path.substr(0, path.find_last_of("\\/") + 1) + "child_probe.exe";
}

}  // namespace

// ------------------------------------------------------------------ sockets

class SocketTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(PlatSocketStartup(), 0); }
  void TearDown() override { PlatSocketCleanup(); }

  // A listener on 127.0.0.1 at a port the system picks.
  PlatSocket Listen(uint16_t *port) {
    PlatSocket listener = PlatSocketCreate(PLAT_AF_INET, PLAT_SOCK_STREAM, IPPROTO_TCP);
    EXPECT_NE(listener, PLAT_INVALID_SOCKET) << PlatSocketLastError();
    const unsigned char loopback[4] = {127, 0, 0, 1};
    EXPECT_EQ(PlatSocketBindIPv4(listener, PLAT_AF_INET, 0, loopback), 0);
    EXPECT_EQ(PlatSocketListen(listener, 4), 0);
    sockaddr_in local{};
    int length = sizeof local;
    getsockname(static_cast<SOCKET>(listener), reinterpret_cast<sockaddr *>(&local), &length);
    *port = local.sin_port;
    return listener;
  }

  SOCKET Connect(uint16_t port) {
    SOCKET client = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = port;
    peer.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(connect(client, reinterpret_cast<sockaddr *>(&peer), sizeof peer), 0);
    return client;
  }
};

TEST_F(SocketTest, ListeningAndAcceptedSocketsAreNotInheritable) {
  uint16_t port = 0;
  PlatSocket listener = Listen(&port);
  EXPECT_FALSE(Inheritable(reinterpret_cast<HANDLE>(listener)));
  SOCKET client = Connect(port);
  ASSERT_GT(PlatSocketWaitReadable(listener, 5, 0), 0);
  PlatAddress peer = {};
  PlatSocket accepted = PlatSocketAccept(listener, &peer);
  ASSERT_NE(accepted, PLAT_INVALID_SOCKET) << PlatSocketLastError();
  EXPECT_FALSE(Inheritable(reinterpret_cast<HANDLE>(accepted)));
  EXPECT_EQ(peer.family, PLAT_AF_INET);
  EXPECT_EQ(memcmp(peer.bytes, "\x7f\x00\x00\x01", 4), 0);
  closesocket(client);
  PlatSocketClose(accepted);
  PlatSocketClose(listener);
}

TEST_F(SocketTest, WaitReadableTimesOutRefusesNegativeTimesAndSeesData) {
  uint16_t port = 0;
  PlatSocket listener = Listen(&port);
  EXPECT_EQ(PlatSocketWaitReadable(listener, 0, 0), 0);
  EXPECT_EQ(PlatSocketWaitReadable(listener, 0, 20000), 0);
  EXPECT_LT(PlatSocketWaitReadable(listener, -1, 0), 0);
  EXPECT_EQ(PlatSocketLastError(), WSAEINVAL);
  EXPECT_LT(PlatSocketWaitReadable(listener, 0, -1), 0);

  SOCKET client = Connect(port);
  ASSERT_GT(PlatSocketWaitReadable(listener, 5, 0), 0);
  PlatAddress peer = {};
  PlatSocket accepted = PlatSocketAccept(listener, &peer);
  ASSERT_NE(accepted, PLAT_INVALID_SOCKET);
  send(client, "ping", 4, 0);
  ASSERT_GT(PlatSocketWaitReadable(accepted, 5, 0), 0);
  char buffer[8] = {};
  EXPECT_EQ(PlatSocketRecv(accepted, buffer, sizeof buffer), 4);
  EXPECT_STREQ(buffer, "ping");
  EXPECT_EQ(PlatSocketSend(accepted, "pong", 4), 4);
  closesocket(client);
  // A peer that is gone costs an error result, never the process.
  for (int i = 0; i < 50 && PlatSocketSend(accepted, "x", 1) == 1; ++i) Sleep(10);
  EXPECT_EQ(PlatSocketSend(accepted, "x", 1), -1);
  PlatSocketClose(accepted);
  PlatSocketClose(listener);
}

TEST_F(SocketTest, DatabasesResolveLoopbackTcpAndAKnownService) {
  PlatHostEntry host{};
  ASSERT_EQ(PlatGetHostByName("127.0.0.1", &host), 0);
  EXPECT_EQ(host.addressLength, 4);
  EXPECT_EQ(memcmp(host.firstAddress, "\x7f\x00\x00\x01", 4), 0);
  int protocol = 0;
  ASSERT_EQ(PlatGetProtoByName("tcp", &protocol), 0);
  EXPECT_EQ(protocol, 6);
  uint16_t port = 0;
  ASSERT_EQ(PlatGetServByName("http", "tcp", &port), 0);
  EXPECT_EQ(port, htons(80));
  EXPECT_EQ(PlatGetServByName("8080", "tcp", &port), -1);  // never read as a number
  EXPECT_NE(PlatSocketLastError(), 0);
}

// ------------------------------------------------------------------ threads

namespace {

struct ThreadProbe {
  std::atomic<int> runs{0};
  std::atomic<uint32_t> seenId{0};
  HANDLE release = nullptr;  // a running probe waits for it, if set
};

uint32_t Probe(void *parameter) {
  ThreadProbe *probe = static_cast<ThreadProbe *>(parameter);
  probe->seenId = PlatCurrentThreadId();
  if (probe->release) WaitForSingleObject(probe->release, 10000);
  ++probe->runs;
  return 7;
}

bool WaitForRuns(const ThreadProbe &probe, int runs) {
  for (int i = 0; i < 1000 && probe.runs < runs; ++i) Sleep(5);
  return probe.runs == runs;
}

}  // namespace

TEST(ThreadTest, RunsOnlyAfterResumeWithTheIdentifierItWasGiven) {
  ThreadProbe probe;
  uint32_t id = 0;
  PlatThread thread = PlatThreadCreateSuspended(Probe, &probe, &id);
  ASSERT_NE(thread, nullptr);
  EXPECT_NE(id, 0u);
  Sleep(50);
  EXPECT_EQ(probe.runs, 0);
  EXPECT_EQ(PlatThreadResume(thread), 1u);  // the previous suspend count
  ASSERT_TRUE(WaitForRuns(probe, 1));
  EXPECT_EQ(probe.seenId, id);
  EXPECT_NE(PlatCurrentThreadId(), id);
  EXPECT_EQ(PlatThreadClose(thread), 0);
}

TEST(ThreadTest, EndedWhileSuspendedItNeverRunsAndCannotBeResumed) {
  ThreadProbe probe;
  uint32_t id = 0;
  PlatThread thread = PlatThreadCreateSuspended(Probe, &probe, &id);
  ASSERT_NE(thread, nullptr);
  EXPECT_EQ(PlatThreadTerminate(thread, 0), 0);
  EXPECT_EQ(PlatThreadResume(thread), 0xFFFFFFFFu);
  Sleep(50);
  EXPECT_EQ(probe.runs, 0);
  EXPECT_EQ(PlatThreadClose(thread), 0);
}

TEST(ThreadTest, ARunningThreadIsNotInterruptedAndOutlivesItsHandle) {
  ThreadProbe probe;
  probe.release = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  uint32_t id = 0;
  PlatThread thread = PlatThreadCreateSuspended(Probe, &probe, &id);
  ASSERT_NE(thread, nullptr);
  PlatThreadResume(thread);
  for (int i = 0; i < 1000 && probe.seenId == 0; ++i) Sleep(5);
  EXPECT_EQ(PlatThreadTerminate(thread, 0), 0);
  EXPECT_EQ(PlatThreadClose(thread), 0);  // the thread still holds its record
  SetEvent(probe.release);
  EXPECT_TRUE(WaitForRuns(probe, 1));
  CloseHandle(probe.release);
}

// ------------------------------------------------------------------ locks, system

TEST(SystemTest, LockVersionTimeAndUnlink) {
  PlatLock lock = nullptr;
  ASSERT_EQ(PlatLockInit(&lock), 0);
  PlatLockEnter(lock);  // once: the owner never enters again before it leaves
  PlatLockLeave(lock);

  PlatVersion version{};
  ASSERT_EQ(PlatVersionQuery(&version), 0);
  EXPECT_GE(version.majorVersion, 5u);
  EXPECT_EQ(version.platformId, static_cast<uint32_t>(VER_PLATFORM_WIN32_NT));

  struct tm utc {};
  PlatUtcTime(86400 * 365 + 3661, &utc);  // 1971-01-01 01:01:01
  EXPECT_EQ(utc.tm_year, 71);
  EXPECT_EQ(utc.tm_yday, 0);
  EXPECT_EQ(utc.tm_hour, 1);
  EXPECT_EQ(utc.tm_sec, 1);

  support::TempDir folder;
  std::string file = folder.Write("stop.flag", "");
  std::string sub = folder.Mkdir("stop.dir");
  EXPECT_EQ(PlatUnlink(file.c_str()), 0);
  EXPECT_EQ(PlatUnlink(file.c_str()), -1);  // gone
  EXPECT_EQ(PlatUnlink(sub.c_str()), -1);   // never a folder
}

// ------------------------------------------------------------------ console

namespace {

int FirstHandler(uint32_t) { return 1; }
int SecondHandler(uint32_t) { return 1; }

}  // namespace

// Delivery itself needs a console that Wine's headless one cannot signal;
// the end-to-end tests deliver Ctrl+C to the server through SIGINT.
TEST(ConsoleTest, HandlersAreAddedAndRemovedByTheirOwnRoutines) {
  ASSERT_EQ(PlatSetCtrlHandler(FirstHandler, 1), 0);
  ASSERT_EQ(PlatSetCtrlHandler(SecondHandler, 1), 0);
  EXPECT_EQ(PlatSetCtrlHandler(SecondHandler, 0), 0);
  EXPECT_EQ(PlatSetCtrlHandler(SecondHandler, 0), -1);  // not registered any more
  EXPECT_EQ(PlatSetCtrlHandler(FirstHandler, 0), 0);
  // Slots are freed for reuse: more registrations than slots, in turn.
  for (int i = 0; i < 20; ++i) {
    ASSERT_EQ(PlatSetCtrlHandler(FirstHandler, 1), 0) << i;
    ASSERT_EQ(PlatSetCtrlHandler(FirstHandler, 0), 0) << i;
  }
  // Without removal the slots run out, and the failure says so.
  int added = 0;
  while (added < 100 && PlatSetCtrlHandler(SecondHandler, 1) == 0) ++added;
  EXPECT_LT(added, 100);
  EXPECT_EQ(PlatLastError(), static_cast<int>(ERROR_NOT_ENOUGH_MEMORY));
  for (int i = 0; i < added; ++i) EXPECT_EQ(PlatSetCtrlHandler(SecondHandler, 0), 0);
}

// ------------------------------------------------------------------ paths and files

TEST(PathTest, FullPathIsLexicalAndReportsTheSizeItNeeds) {
  char buffer[PLAT_MAX_PATH];
  ASSERT_GT(PlatFullPath("C:\\www\\..\\secret.txt", buffer, sizeof buffer), 0u);
  EXPECT_STREQ(buffer, "C:\\secret.txt");
  PlatFullPath("C:\\www\\docs\\.\\\\a.html", buffer, sizeof buffer);
  EXPECT_STREQ(buffer, "C:\\www\\docs\\a.html");
  PlatFullPath("C:\\..\\..\\x", buffer, sizeof buffer);
  EXPECT_STREQ(buffer, "C:\\x");
  PlatFullPath("C:/www/a.html", buffer, sizeof buffer);
  EXPECT_STREQ(buffer, "C:\\www\\a.html");

  char cwd[MAX_PATH];
  GetCurrentDirectoryA(sizeof cwd, cwd);
  uint32_t length = PlatFullPath("relative.txt", buffer, sizeof buffer);
  std::string expected = std::string(cwd) + (cwd[strlen(cwd) - 1] == '\\' ? "" : "\\") +
                         "relative.txt";
  EXPECT_EQ(std::string(buffer), expected);
  EXPECT_EQ(length, expected.size());

  // Too small a buffer: the size needed, NUL included, and nothing written.
  char small[8];
  memcpy(small, "intact", 7);
  uint32_t needed = PlatFullPath("C:\\www\\a.html", small, sizeof small);
  int error = PlatLastError();
  EXPECT_EQ(needed, 14u);
  EXPECT_EQ(error, static_cast<int>(ERROR_FILENAME_EXCED_RANGE));
  EXPECT_STREQ(small, "intact");
  // A name beyond MAX_PATH is refused by the ANSI call or reported as too
  // long; the buffer is never filled.
  std::string longPath = "C:\\" + std::string(300, 'a');
  memcpy(buffer, "untouched", 10);
  uint32_t result = PlatFullPath(longPath.c_str(), buffer, sizeof buffer);
  EXPECT_TRUE(result == 0 || result == longPath.size() + 1) << result;
  EXPECT_STREQ(buffer, "untouched");
}

// A CGI document asked for by its short (8.3) name keeps its extension's
// meaning: it is run (here its program does not exist, so nothing is sent),
// never sent as a file.
TEST_F(SocketTest, ShortNameOfACgiDocumentNeverSendsItsText) {
  support::TempDir folder;
  std::string script = folder.Write("program.fcgi", "SOURCE OF THE PROGRAM\n");
  char shortPath[MAX_PATH];
  ASSERT_GT(GetShortPathNameA(script.c_str(), shortPath, sizeof shortPath), 0u);
  std::string shortName = strrchr(shortPath, '\\') + 1;
  if (shortName == "program.fcgi") GTEST_SKIP() << "no short names on this volume";
  char longPath[MAX_PATH];
  ASSERT_GT(PlatLongPath(shortPath, longPath, sizeof longPath), 0u);
  EXPECT_STREQ(strrchr(longPath, '\\'), "\\program.fcgi");

  unit::ConfigScope config;
  snprintf(config->www_route, sizeof config->www_route, "%s", folder.path().c_str());
  char entry[] = "fcgi | Z:\\no\\such\\program.exe |";
  CgiTypeAdd(&config->cgi_type, entry);
  uint16_t port = 0;
  PlatSocket listener = Listen(&port);
  SOCKET client = Connect(port);
  ASSERT_GT(PlatSocketWaitReadable(listener, 5, 0), 0);
  PlatAddress peer = {};
  PlatSocket accepted = PlatSocketAccept(listener, &peer);
  ASSERT_NE(accepted, PLAT_INVALID_SOCKET);
  std::string uri = "/" + shortName;
  char buffer[4096];
  char data[] = "";
  unit::Capture out;
  Connection conn = {};
  conn.sock = accepted;
  conn.buffer = buffer;
  conn.bufferSize = sizeof buffer;
  conn.received = sizeof buffer;
  conn.request.uri = uri.data();
  conn.request.data = data;
  SendResult10(&conn);
  std::string log = out.Text();
  PlatSocketClose(accepted);
  std::string answer;
  for (int n; (n = recv(client, buffer, sizeof buffer, 0)) > 0;) answer.append(buffer, n);
  closesocket(client);
  PlatSocketClose(listener);
  EXPECT_EQ(answer.find("SOURCE OF THE PROGRAM"), std::string::npos) << uri << ": " << answer;
  EXPECT_NE(log.find("Failed CreateProcess() errno="), std::string::npos) << log;
}

TEST(FileTest, RegularFilesOnlyBinaryNotInheritable) {
  support::TempDir folder;
  const std::string content = "line one\r\nline two\n\x1a tail";
  std::string file = folder.Write("doc.bin", content);
  std::string sub = folder.Mkdir("docs");

  int64_t size = -1;
  int fd = PlatFileOpenSequential(file.c_str(), &size);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(size, static_cast<int64_t>(content.size()));
  EXPECT_FALSE(Inheritable(reinterpret_cast<HANDLE>(_get_osfhandle(fd))));
  char buffer[64];
  int got = PlatFileRead(fd, buffer, sizeof buffer);  // no text translation
  ASSERT_EQ(got, static_cast<int>(content.size()));
  EXPECT_EQ(std::string(buffer, got), content);
  EXPECT_EQ(PlatFileRead(fd, buffer, sizeof buffer), 0);
  EXPECT_EQ(PlatFileClose(fd), 0);

  int opened = PlatFileOpenSequential(sub.c_str(), &size);
  int error = PlatLastError();
  EXPECT_EQ(opened, -1);
  EXPECT_NE(error, 0);
  std::string missing = folder.path() + "\\missing.html";
  opened = PlatFileOpenSequential(missing.c_str(), &size);
  error = PlatLastError();
  EXPECT_EQ(opened, -1);
  EXPECT_EQ(error, static_cast<int>(ERROR_FILE_NOT_FOUND));
  // A device name opens a device wherever it stands: refused.
  EXPECT_EQ(PlatFileOpenSequential((folder.path() + "\\NUL").c_str(), &size), -1);
  EXPECT_EQ(PlatFileOpenSequential("CON", &size), -1);
}

// ------------------------------------------------------------------ pipes and processes

TEST(PipeTest, DuplicateIsNotInheritablePeekIsCappedWritesDoNotWait) {
  PlatHandle readEnd = PLAT_INVALID_HANDLE, writeEnd = PLAT_INVALID_HANDLE;
  ASSERT_EQ(PlatPipeCreate(&readEnd, &writeEnd), 0);
  EXPECT_TRUE(Inheritable(readEnd));
  EXPECT_TRUE(Inheritable(writeEnd));
  PlatHandle serverEnd = PLAT_INVALID_HANDLE;
  ASSERT_EQ(PlatHandleDuplicate(writeEnd, &serverEnd), 0);
  EXPECT_FALSE(Inheritable(serverEnd));
  ASSERT_EQ(PlatHandleClose(writeEnd), 0);
  EXPECT_EQ(PlatHandleClose(PLAT_INVALID_HANDLE), 0);

  uint32_t available = 99;
  ASSERT_EQ(PlatPipePeek(readEnd, 1024, &available), 0);
  EXPECT_EQ(available, 0u);

  uint32_t done = 0;
  ASSERT_EQ(PlatHandleWrite(serverEnd, "0123456789", 10, &done), 0);
  EXPECT_EQ(done, 10u);
  ASSERT_EQ(PlatPipePeek(readEnd, 4, &available), 0);
  EXPECT_EQ(available, 4u);
  ASSERT_EQ(PlatPipePeek(readEnd, 1024, &available), 0);
  EXPECT_EQ(available, 10u);
  char buffer[16] = {};
  ASSERT_EQ(PlatHandleRead(readEnd, buffer, available, &done), 0);
  EXPECT_EQ(std::string(buffer, done), "0123456789");

  // Nobody reads: a non-blocking write takes what fits and returns. Should
  // it wait instead, the pipe is drained here so that the test still ends.
  ASSERT_EQ(PlatHandleSetNonBlocking(serverEnd), 0);
  std::string big(1 << 20, 'x');
  uint32_t total = 0;
  int failures = 0;
  std::atomic<bool> finished{false};
  std::thread writer([&] {
    for (int i = 0; i < 8; ++i) {
      uint32_t written = 0;
      if (PlatHandleWrite(serverEnd, big.data(), static_cast<uint32_t>(big.size()), &written) != 0)
        ++failures;
      total += written;
    }
    finished = true;
  });
  for (int i = 0; i < 500 && !finished; ++i) Sleep(10);
  bool returnedAtOnce = finished;
  std::vector<char> drain(65536);
  while (!finished) {
    uint32_t waiting = 0;
    if (PlatPipePeek(readEnd, 65536, &waiting) == 0 && waiting > 0)
      PlatHandleRead(readEnd, drain.data(), waiting, &done);
    else
      Sleep(1);
  }
  writer.join();
  ASSERT_TRUE(returnedAtOnce);
  EXPECT_EQ(failures, 0);
  EXPECT_LT(total, 8u * big.size());
  ASSERT_EQ(PlatPipePeek(readEnd, 1024, &available), 0);
  EXPECT_EQ(available, total > 1024 ? 1024u : total);
  PlatHandleClose(serverEnd);
  PlatHandleClose(readEnd);
}

namespace {

// One run of the probe with pipes for its standard input and output, made
// as the CGI layer makes them.
struct Child {
  PlatHandle inRead = PLAT_INVALID_HANDLE, inWrite = PLAT_INVALID_HANDLE;
  PlatHandle outRead = PLAT_INVALID_HANDLE, outWrite = PLAT_INVALID_HANDLE;
  PlatProcessInfo info{};
  PlatContainer container = nullptr;  // the run's, if any
  int Start(const char *environment, const std::string &arguments,
            const std::string &program = ProbeProgram()) {
    if (PlatPipeCreate(&inRead, &inWrite) != 0) return -1;
    if (PlatPipeCreate(&outRead, &outWrite) != 0) return -1;
    PlatHandle copy;
    PlatHandleDuplicate(inWrite, &copy);
    PlatHandleClose(inWrite);
    inWrite = copy;
    PlatHandleDuplicate(outRead, &copy);
    PlatHandleClose(outRead);
    outRead = copy;
    std::string script = "C:\\www dir\\a b.cgi";
    PlatProcessStart start{};
    start.program = program.c_str();
    start.arguments = arguments.c_str();
    start.scriptPath = script.c_str();
    start.environment = environment;
    start.stdIn = inRead;
    start.stdOut = outWrite;
    start.stdErr = PLAT_INVALID_HANDLE;
    start.container = container;
    return PlatProcessCreate(&start, &info);
  }
  // Reads the output until the child has ended and the pipe is empty.
  // What it wrote just before its end may arrive after a look found the
  // pipe empty: once it has ended, the pipe is read out once more.
  std::string Output(uint32_t *exitCode) {
    std::string text;
    bool ended = false;
    for (int i = 0; i < 1000; ++i) {
      uint32_t available = 0;
      if (PlatPipePeek(outRead, 1024, &available) != 0) break;
      if (available > 0) {
        char buffer[1024];
        uint32_t done = 0;
        if (PlatHandleRead(outRead, buffer, available, &done) != 0) break;
        text.append(buffer, done);
        continue;
      }
      if (ended) break;
      int state = PlatProcessExitCode(info.process, exitCode);
      if (state < 0) break;
      ended = state != PLAT_PROCESS_RUNNING;
      if (!ended) Sleep(10);
    }
    return text;
  }
  ~Child() {
    for (PlatHandle h : {inRead, inWrite, outRead, outWrite}) PlatHandleClose(h);
    if (info.process) PlatProcessClose(info.process);
  }
};

}  // namespace

TEST(ProcessTest, ChildGetsTheEnvironmentBlockAloneAndItsCommandLine) {
  _putenv_s("TARVELD_SERVER_ONLY", "1");  // the server's own: never passed on
  Child child;
  static const char environment[] = "QUERY_STRING=a=1&b\0CONTENT_LENGTH=0\0";
  ASSERT_EQ(child.Start(environment, "-x"), 0) << PlatLastError() << " " << ProbeProgram();
  _putenv_s("TARVELD_SERVER_ONLY", "");
  EXPECT_NE(child.info.processId, 0u);
  uint32_t code = 99;
  std::string out = child.Output(&code);
  EXPECT_EQ(code, 3u);
  // Text mode: every line ends in CR LF.
  EXPECT_NE(out.find("CMD=\"" + ProbeProgram() + "\" -x \"C:\\www dir\\a b.cgi\"\r\n"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("ARGC=3\r\nARG=-x\r\nARG=C:\\www dir\\a b.cgi\r\n"), std::string::npos) << out;
  EXPECT_NE(out.find("ENV=QUERY_STRING=a=1&b\r\n"), std::string::npos) << out;
  EXPECT_NE(out.find("ENV=CONTENT_LENGTH=0\r\n"), std::string::npos) << out;
  EXPECT_EQ(out.find("TARVELD_SERVER_ONLY"), std::string::npos) << out;
}

// Empty arguments leave two blanks between the quoted program and script;
// a process that ends with the code that also means "still active" counts
// as still running.
TEST(ProcessTest, EmptyArgumentsAndTheExitCodeThatMeansStillRunning) {
  Child child;
  ASSERT_EQ(child.Start("A=1\0", ""), 0);
  uint32_t code = 99;
  std::string out = child.Output(&code);
  EXPECT_NE(out.find("CMD=\"" + ProbeProgram() + "\"  \"C:\\www dir\\a b.cgi\"\r\n"),
            std::string::npos)
      << out;

  Child ends259;
  ASSERT_EQ(ends259.Start("A=1\0", "259"), 0);
  ASSERT_EQ(WaitForSingleObject(reinterpret_cast<HANDLE>(ends259.info.process), 10000),
            WAIT_OBJECT_0);
  EXPECT_EQ(PlatProcessExitCode(ends259.info.process, &code), PLAT_PROCESS_RUNNING);
}

TEST(ProcessTest, MissingProgramFailsWithTheSystemsReason) {
  Child child;
  int started = child.Start("A=1\0", "", "Z:\\no\\such\\program.exe");
  int error = PlatLastError();
  EXPECT_EQ(started, -1);
  EXPECT_NE(error, 0);
}

// A pipe end of another run, inheritable as it is until that run's program
// has started, is not passed on to this program: once the other run closes
// it, its pipe is at its end while this program still runs.
TEST(ProcessTest, AProgramInheritsNoOtherRunsPipeEnds) {
  PlatHandle otherRead = PLAT_INVALID_HANDLE, otherWrite = PLAT_INVALID_HANDLE;
  ASSERT_EQ(PlatPipeCreate(&otherRead, &otherWrite), 0);
  Child child;
  ASSERT_EQ(child.Start("A=1\0", "wait"), 0) << PlatLastError();  // reads its input to its end
  PlatHandleClose(otherWrite);
  uint32_t available = 0;
  int peeked = PlatPipePeek(otherRead, 1, &available);
  int error = PlatLastError();
  PlatHandleClose(otherRead);
  PlatHandleClose(child.inWrite);
  child.inWrite = PLAT_INVALID_HANDLE;
  EXPECT_EQ(WaitForSingleObject(reinterpret_cast<HANDLE>(child.info.process), 10000),
            WAIT_OBJECT_0);
  EXPECT_EQ(peeked, -1);
  EXPECT_EQ(error, static_cast<int>(ERROR_BROKEN_PIPE));
}

// ------------------------------------------------------------------ streams and waits

namespace {

int64_t Since(std::chrono::steady_clock::time_point start) {
  return support::MillisecondsSince(start);
}

// Bytes that differ from their neighbours, so that a lost or repeated piece
// shows.
std::string Pattern(size_t size) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
  return bytes;
}

uint32_t Fnv1a(const std::string &bytes) {
  uint32_t hash = 2166136261u;
  for (unsigned char c : bytes) hash = (hash ^ c) * 16777619u;
  return hash;
}

// Reads what a stream has now into text: false once it is at its end.
// The first read must find something: the wait said so.
bool ReadNow(PlatStream stream, std::string *text) {
  char buffer[4096];
  for (int reads = 0;; ++reads) {
    uint32_t done = 0;
    int state = PlatStreamRead(stream, buffer, sizeof buffer, &done);
    if (state == PLAT_STREAM_EMPTY) {
      EXPECT_GT(reads, 0) << "reported ready, but nothing to read";
      return true;
    }
    EXPECT_EQ(state, 0) << PlatLastError();
    if (state != 0 || done == 0) return false;
    text->append(buffer, done);
  }
}

// Reads a pipe end without waiting for more than is there: true once its
// writer has closed it and everything was read, false when that takes
// longer than timeoutMs.
bool ReadToEnd(PlatHandle end, std::string *text, int timeoutMs) {
  HANDLE pipe = reinterpret_cast<HANDLE>(end);
  auto start = std::chrono::steady_clock::now();
  while (Since(start) < timeoutMs) {
    DWORD available = 0;
    if (!PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr))
      return GetLastError() == ERROR_BROKEN_PIPE;
    if (available == 0) {
      Sleep(1);
      continue;
    }
    std::vector<char> buffer(available);
    DWORD got = 0;
    if (!ReadFile(pipe, buffer.data(), available, &got, nullptr)) return false;
    text->append(buffer.data(), got);
  }
  return false;
}

// One run of the probe as a standard CGI run makes it: a stream for each
// standard handle, no script argument, a folder of its own.
struct StreamRun {
  PlatStream in = nullptr, out = nullptr, err = nullptr;
  PlatProcessInfo info{};
  int Start(const std::string &arguments, const char *directory) {
    PlatHandle ends[3] = {PLAT_INVALID_HANDLE, PLAT_INVALID_HANDLE, PLAT_INVALID_HANDLE};
    int started = -1;
    if (PlatStreamPipe(PLAT_STREAM_WRITE, &in, &ends[0]) == 0 &&
        PlatStreamPipe(PLAT_STREAM_READ, &out, &ends[1]) == 0 &&
        PlatStreamPipe(PLAT_STREAM_READ, &err, &ends[2]) == 0) {
      std::string program = ProbeProgram();
      PlatProcessStart start{program.c_str(), arguments.c_str(), nullptr, "A=1\0",
                             ends[0],         ends[1],           ends[2], directory,
                             nullptr};
      started = PlatProcessCreate(&start, &info);
    }
    for (PlatHandle end : ends) PlatHandleClose(end);
    return started;
  }
  ~StreamRun() {
    PlatStreamClose(in);
    PlatStreamClose(out);
    PlatStreamClose(err);
    if (!info.process) return;
    HANDLE process = reinterpret_cast<HANDLE>(info.process);
    if (WaitForSingleObject(process, 0) == WAIT_TIMEOUT) {
      TerminateProcess(process, 1);
      WaitForSingleObject(process, 10000);
    }
    PlatProcessClose(info.process);
  }
};

// The handles of this process, by trying the values handles take: up to
// as many as the system counts, or (where it counts none, as Wine) until
// a long run of values names none, handles being given out from the
// lowest free values up.
std::vector<HANDLE> OpenHandles() {
  DWORD count = 0;
  GetProcessHandleCount(GetCurrentProcess(), &count);
  std::vector<HANDLE> handles;
  uintptr_t last = 0;
  for (uintptr_t value = 4; value < last + 4096 && value < 0x1000000; value += 4) {
    if (count > 0 && handles.size() == count) break;
    DWORD flags = 0;
    if (!GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) continue;
    handles.push_back(reinterpret_cast<HANDLE>(value));
    last = value;
  }
  return handles;
}

}  // namespace

// The program's end is inheritable, like a pipe end of PlatPipeCreate;
// nothing else the stream opens is (its pipe end, its event).
TEST(StreamTest, OnlyTheProgramsEndIsInheritable) {
  for (int direction : {PLAT_STREAM_READ, PLAT_STREAM_WRITE}) {
    std::vector<HANDLE> before = OpenHandles();
    PlatStream stream = nullptr;
    PlatHandle programEnd = PLAT_INVALID_HANDLE;
    ASSERT_EQ(PlatStreamPipe(direction, &stream, &programEnd), 0) << PlatLastError();
    EXPECT_TRUE(Inheritable(programEnd));
    int pipes = 0, others = 0;
    for (HANDLE handle : OpenHandles()) {
      if (handle == reinterpret_cast<HANDLE>(programEnd)) continue;
      if (std::find(before.begin(), before.end(), handle) != before.end()) continue;
      EXPECT_FALSE(Inheritable(handle)) << direction;
      ++(GetFileType(handle) == FILE_TYPE_PIPE ? pipes : others);
    }
    EXPECT_EQ(pipes, 1) << direction;  // the server's end was looked at
    EXPECT_GE(others, 1) << direction;
    PlatStreamClose(stream);
    PlatHandleClose(programEnd);
  }
}

TEST(StreamTest, WaitEndsAtItsTimeOrAtOnceForDataAndTheEnd) {
  PlatStream out = nullptr;
  PlatHandle writer = PLAT_INVALID_HANDLE;
  ASSERT_EQ(PlatStreamPipe(PLAT_STREAM_READ, &out, &writer), 0) << PlatLastError();
  char buffer[16];
  uint32_t done = 99;
  EXPECT_EQ(PlatStreamRead(out, buffer, sizeof buffer, &done), PLAT_STREAM_EMPTY);
  PlatWaitSet set = {out, nullptr, nullptr, nullptr};
  EXPECT_EQ(PlatProcessWait(&set, 0), 0);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(PlatProcessWait(&set, 300), 0);
  int64_t waited = Since(start);
  EXPECT_GE(waited, 250);
  EXPECT_LT(waited, 10000);

  DWORD written = 0;
  ASSERT_TRUE(WriteFile(reinterpret_cast<HANDLE>(writer), "hello", 5, &written, nullptr));
  start = std::chrono::steady_clock::now();
  EXPECT_EQ(PlatProcessWait(&set, 30000), PLAT_READY_OUT);
  EXPECT_LT(Since(start), 10000);
  ASSERT_EQ(PlatStreamRead(out, buffer, 3, &done), 0);  // what is read is handed out in parts
  EXPECT_EQ(std::string(buffer, done), "hel");
  EXPECT_EQ(PlatProcessWait(&set, 30000), PLAT_READY_OUT);  // the rest is ready at once
  ASSERT_EQ(PlatStreamRead(out, buffer, sizeof buffer, &done), 0);
  EXPECT_EQ(std::string(buffer, done), "lo");
  EXPECT_EQ(PlatStreamRead(out, buffer, sizeof buffer, &done), PLAT_STREAM_EMPTY);

  PlatHandleClose(writer);
  start = std::chrono::steady_clock::now();
  EXPECT_EQ(PlatProcessWait(&set, 30000), PLAT_READY_OUT);
  EXPECT_LT(Since(start), 10000);
  done = 99;
  ASSERT_EQ(PlatStreamRead(out, buffer, sizeof buffer, &done), 0);
  EXPECT_EQ(done, 0u);
  EXPECT_EQ(PlatProcessWait(&set, 30000), PLAT_READY_OUT);  // the end stays
  done = 99;
  EXPECT_EQ(PlatStreamRead(out, buffer, sizeof buffer, &done), 0);
  EXPECT_EQ(done, 0u);
  PlatStreamClose(out);
}

// Nobody reads: a write takes what fits and then nothing, and returns at
// once every time; room is reported once the reader has taken some. What
// a write took reaches the reader, also when the stream is closed while it
// is still on its way.
TEST(StreamTest, WritesTakeWhatFitsInPiecesAndAClosedStreamDeliversWhatItTook) {
  PlatStream in = nullptr;
  PlatHandle reader = PLAT_INVALID_HANDLE;
  ASSERT_EQ(PlatStreamPipe(PLAT_STREAM_WRITE, &in, &reader), 0) << PlatLastError();
  const std::string body = Pattern(1 << 20);
  size_t taken = 0;
  int pieces = 0;
  auto writeUntilFull = [&] {
    for (int i = 0; i < 1000 && taken < body.size(); ++i) {
      uint32_t done = 0;
      ASSERT_EQ(PlatStreamWrite(in, body.data() + taken, static_cast<uint32_t>(body.size() - taken),
                                &done),
                0)
          << PlatLastError();
      if (done == 0) return;
      taken += done;
      ++pieces;
    }
  };
  auto start = std::chrono::steady_clock::now();
  writeUntilFull();
  EXPECT_LT(Since(start), 10000);
  ASSERT_GT(taken, 0u);
  ASSERT_LT(taken, body.size());
  PlatWaitSet set = {nullptr, nullptr, in, nullptr};
  EXPECT_EQ(PlatProcessWait(&set, 0), 0);

  // Half of the body goes through the reader in turns with the writes.
  std::string received;
  while (taken < body.size() / 2) {
    DWORD available = 0;
    ASSERT_TRUE(PeekNamedPipe(reinterpret_cast<HANDLE>(reader), nullptr, 0, nullptr, &available,
                              nullptr));
    std::vector<char> buffer(available);
    DWORD got = 0;
    ASSERT_TRUE(
        ReadFile(reinterpret_cast<HANDLE>(reader), buffer.data(), available, &got, nullptr));
    received.append(buffer.data(), got);
    ASSERT_EQ(PlatProcessWait(&set, 30000), PLAT_READY_IN) << taken;
    writeUntilFull();
  }
  // Then the writer fills the pipe again and closes the stream.
  writeUntilFull();
  ASSERT_LT(taken, body.size());
  EXPECT_GT(pieces, 2);
  PlatStreamClose(in);
  EXPECT_TRUE(ReadToEnd(reader, &received, 30000));
  EXPECT_EQ(received.size(), taken);
  EXPECT_TRUE(received == body.substr(0, taken));
  PlatHandleClose(reader);
}

// A reader that is gone fails the write, whether the write starts after it
// went or was under way.
TEST(StreamTest, AWriteFailsOnceTheReaderIsGone) {
  PlatStream in = nullptr;
  PlatHandle reader = PLAT_INVALID_HANDLE;
  ASSERT_EQ(PlatStreamPipe(PLAT_STREAM_WRITE, &in, &reader), 0) << PlatLastError();
  PlatHandleClose(reader);
  uint32_t done = 99;
  EXPECT_EQ(PlatStreamWrite(in, "x", 1, &done), -1);
  int error = PlatLastError();
  EXPECT_TRUE(error == ERROR_NO_DATA || error == ERROR_BROKEN_PIPE) << error;
  PlatStreamClose(in);

  ASSERT_EQ(PlatStreamPipe(PLAT_STREAM_WRITE, &in, &reader), 0) << PlatLastError();
  const std::string body = Pattern(1 << 20);
  size_t taken = 0;
  for (int i = 0; i < 1000; ++i) {
    ASSERT_EQ(PlatStreamWrite(in, body.data() + taken, static_cast<uint32_t>(body.size() - taken),
                              &done),
              0);
    if (done == 0) break;
    taken += done;
  }
  ASSERT_EQ(done, 0u);  // a write is under way
  PlatHandleClose(reader);
  PlatWaitSet set = {nullptr, nullptr, in, nullptr};
  EXPECT_EQ(PlatProcessWait(&set, 30000), PLAT_READY_IN);
  EXPECT_EQ(PlatStreamWrite(in, body.data() + taken, 1, &done), -1);
  PlatStreamClose(in);
}

// A run as the standard CGI layer makes it: the body goes to the program
// in pieces as it reads, its output and error output and their ends come
// through the reads that the wait announces, the wait ends when the
// program does, and the outcome tells its exit code.
TEST(StreamTest, ARunOfAProgramThroughItsStreams) {
  support::TempDir folder;
  StreamRun run;
  ASSERT_EQ(run.Start("streams 200", folder.path().c_str()), 0) << PlatLastError();
  const std::string body = Pattern(300000);
  size_t written = 0;
  int pieces = 0;
  std::string out, err;
  bool ended = false;
  auto start = std::chrono::steady_clock::now();
  for (int turn = 0; turn < 10000 && Since(start) < 60000; ++turn) {
    PlatWaitSet set = {run.out, run.err, run.in, ended ? nullptr : run.info.process};
    if (!set.out && !set.err && !set.in && !set.process) break;
    auto waitStart = std::chrono::steady_clock::now();
    int ready = PlatProcessWait(&set, 30000);
    ASSERT_GT(ready, 0) << PlatLastError();
    EXPECT_LT(Since(waitStart), 15000);
    if (ready & PLAT_READY_IN) {
      uint32_t done = 0;
      ASSERT_EQ(PlatStreamWrite(run.in, body.data() + written,
                                static_cast<uint32_t>(body.size() - written), &done),
                0)
          << PlatLastError();
      written += done;
      if (done > 0) ++pieces;
      if (written == body.size()) {
        PlatStreamClose(run.in);
        run.in = nullptr;
      }
    }
    if ((ready & PLAT_READY_OUT) && !ReadNow(run.out, &out)) {
      PlatStreamClose(run.out);
      run.out = nullptr;
    }
    if ((ready & PLAT_READY_ERR) && !ReadNow(run.err, &err)) {
      PlatStreamClose(run.err);
      run.err = nullptr;
    }
    if (ready & PLAT_READY_ENDED) ended = true;
  }
  EXPECT_TRUE(ended);
  EXPECT_EQ(run.out, nullptr);
  EXPECT_EQ(run.err, nullptr);
  EXPECT_GT(pieces, 1);
  EXPECT_NE(out.find("CMD=\"" + ProbeProgram() + "\" streams 200\r\n"), std::string::npos) << out;
  EXPECT_NE(out.find("ARGC=3\r\n"), std::string::npos) << out;
  EXPECT_NE(out.find("CWD=" + folder.path() + "\r\n"), std::string::npos) << out;
  char count[64];
  snprintf(count, sizeof count, "READ=%zu HASH=%08x\r\n", body.size(),
           static_cast<unsigned>(Fnv1a(body)));
  EXPECT_NE(out.find(count), std::string::npos) << out;
  EXPECT_EQ(err, "ERR=to standard error\r\n");

  PlatProcessOutcome outcome;
  ASSERT_EQ(PlatProcessFinish(run.info.process, 10000, &outcome), 0) << PlatLastError();
  EXPECT_EQ(outcome.ended, 1);
  EXPECT_EQ(outcome.signal, 0);
  EXPECT_EQ(outcome.exitCode, 3u);
  // Wine forgets the memory counters of a process once it has ended.
  if (!UnderWine()) {
    EXPECT_GT(outcome.peakKiB, 0u);
  }
  EXPECT_EQ(PlatProcessClose(run.info.process), 0);
  run.info.process = nullptr;
}

// A program that still runs has no outcome: the finish waits as long as it
// is told and fails; the program's end is then reported by the wait.
TEST(StreamTest, FinishFailsWhileTheProgramRunsAndTheWaitSeesItsEnd) {
  StreamRun run;
  ASSERT_EQ(run.Start("streams 0", nullptr), 0) << PlatLastError();
  PlatProcessOutcome outcome;
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(PlatProcessFinish(run.info.process, 200, &outcome), -1);  // it waits for its input
  EXPECT_GE(Since(start), 150);
  EXPECT_EQ(outcome.ended, 0);
  PlatStreamClose(run.in);
  run.in = nullptr;
  PlatWaitSet set = {nullptr, nullptr, nullptr, run.info.process};
  start = std::chrono::steady_clock::now();
  EXPECT_EQ(PlatProcessWait(&set, 30000), PLAT_READY_ENDED);
  EXPECT_LT(Since(start), 15000);
  ASSERT_EQ(PlatProcessFinish(run.info.process, 0, &outcome), 0) << PlatLastError();
  EXPECT_EQ(outcome.exitCode, 3u);
}

// ------------------------------------------------------------------ process list

namespace {

const PlatProcessEntry *Find(const std::vector<PlatProcessEntry> &list, uint32_t id) {
  for (const PlatProcessEntry &entry : list)
    if (entry.processId == id) return &entry;
  return nullptr;
}

}  // namespace

TEST(ProcessListTest, EntriesGiveParentsAndCreationTimesAndTerminationEndsTheChild) {
  const char *failedCall = "";
  ASSERT_EQ(PlatProcessListInit(&failedCall), 0) << failedCall;

  // A child that waits for input that never comes.
  Child child;
  ASSERT_EQ(child.Start("A=1\0", "wait"), 0);

  PlatProcessEntry *entries = nullptr;
  uint32_t count = 0;
  ASSERT_EQ(PlatProcessList(&entries, &count, &failedCall), 0) << failedCall;
  std::vector<PlatProcessEntry> list(entries, entries + count);
  free(entries);
  const PlatProcessEntry *self = Find(list, GetCurrentProcessId());
  const PlatProcessEntry *started = Find(list, child.info.processId);
  ASSERT_NE(self, nullptr);
  ASSERT_NE(started, nullptr);
  EXPECT_EQ(started->parentId, GetCurrentProcessId());
  EXPECT_GT(started->creationTime, self->creationTime);
  FILETIME created, exited, kernel, user;
  ASSERT_TRUE(GetProcessTimes(reinterpret_cast<HANDLE>(child.info.process), &created, &exited,
                              &kernel, &user));
  EXPECT_EQ(started->creationTime,
            (static_cast<uint64_t>(created.dwHighDateTime) << 32) | created.dwLowDateTime);

  EXPECT_EQ(PlatProcessOpenForTerminate(self), nullptr);  // never itself
  // Listed with another creation time, the id named an earlier process:
  // refused as an id in no use, and the child runs on.
  PlatProcessEntry earlier = *started;
  earlier.creationTime -= 1;
  PlatProcess stale = PlatProcessOpenForTerminate(&earlier);
  int error = PlatLastError();
  EXPECT_EQ(stale, nullptr);
  EXPECT_EQ(error, static_cast<int>(ERROR_INVALID_PARAMETER));
  uint32_t running = 0;
  EXPECT_EQ(PlatProcessExitCode(child.info.process, &running), PLAT_PROCESS_RUNNING);
  PlatProcess handle = PlatProcessOpenForTerminate(started);
  ASSERT_NE(handle, nullptr);
  EXPECT_EQ(PlatProcessTerminate(handle, 0), 0);
  PlatProcessClose(handle);
  EXPECT_EQ(WaitForSingleObject(reinterpret_cast<HANDLE>(child.info.process), 10000),
            WAIT_OBJECT_0);
  uint32_t code = 99;
  EXPECT_EQ(PlatProcessExitCode(child.info.process, &code), 0);
  EXPECT_EQ(code, 0u);
  PlatProcessEntry none = {0xFFFFFFF0u, 0, 0};
  EXPECT_EQ(PlatProcessOpenForTerminate(&none), nullptr);
}

// Windows keeps the id of a creator that has ended and reuses ids: with a
// list as that makes it (fabricated, since ids cannot be steered), the walk
// takes only processes created after their parent and never the server,
// which would otherwise end itself here.
TEST(ProcessListTest, WalkSkipsProcessesOlderThanTheirParentAndTheServer) {
  unit::ConfigScope config;
  const uint32_t program = 0xFFFFFF00u, stale = 0xFFFFFF04u;  // ids no process has
  std::vector<PlatProcessEntry> list = {{stale, program, 100},
                                        {program, 8, 200},
                                        {GetCurrentProcessId(), program, 300},
                                        {0xFFFFFF08u, stale, 400}};
  std::vector<unsigned char> visited(list.size(), 0);
  visited[1] = 1;
  unit::Capture out;
  EXPECT_EQ(TerminateChildTree(list.data(), static_cast<uint32_t>(list.size()), 1, visited.data()),
            -1);
  std::string log = out.Text();
  EXPECT_EQ(visited[0] + visited[2] + visited[3], 0);
  EXPECT_EQ(log.find("Terminated child process."), std::string::npos) << log;
  EXPECT_NE(log.find("[W] Failed OpenProcess() errno="), std::string::npos) << log;  // the program
}

namespace {

int ListLooks = 0;

// A process list that grows by 16 KiB between any two looks, from just
// beyond the first look's 1 MiB: every size a look is told is too small by
// the next look.
LONG NTAPI GrowingList(ULONG infoClass, void *buffer, ULONG length, ULONG *needed) {
  ULONG size = 1048576 + 1 + 16384 * static_cast<ULONG>(++ListLooks);
  if (length >= size) return Win32QuerySystemInformation(infoClass, buffer, length, needed);
  if (needed) *needed = size;
  return static_cast<LONG>(0xC0000004);  // STATUS_INFO_LENGTH_MISMATCH
}

}  // namespace

TEST(ProcessListTest, AListThatGrowsBetweenItsLooksIsReadWithRoomToSpare) {
  const char *failedCall = "";
  ASSERT_EQ(PlatProcessListInit(&failedCall), 0) << failedCall;
  ListLooks = 0;
  ASSERT_EQ(PlatSyscallSet("process-list", reinterpret_cast<PlatSyscallPtr>(&GrowingList)), 0);
  PlatProcessEntry *entries = nullptr;
  uint32_t count = 0;
  int listed = PlatProcessList(&entries, &count, &failedCall);
  int error = PlatLastError();
  PlatSyscallSet("process-list", nullptr);
  ASSERT_EQ(listed, 0) << failedCall << "() errno=" << error << " after " << ListLooks << " looks";
  std::vector<PlatProcessEntry> list(entries, entries + count);
  free(entries);
  EXPECT_NE(Find(list, GetCurrentProcessId()), nullptr);
}

// ------------------------------------------------------------------ containers

namespace {

// The probe's line that begins with the name, without it; "" for none.
std::string Line(const std::string &output, const std::string &name) {
  size_t at = output.find("\n" + name + "=");
  if (at == std::string::npos) return "";
  at += name.size() + 2;
  return output.substr(at, output.find_first_of("\r\n", at) - at);
}

BOOL WINAPI RefusedJoin(HANDLE, HANDLE) {
  SetLastError(ERROR_ACCESS_DENIED);
  return FALSE;
}

}  // namespace

// The program is in its run's job from its first line on, cannot start
// anything outside it, and what it leaves behind (here a process whose
// parent has ended, which no walk of the process tree reaches) ends with
// the job.
TEST(ContainerTest, ARunAndAllItStartsStayInItsJobAndEndWithIt) {
  PlatCaps caps = {};
  PlatContainment found;
  PlatContainmentInit(&caps, &found, 0);
  ASSERT_EQ(found.groups, 1) << found.description;
  EXPECT_STREQ(found.description, "job objects");
  EXPECT_STREQ(found.unenforced, "");
  Child child;
  child.container = PlatContainerCreate();
  ASSERT_NE(child.container, nullptr) << PlatLastError();
  ASSERT_EQ(child.Start("A=1\0", "contained"), 0) << PlatLastError();
  uint32_t code = 99;
  std::string out = child.Output(&code);
  EXPECT_EQ(code, 3u) << out;
  EXPECT_EQ(Line(out, "JOB"), "1") << out;
  EXPECT_EQ(Line(out, "BREAKAWAY"), "refused") << out;
  DWORD orphanId = static_cast<DWORD>(atol(Line(out, "ORPHAN").c_str()));
  ASSERT_NE(orphanId, 0u) << out;
  HANDLE orphan = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION, FALSE, orphanId);
  ASSERT_NE(orphan, nullptr) << GetLastError();
  BOOL inJob = FALSE;
  EXPECT_TRUE(IsProcessInJob(orphan, child.container->job, &inJob)) << GetLastError();
  EXPECT_TRUE(inJob);
  // It has outlived its parent.
  EXPECT_EQ(WaitForSingleObject(orphan, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_EQ(PlatContainerEnd(child.container), 0) << PlatLastError();
  EXPECT_EQ(WaitForSingleObject(orphan, 0), WAIT_OBJECT_0);  // the end waited for it
  CloseHandle(orphan);
  PlatContainerClose(child.container);
}

// A server that ends without ending its runs closes their jobs: what is in
// them is killed.
TEST(ContainerTest, ClosingTheJobKillsWhatIsStillInIt) {
  PlatCaps caps = {};
  PlatContainment found;
  PlatContainmentInit(&caps, &found, 0);
  Child child;
  child.container = PlatContainerCreate();
  ASSERT_NE(child.container, nullptr) << PlatLastError();
  ASSERT_EQ(child.Start("A=1\0", "wait"), 0) << PlatLastError();  // its input never ends
  PlatContainerClose(child.container);
  EXPECT_EQ(WaitForSingleObject(reinterpret_cast<HANDLE>(child.info.process), 10000),
            WAIT_OBJECT_0);
}

// A program that cannot be put into its job never runs: the start fails
// with the reason, and no process of it is left.
TEST(ContainerTest, AProgramThatCannotJoinItsJobIsNotLeftRunning) {
  const char *failedCall = "";
  ASSERT_EQ(PlatProcessListInit(&failedCall), 0) << failedCall;
  PlatCaps caps = {};
  PlatContainment found;
  PlatContainmentInit(&caps, &found, 0);
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  uint64_t before = (static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
  Child child;
  child.container = PlatContainerCreate();
  ASSERT_NE(child.container, nullptr) << PlatLastError();
  ASSERT_EQ(PlatSyscallSet("group-join", reinterpret_cast<PlatSyscallPtr>(&RefusedJoin)), 0);
  int started = child.Start("A=1\0", "wait");
  int error = PlatLastError();
  PlatSyscallSet("group-join", nullptr);
  EXPECT_EQ(started, -1);
  EXPECT_EQ(error, static_cast<int>(ERROR_ACCESS_DENIED));
  // No child of this process started since.
  auto childrenSince = [before] {
    PlatProcessEntry *entries = nullptr;
    uint32_t count = 0;
    const char *call = "";
    if (PlatProcessList(&entries, &count, &call) != 0) return -1;
    int children = 0;
    for (uint32_t i = 0; i < count; ++i)
      if (entries[i].parentId == GetCurrentProcessId() && entries[i].creationTime >= before)
        ++children;
    free(entries);
    return children;
  };
  EXPECT_TRUE(support::WaitFor([&] { return childrenSince() == 0; })) << childrenSince();
  if (started == 0) PlatContainerEnd(child.container);
  PlatContainerClose(child.container);
}

// A refused commit and a refused process are told by the job's messages
// (made here: Wine's jobs enforce no cap), and the cap stays told after the
// program has ended and the end of the run has taken the other messages.
TEST(ContainerTest, TheCapTheJobToldOfStaysToldAfterTheEnd) {
  PlatCaps caps = {64 << 20, 8, 3600000};
  PlatContainment found;
  PlatContainmentInit(&caps, &found, 0);
  const struct {
    DWORD message;
    int cap;
  } cases[] = {{JOB_OBJECT_MSG_JOB_MEMORY_LIMIT, PLAT_CAP_MEMORY},
               {JOB_OBJECT_MSG_ACTIVE_PROCESS_LIMIT, PLAT_CAP_PROCESSES}};
  for (const auto &c : cases) {
    SCOPED_TRACE(c.cap);
    Child child;
    child.container = PlatContainerCreate();
    ASSERT_NE(child.container, nullptr) << PlatLastError();
    ASSERT_EQ(child.Start("A=1\0", "wait"), 0) << PlatLastError();
    EXPECT_EQ(PlatContainerCapHit(child.container, child.info.process), PLAT_CAP_NONE);
    ASSERT_TRUE(PostQueuedCompletionStatus(child.container->port, c.message,
                                           reinterpret_cast<ULONG_PTR>(child.container->job),
                                           nullptr));
    EXPECT_EQ(PlatContainerEnd(child.container), 0) << PlatLastError();
    EXPECT_EQ(WaitForSingleObject(reinterpret_cast<HANDLE>(child.info.process), 0), WAIT_OBJECT_0);
    EXPECT_EQ(PlatContainerCapHit(child.container, child.info.process), c.cap);
    PlatContainerClose(child.container);
  }
}
