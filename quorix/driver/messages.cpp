#include "messages.h"

#include <string>

#include "hostlibs.h"
#include "texts.h"

namespace {

// Puts the arguments into the "%s" placeholders of a format, in order; a missing argument
// counts as an empty text.
std::string Format(const std::string& format, const char* a1, const char* a2) {
    std::string out;
    const char* args[2] = {a1, a2};
    int next = 0;
    for (std::size_t i = 0; i < format.size(); ++i) {
        if (format[i] == '%' && i + 1 < format.size() && format[i + 1] == 's') {
            const char* a = next < 2 ? args[next] : nullptr;
            ++next;
            if (a) out += a;
            ++i;
        } else {
            out += format[i];
        }
    }
    return out;
}

}  // namespace

std::int32_t ReportMessage(int n, int messageClass, const char* arg1, const char* arg2) {
    if (!hostlibs::HasMessageOutput() || n < 0) return n;
    std::string text = kMessagePrefix + Format(MessageFormat(n), arg1, arg2);
    hostlibs::MessageOutput(3, messageClass | 0x100, text.c_str());
    return -n;
}
