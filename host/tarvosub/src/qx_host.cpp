// The value object and text out-parameters for hosts in C: a QxTagVal is a CTagVal and a
// QxText a std::string, made, filled and read here so that the host needs neither's layout.
#include "tarvosub/qx_host.h"

#include <new>
#include <string>

#include "tarvosub/tagval.h"

#define QX_EXPORT __attribute__((visibility("default")))

namespace {

CTagVal* Value(QxTagVal* v) { return reinterpret_cast<CTagVal*>(v); }
const CTagVal* Value(const QxTagVal* v) { return reinterpret_cast<const CTagVal*>(v); }
std::string* Text(QxText* t) { return reinterpret_cast<std::string*>(t); }
const std::string* Text(const QxText* t) { return reinterpret_cast<const std::string*>(t); }

}  // namespace

extern "C" {

QX_EXPORT QxTagVal* QxTagValNew(void) {
    return reinterpret_cast<QxTagVal*>(new (std::nothrow) CTagVal());
}
QX_EXPORT void QxTagValFree(QxTagVal* value) { delete Value(value); }
QX_EXPORT void QxTagValSetNumber(QxTagVal* value, double number) {
    if (value) Value(value)->SetVal(number);
}
QX_EXPORT void QxTagValSetText(QxTagVal* value, const char* text) {
    if (value) Value(value)->SetVal(text);
}
QX_EXPORT int QxTagValIsSet(const QxTagVal* value) { return value && Value(value)->IsSet(); }
QX_EXPORT int QxTagValIsText(const QxTagVal* value) { return value && Value(value)->IsText(); }
QX_EXPORT double QxTagValNumber(const QxTagVal* value) {
    return value ? Value(value)->GetVal() : 0.0;
}
QX_EXPORT const char* QxTagValText(const QxTagVal* value, size_t* length) {
    static const std::string none;
    const std::string& text = value ? Value(value)->Text() : none;
    if (length) *length = text.size();
    return text.c_str();
}

QX_EXPORT QxText* QxTextNew(void) {
    return reinterpret_cast<QxText*>(new (std::nothrow) std::string());
}
QX_EXPORT void QxTextFree(QxText* text) { delete Text(text); }
QX_EXPORT void QxTextAssign(QxText* text, const char* bytes, size_t length) {
    if (!text) return;
    if (bytes)
        Text(text)->assign(bytes, length);
    else
        Text(text)->clear();
}
QX_EXPORT const char* QxTextData(const QxText* text, size_t* length) {
    static const std::string none;
    const std::string& s = text ? *Text(text) : none;
    if (length) *length = s.size();
    return s.c_str();
}

}  // extern "C"
