// The subcommands of the tarvo host program. Each returns the process exit code.
#pragma once

#include <string>
#include <vector>

using Args = std::vector<std::string>;

int CmdCfg(const Args& args);    // tarvo cfg show|export|import ...
int CmdRun(const Args& args);    // tarvo run CFG TAGS [options]
int CmdSetup(const Args& args);  // tarvo setup CFG
int CmdServe(const Args& args);  // tarvo serve CFG TAGS [options]
