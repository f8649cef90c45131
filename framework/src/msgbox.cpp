#include "framework/msgbox.h"

#include <cstdio>
#include <mutex>

#include "framework/codepage.h"
#include "framework/resources.h"

namespace {
std::mutex gMu;
CBoxHandler& Handler() {
    static CBoxHandler handler;
    return handler;
}

int DefaultBox(const CBoxRequest& r) {
    std::fprintf(stderr, "[%s %u] %s\n", r.kind == CBoxRequest::error ? "error" : "message", r.id,
                 Cp949ToUtf8(r.text).c_str());
    return r.type == MB_YESNO ? IDNO : IDOK;
}
}  // namespace

CBoxHandler AfxSetBoxHandler(CBoxHandler handler) {
    std::lock_guard<std::mutex> lock(gMu);
    CBoxHandler old = std::move(Handler());
    Handler() = std::move(handler);
    return old;
}

int AfxShowBox(const CBoxRequest& request) {
    CBoxHandler h;
    {
        std::lock_guard<std::mutex> lock(gMu);
        h = Handler();
    }
    return h ? h(request) : DefaultBox(request);
}

int AfxMessageBox(std::uint32_t stringId, unsigned type) {
    CBoxRequest r;
    r.kind = CBoxRequest::message;
    r.id = stringId;
    AfxLoadString(stringId, r.text);
    r.type = type;
    return AfxShowBox(r);
}
