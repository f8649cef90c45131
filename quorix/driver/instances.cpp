#include "instances.h"

#include <deque>
#include <mutex>

#include "config/doc.h"

namespace instances {
namespace {
std::mutex gMu;
// A deque keeps existing elements in place while it grows, so a document pointer handed out
// stays valid while another host thread opens a file.
std::deque<std::unique_ptr<CQuorixDoc>>& Docs() {
    static std::deque<std::unique_ptr<CQuorixDoc>> docs;
    return docs;
}
}  // namespace

std::int32_t Add(std::unique_ptr<CQuorixDoc> doc) {
    std::lock_guard<std::mutex> lock(gMu);
    Docs().push_back(std::move(doc));
    return static_cast<std::int32_t>(Docs().size() - 1);
}

CQuorixDoc* Get(std::int32_t index) {
    std::lock_guard<std::mutex> lock(gMu);
    if (index < 0 || static_cast<std::size_t>(index) >= Docs().size()) return nullptr;
    return Docs()[static_cast<std::size_t>(index)].get();
}

std::int32_t Count() {
    std::lock_guard<std::mutex> lock(gMu);
    return static_cast<std::int32_t>(Docs().size());
}

void Clear() {
    std::deque<std::unique_ptr<CQuorixDoc>> docs;
    {
        std::lock_guard<std::mutex> lock(gMu);
        docs.swap(Docs());
    }
    for (auto& d : docs) d.reset();  // index order
}

}  // namespace instances
