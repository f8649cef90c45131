// The host's tag database: tags with ids, names and values, and listeners for value changes.
// Drivers reach it through the exported function table; the host program uses the class.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "tarvosub/tagval.h"

// Positions in the exported "FuncTable".
inline constexpr int kDbmSetTagValue = 23;
inline constexpr int kDbmGetTagName = 29;
inline constexpr int kDbmFuncCount = 32;
using DbmSetTagValueFn = std::int32_t (*)(std::int32_t tagId, const CTagVal* value);
// Fills *name (CP949) and returns 1; returns 0 and leaves it empty for an unknown id.
using DbmGetTagNameFn = std::int32_t (*)(std::int32_t tagId, std::string* name);

class CTagDatabase {
public:
    using Listener = std::function<void(std::int32_t tagId, const CTagVal& value)>;

    static CTagDatabase& Instance();

    // Adds a tag (or returns the id of the tag with this name). Ids start at 1.
    std::int32_t AddTag(const std::string& name);
    std::optional<std::int32_t> Find(const std::string& name) const;
    bool GetName(std::int32_t tagId, std::string& name) const;
    bool GetValue(std::int32_t tagId, CTagVal& value) const;
    // Stores the value and tells the listeners (outside the database's lock). False for an
    // unknown id. Counts every update, changed or not.
    bool SetValue(std::int32_t tagId, const CTagVal& value);
    std::uint64_t Updates(std::int32_t tagId) const;
    int AddListener(Listener listener);
    void RemoveListener(int id);
    std::size_t Count() const;
    void Clear();

private:
    struct Tag {
        std::string name;
        CTagVal value;
        std::uint64_t updates = 0;
    };
    mutable std::mutex mu_;
    std::vector<Tag> tags_;
    std::unordered_map<std::string, std::int32_t> ids_;  // name -> id, for hosts with many tags
    std::map<int, Listener> listeners_;
    int nextListener_ = 1;
};
