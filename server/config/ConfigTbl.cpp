// The process-wide configuration record, allocated by the server's main routine.
#include "config/ConfigTbl.h"

ConfigTable *ConfigTbl = nullptr;
