// tarvo: a small host for the Quorix driver module.
#include <cstdio>
#include <cstring>

#include "commands.h"
#include "framework/codepage.h"

namespace {

void Usage(std::FILE* out) {
    std::fputs(
        "usage: tarvo <command> [arguments]\n"
        "\n"
        "commands:\n"
        "  run CFG TAGS [--for SECONDS] [--write TAG=VALUE]... [--write-after SECONDS]\n"
        "               [--stats SECONDS] [--module PATH]   (tarvo run --help)\n"
        "                         load the driver module, register the tags of TAGS against\n"
        "                         the configuration CFG and show live values\n"
        "  serve CFG TAGS [options]  the plant runtime: values to an MQTT broker and a live\n"
        "                         web view, writes back when enabled (tarvo serve --help)\n"
        "  setup CFG              open the driver's setup dialog on CFG (new or existing)\n"
        "  cfg show CFG           print a configuration file readably\n"
        "  cfg export CFG [JSON]  write a configuration as JSON (to standard output without JSON)\n"
        "  cfg import JSON CFG    write a configuration file from JSON\n"
        "  help                   this text\n",
        out);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        Usage(stderr);
        return 2;
    }
    std::string cmd = argv[1];
    Args rest(argv + 2, argv + argc);
    if (cmd == "help" || cmd == "--help" || cmd == "-h") {
        Usage(stdout);
        return 0;
    }
    // Every command passes CP949 texts; without the converter each would come out wrong.
    if (std::string why = Cp949Problem(); !why.empty()) {
        std::fprintf(stderr, "tarvo: %s\n", why.c_str());
        return 1;
    }
    if (cmd == "cfg") return CmdCfg(rest);
    if (cmd == "run") return CmdRun(rest);
    if (cmd == "setup") return CmdSetup(rest);
    if (cmd == "serve") return CmdServe(rest);
    std::fprintf(stderr, "tarvo: unknown command '%s'\n\n", cmd.c_str());
    Usage(stderr);
    return 2;
}
