// A configuration file as a damaged disk may hold it: loaded through the document's own Load,
// and what loaded is stored again.
#include <cstdint>

#include "config/doc.h"
#include "framework/archive.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    CMemFile file(std::vector<std::uint8_t>(data, data + size));
    CQuorixDoc doc;
    if (!doc.Load(file)) return 0;
    CMemFile out;
    try {
        CArchive ar(&out, CArchive::store);
        doc.Serialize(ar);
        ar.Close();
    } catch (const CArchiveException&) {
    }
    return 0;
}
