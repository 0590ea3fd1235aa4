// The runtime's entry: hands the command line to the server's process entry.
#include "core/Core.h"

int main(int argc, char **argv) { return ServerEntry(argc, argv); }
