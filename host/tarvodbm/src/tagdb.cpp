#include "tarvodbm/tagdb.h"

CTagDatabase& CTagDatabase::Instance() {
    static CTagDatabase db;
    return db;
}

std::int32_t CTagDatabase::AddTag(const std::string& name) {
    std::lock_guard<std::mutex> lock(mu_);
    auto [it, added] = ids_.emplace(name, static_cast<std::int32_t>(tags_.size() + 1));
    if (added) tags_.push_back(Tag{name, CTagVal(), 0});
    return it->second;
}

std::optional<std::int32_t> CTagDatabase::Find(const std::string& name) const {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = ids_.find(name);
    if (it == ids_.end()) return std::nullopt;
    return it->second;
}

bool CTagDatabase::GetName(std::int32_t tagId, std::string& name) const {
    std::lock_guard<std::mutex> lock(mu_);
    if (tagId < 1 || static_cast<std::size_t>(tagId) > tags_.size()) return false;
    name = tags_[tagId - 1].name;
    return true;
}

bool CTagDatabase::GetValue(std::int32_t tagId, CTagVal& value) const {
    std::lock_guard<std::mutex> lock(mu_);
    if (tagId < 1 || static_cast<std::size_t>(tagId) > tags_.size()) return false;
    value = tags_[tagId - 1].value;
    return true;
}

std::uint64_t CTagDatabase::Updates(std::int32_t tagId) const {
    std::lock_guard<std::mutex> lock(mu_);
    if (tagId < 1 || static_cast<std::size_t>(tagId) > tags_.size()) return 0;
    return tags_[tagId - 1].updates;
}

bool CTagDatabase::SetValue(std::int32_t tagId, const CTagVal& value) {
    std::vector<Listener> listeners;
    {
        std::lock_guard<std::mutex> lock(mu_);
        if (tagId < 1 || static_cast<std::size_t>(tagId) > tags_.size()) return false;
        tags_[tagId - 1].value = value;
        ++tags_[tagId - 1].updates;
        for (auto& [id, l] : listeners_) listeners.push_back(l);
    }
    for (auto& l : listeners) l(tagId, value);
    return true;
}

int CTagDatabase::AddListener(Listener listener) {
    std::lock_guard<std::mutex> lock(mu_);
    listeners_[nextListener_] = std::move(listener);
    return nextListener_++;
}

void CTagDatabase::RemoveListener(int id) {
    std::lock_guard<std::mutex> lock(mu_);
    listeners_.erase(id);
}

std::size_t CTagDatabase::Count() const {
    std::lock_guard<std::mutex> lock(mu_);
    return tags_.size();
}

void CTagDatabase::Clear() {
    std::lock_guard<std::mutex> lock(mu_);
    tags_.clear();
    ids_.clear();
}

namespace {

std::int32_t SetTagValue(std::int32_t tagId, const CTagVal* value) {
    return value && CTagDatabase::Instance().SetValue(tagId, *value) ? 1 : 0;
}

std::int32_t GetTagName(std::int32_t tagId, std::string* name) {
    if (!name) return 0;
    name->clear();
    return CTagDatabase::Instance().GetName(tagId, *name) ? 1 : 0;
}

}  // namespace

extern "C" {
__attribute__((visibility("default"))) void* FuncTable[kDbmFuncCount] = {};
}

namespace {
struct FillTable {
    FillTable() {
        FuncTable[kDbmSetTagValue] = reinterpret_cast<void*>(&SetTagValue);
        FuncTable[kDbmGetTagName] = reinterpret_cast<void*>(&GetTagName);
    }
} gFill;
}  // namespace
