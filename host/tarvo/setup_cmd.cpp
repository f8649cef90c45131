// PLACEHOLDER until the setup dialog lands: replaced by the setup command.
#include <cstdio>
#include "commands.h"
int CmdSetup(const Args&) {
    std::fputs("tarvo setup: not built yet\n", stderr);
    return 1;
}
