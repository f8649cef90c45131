#include "tarvosub/tagval.h"

#include <cmath>
#include <cstdio>
#include <cstring>

#include "framework/archive.h"

void CTagVal::SetVal(double value) {
    set_ = true;
    isText_ = false;
    number_ = value;
    text_.clear();
}

void CTagVal::SetVal(const char* text) {
    set_ = true;
    isText_ = true;
    number_ = 0.0;
    text_ = text ? text : "";
}

static std::string NumberText(double v) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.10g", v);
    return buf;
}

void CTagVal::GetValStr(char* buffer, int size) const {
    if (!buffer || size <= 0) return;
    std::string s = isText_ ? text_ : (set_ ? NumberText(number_) : std::string());
    std::size_t n = std::min<std::size_t>(s.size(), static_cast<std::size_t>(size - 1));
    std::memcpy(buffer, s.data(), n);
    buffer[n] = '\0';
}

std::string CTagVal::Describe() const {
    if (!set_) return "(no value)";
    if (isText_) return "\"" + text_ + "\"";
    return NumberText(number_);
}

IMPLEMENT_SERIAL(CEventVal, CObject, 1)

void CEventVal::Serialize(CArchive& ar) {
    ar.SerializeInt(m_nTagId);
    if (ar.IsStoring()) {
        std::uint8_t kind = !m_val.IsSet() ? 0 : (m_val.IsText() ? 2 : 1);
        ar.WriteByte(kind);
        if (kind == 1) {
            double v = m_val.GetVal();
            ar.Write(&v, sizeof v);
        } else if (kind == 2) {
            ar.WriteString(m_val.Text());
        }
    } else {
        std::uint8_t kind = ar.ReadByte();
        m_val = CTagVal();
        if (kind == 1) {
            double v;
            ar.Read(&v, sizeof v);
            m_val.SetVal(v);
        } else if (kind == 2) {
            m_val.SetVal(ar.ReadString().c_str());
        }
    }
}
