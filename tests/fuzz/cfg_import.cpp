// The JSON that `tarvo cfg import` reads; what it accepts is stored as a configuration file.
#include <cstdint>
#include <string_view>

#include "cfg_json.h"
#include "config/doc.h"
#include "framework/archive.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    CQuorixDoc doc;
    std::string error;
    if (!ConfigFromJson(std::string_view(reinterpret_cast<const char*>(data), size), doc, error))
        return 0;
    CMemFile out;
    try {
        CArchive ar(&out, CArchive::store);
        doc.Serialize(ar);
        ar.Close();
    } catch (const CArchiveException&) {
    }
    return 0;
}
