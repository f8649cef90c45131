#include "platform/options_file.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>

namespace plat {

namespace {

std::string Trim(const std::string& t) {
    const auto b = t.find_first_not_of(" \t\r");
    const auto e = t.find_last_not_of(" \t\r");
    return b == std::string::npos ? std::string() : t.substr(b, e - b + 1);
}

bool Contains(const std::vector<std::string>& list, const std::string& name) {
    return std::find(list.begin(), list.end(), name) != list.end();
}

}  // namespace

bool ReadOptionsFile(const std::string& path, const std::vector<std::string>& switches,
                     const std::vector<std::string>& valued, std::vector<OptionWord>& out,
                     std::string& why) {
    std::ifstream in(path);
    if (!in) {
        why = path + ": " + std::strerror(errno);
        return false;
    }
    std::string line;
    std::vector<std::pair<std::string, int>> seen;  // names set, and their lines
    for (int n = 1; std::getline(in, line); ++n) {
        const std::string where = path + ":" + std::to_string(n);
        if (n == 1 && line.compare(0, 3, "\xEF\xBB\xBF") == 0) line.erase(0, 3);  // a BOM
        line = Trim(line);
        if (line.empty() || line[0] == '#') continue;
        const auto eq = line.find('=');
        const std::string name = Trim(line.substr(0, eq));
        std::string value = eq == std::string::npos ? std::string() : Trim(line.substr(eq + 1));
        // "a value" in quotes is the value.
        if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
            value = value.substr(1, value.size() - 2);
        if (eq == std::string::npos || name.empty() || value.empty()) {
            why = where + ": expected \"name = value\", got \"" + line + "\"";
            return false;
        }
        for (const auto& [earlier, at] : seen)
            if (earlier == name) {
                why = where + ": " + name + " is set twice (first on line " + std::to_string(at) +
                      ")";
                return false;
            }
        seen.emplace_back(name, n);
        if (Contains(switches, name)) {
            if (value == "yes") {
                out.push_back({"--" + name, where});
            } else if (value != "no") {
                why = where + ": " + name + " is yes or no, not \"" + value + "\"";
                return false;
            }
        } else if (Contains(valued, name)) {
            out.push_back({"--" + name, where});
            out.push_back({value, where});
        } else {
            why = where + ": unknown setting \"" + name + "\"";
            return false;
        }
    }
    if (in.bad()) {
        why = path + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

bool MergeOptionsFile(std::vector<OptionWord>& args, const std::vector<std::string>& switches,
                      const std::vector<std::string>& valued, const std::vector<std::string>& modes,
                      std::string& why) {
    auto at = std::find_if(args.begin(), args.end(),
                           [](const OptionWord& a) { return a.text == "--config"; });
    if (at == args.end()) return true;
    if (at + 1 == args.end()) {
        why = "--config needs a file";
        return false;
    }
    std::vector<OptionWord> fromFile;
    if (!ReadOptionsFile((at + 1)->text, switches, valued, fromFile, why)) return false;
    args.erase(at, at + 2);
    if (std::any_of(args.begin(), args.end(),
                    [](const OptionWord& a) { return a.text == "--config"; })) {
        why = "one --config file only";
        return false;
    }
    const bool modeGiven = std::any_of(args.begin(), args.end(), [&](const OptionWord& a) {
        return a.text.rfind("--", 0) == 0 && Contains(modes, a.text.substr(2));
    });
    const OptionWord* fileMode = nullptr;
    for (const auto& w : fromFile) {
        if (w.text.rfind("--", 0) != 0 || !Contains(modes, w.text.substr(2))) continue;
        if (fileMode) {
            why = w.where + ": " + w.text.substr(2) + " and " + fileMode->text.substr(2) + " (" +
                  fileMode->where + ") exclude each other";
            return false;
        }
        fileMode = &w;
    }
    std::vector<OptionWord> merged;
    for (std::size_t k = 0; k < fromFile.size(); ++k) {
        const std::string name = fromFile[k].text.substr(2);
        if (modeGiven && Contains(modes, name)) {
            if (Contains(valued, name)) ++k;  // and its value
            continue;
        }
        merged.push_back(fromFile[k]);
        if (Contains(valued, name)) merged.push_back(fromFile[++k]);
    }
    args.insert(args.begin(), merged.begin(), merged.end());
    return true;
}

}  // namespace plat
