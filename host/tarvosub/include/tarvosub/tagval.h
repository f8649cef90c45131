// The host's value classes: a tag value (number or text) and the value-change record.
#pragma once

#include <cstdint>
#include <string>

#include "framework/object.h"

class CTagVal {
public:
    CTagVal() = default;
    ~CTagVal() = default;
    CTagVal(const CTagVal&) = default;
    CTagVal& operator=(const CTagVal&) = default;

    double GetVal() const { return isText_ ? 0.0 : number_; }
    // Copies the text (a number as its shortest decimal form) with a terminating zero.
    void GetValStr(char* buffer, int size) const;
    void SetVal(double value);
    void SetVal(const char* text);

    bool IsSet() const { return set_; }
    bool IsText() const { return isText_; }
    const std::string& Text() const { return text_; }
    // A readable form for logs: the number, the quoted text, or "(no value)".
    std::string Describe() const;
    bool operator==(const CTagVal& o) const {
        return set_ == o.set_ && isText_ == o.isText_ && number_ == o.number_ && text_ == o.text_;
    }

private:
    bool set_ = false;
    bool isText_ = false;
    double number_ = 0.0;
    std::string text_;
};

// A value change of one tag, as the driver hands it to the tag database.
class CEventVal : public CObject {
    DECLARE_SERIAL(CEventVal)
public:
    CEventVal() = default;
    ~CEventVal() override = default;
    void Serialize(CArchive& ar) override;

    std::int32_t m_nTagId = 0;
    CTagVal m_val;
};
