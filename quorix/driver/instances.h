// The module's open documents. DrvOpen appends; nothing removes or reorders an entry until the
// module is unloaded, so an index stays valid.
#pragma once

#include <cstdint>
#include <memory>

class CQuorixDoc;

namespace instances {

// Appends and returns the new index.
std::int32_t Add(std::unique_ptr<CQuorixDoc> doc);
// The document at an index, or null for an invalid index.
CQuorixDoc* Get(std::int32_t index);
std::int32_t Count();
// Deletes every document in index order and empties the array.
void Clear();

}  // namespace instances
