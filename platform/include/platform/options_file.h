// Settings files of the programs run as services: one "name = value" a line, each name one of the
// program's long options without its dashes, a switch as "yes" or "no"; '#' starts a comment
// line. Each line becomes the words of its option, so the command line's checks apply to it.
#pragma once

#include <string>
#include <vector>

namespace plat {

// One word of a command line, and for a word from a settings file its "FILE:LINE".
struct OptionWord {
    std::string text;
    std::string where;
};

// Reads `path` into option words. `switches` and `valued` are the names the file may use.
// False with `why` ("FILE:LINE: reason", or the file and the system's reason) otherwise.
bool ReadOptionsFile(const std::string& path, const std::vector<std::string>& switches,
                     const std::vector<std::string>& valued, std::vector<OptionWord>& out,
                     std::string& why);

// The command line with a "--config FILE" in it replaced by the file's words, put first, so that
// the command line's options come later and win. `modes` are options that exclude each other
// (--hardware, --simulate): one given on the command line drops the file's (with its value when
// it is in `valued`). False with `why` for a missing file name, a second --config or a bad file.
bool MergeOptionsFile(std::vector<OptionWord>& args, const std::vector<std::string>& switches,
                      const std::vector<std::string>& valued, const std::vector<std::string>& modes,
                      std::string& why);

}  // namespace plat
