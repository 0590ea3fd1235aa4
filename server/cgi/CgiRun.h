// Pieces of a CGI run that the CGI sources share with their tests: the
// child's environment block and the tree walk of the termination.
#ifndef TARVELD_CGI_RUN_H
#define TARVELD_CGI_RUN_H

#include <cstdint>

#include "platform/platform.h"

// The child's whole environment: QUERY_STRING (only when there is a query)
// and CONTENT_LENGTH, each NUL-terminated, then one more NUL. Heap block;
// null when no memory.
char *CgiEnvironment(const char *query, const char *data, int isPost);

// Terminates the process of list[index] after all its descendants in the
// list. `visited` holds one flag per entry: an entry is walked at most once,
// so parent links that loop cannot recurse without end. 0 when the process
// could be opened for termination, -1 when not.
int TerminateChildTree(const PlatProcessEntry *list, uint32_t count, uint32_t index,
                       unsigned char *visited);

#endif
