#include "commands.h"
int CmdCfg(const Args&) { return 1; }
