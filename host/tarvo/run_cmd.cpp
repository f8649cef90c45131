// PLACEHOLDER until the engine lands: replaced by the run command.
#include <cstdio>
#include "commands.h"
int CmdRun(const Args&) {
    std::fputs("tarvo run: not built yet\n", stderr);
    return 1;
}
