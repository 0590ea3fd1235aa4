// CGI programs: execution with pipes and time limits, and termination of a
// timed-out program with all its descendants.
#ifndef TARVELD_CGI_H
#define TARVELD_CGI_H

#include <cstdint>

#include "platform/platform.h"

int CgiExec(PlatSocket sock, const char *scriptPath, const char *program,
            const char *arguments, const char *query, const char *data, int isPost);
int CgiResultSend(PlatHandle pipe, PlatSocket sock);

int TerminateChildInit();
int TerminateChild(uint32_t processId);

#endif
