// The host's header section that opens every configuration file of a host component.
#pragma once

#include <cstdint>
#include <string>

#include "framework/object.h"

class CTarvoHeader : public CObject {
public:
    // The section starts with this signature; a file without it is not a host file.
    static constexpr std::uint32_t kSignature = 0x4F565254;  // "TRVO"
    static constexpr std::int32_t kVersion = 1;

    explicit CTarvoHeader(std::int32_t kind);
    ~CTarvoHeader() override = default;
    void SetDesc(const char* desc) { desc_ = desc ? desc : ""; }
    const std::string& GetDesc() const { return desc_; }
    std::int32_t GetKind() const { return kind_; }
    // signature, version, kind (32-bit each), then the description as a text. Loading checks
    // the signature and the version and throws CArchiveException on a mismatch.
    void Serialize(CArchive& ar) override;

private:
    std::int32_t kind_;
    std::string desc_;
};
