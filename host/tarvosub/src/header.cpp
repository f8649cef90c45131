#include "tarvosub/header.h"

#include "framework/archive.h"

CTarvoHeader::CTarvoHeader(std::int32_t kind) : kind_(kind) {}

void CTarvoHeader::Serialize(CArchive& ar) {
    if (ar.IsStoring()) {
        ar.WriteDword(kSignature);
        ar.WriteDword(static_cast<std::uint32_t>(kVersion));
        ar.WriteDword(static_cast<std::uint32_t>(kind_));
        ar.WriteString(desc_);
        return;
    }
    if (ar.ReadDword() != kSignature)
        throw CArchiveException(CArchiveException::genericError, "not a host configuration file");
    if (static_cast<std::int32_t>(ar.ReadDword()) != kVersion)
        throw CArchiveException(CArchiveException::badSchema, "unknown header version");
    kind_ = static_cast<std::int32_t>(ar.ReadDword());
    desc_ = ar.ReadString();
}
