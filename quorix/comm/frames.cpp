#include "comm/frames.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "board/dluboard.h"
#include "comm/dlucomm.h"
#include "config/records.h"

namespace {

constexpr auto relaxed = std::memory_order_relaxed;

std::uint16_t Word(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }
// The first n bytes at p (n <= 4) as a little-endian value.
std::uint32_t LittleEndian(const std::uint8_t* p, int n) {
    std::uint32_t v = 0;
    for (int i = n - 1; i >= 0; --i) v = (v << 8) | p[i];
    return v;
}
std::uint32_t DWord(const std::uint8_t* p) { return LittleEndian(p, 4); }
void PutWord(std::uint8_t* p, std::uint16_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}
void PutDWord(std::uint8_t* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

std::uint16_t Command(const CStationInfo* station, std::uint16_t function) {
    return static_cast<std::uint16_t>(((station->m_nStationNo & 0xFF) << 8) | function);
}

// Digits of a BCD value, lowest nibble first; false on a nibble above 9.
bool DecodeBcd(std::uint32_t raw, int digits, double& result) {
    double r = 0, scale = 1;
    for (int i = 0; i < digits && i < 8; ++i) {
        std::uint32_t d = (raw >> (4 * i)) & 0xF;
        if (d >= 10) return false;
        r += d * scale;
        scale *= 10;
    }
    result = r;
    return true;
}

// Digit quotients are or'ed in unmasked: exact within the digits, overlapping beyond them.
std::uint32_t EncodeBcd(std::int64_t v, int digits) {
    std::uint32_t r = 0;
    std::int64_t d = 1;
    for (int i = 1; i < digits; ++i) d *= 10;
    for (; d >= 10; d /= 10) {
        r = static_cast<std::uint32_t>((r | static_cast<std::uint32_t>(v / d)) << 4);
        v %= d;
    }
    return r | static_cast<std::uint32_t>(v);
}

void CountReadFailure(CStationInfo* station, std::uint32_t status) {
    station->m_nReadFailures.fetch_add(1, relaxed);
    char text[8];
    FormatErrorNumber(status, text);
    station->ReportStatus(8, text);
}

// Hands every tag whose bytes (or bit) differ from the image to the engine; without an image,
// every tag. `available`: the bytes of data the frame's request asked for.
int DeliverChanges(CDluComm* engine, const std::vector<std::unique_ptr<TagBinding>>& bindings,
                   const std::uint8_t* data, const std::uint8_t* image, bool hasImage,
                   int available) {
    int delivered = 0;
    for (const auto& b : bindings) {
        const int at = 2 * b->offset;
        // Registration fits every tag into its frame; one that does not fit is never read.
        if (at + ValueBytes(*b) > available) continue;
        if (b->dataType == DT_BIT) {
            std::uint16_t mask = static_cast<std::uint16_t>(1u << (b->sizeOrBit & 15));
            std::uint16_t w = Word(data + at);
            if (!hasImage || ((w ^ Word(image + at)) & mask)) {
                engine->DeliverBit(*b, static_cast<std::uint16_t>(w & mask));
                ++delivered;
            }
        } else {
            if (!hasImage || std::memcmp(data + at, image + at, ValueBytes(*b)) != 0) {
                engine->DeliverValue(*b, data + at);
                ++delivered;
            }
        }
    }
    return delivered;
}

}  // namespace

int ValueBytes(const TagBinding& binding) {
    switch (binding.dataType) {
        case DT_SINT8:
        case DT_SBCD8:
        case DT_BCD8:
            return 1;
        case DT_SINT16:
        case DT_UINT8:  // shows the whole word
        case DT_UINT16:
        case DT_SBCD16:
        case DT_BCD16:
        case DT_BIT:
            return 2;
        case DT_SINT32:
        case DT_UINT32:
        case DT_SBCD32:
        case DT_BCD32:
        case DT_FLOAT:
            return 4;
        case DT_STRING:
            return std::min<int>(binding.sizeOrBit, kWriteDataSize);
        default:
            return 0;
    }
}

int WordExtent(const TagBinding& binding) { return std::max(1, (ValueBytes(binding) + 1) / 2); }

void PutRequestItem(std::uint8_t* out, std::uint16_t areaCode, std::uint16_t word,
                    std::uint16_t count) {
    const std::uint16_t fields[3] = {areaCode, word, count};
    for (int i = 0; i < 3; ++i) {
        out[2 * i] = static_cast<std::uint8_t>(fields[i] >> 8);
        out[2 * i + 1] = static_cast<std::uint8_t>(fields[i]);
    }
}

void FormatErrorNumber(std::uint32_t status, char (&text)[8]) {
    std::snprintf(text, sizeof text, "%X", static_cast<unsigned>((status >> 8) & 0xFF));
}

bool DecodeValue(const TagBinding& b, const std::uint8_t* data, CTagVal& value) {
    // Every read below stays within ValueBytes(b); BCD digits beyond it read as 0.
    const int digits = 2 * b.sizeOrBit;
    switch (b.dataType) {
        case DT_SINT8:
            value.SetVal(static_cast<double>(static_cast<std::int8_t>(data[0])));
            return true;
        case DT_SINT16:
            value.SetVal(static_cast<double>(static_cast<std::int16_t>(Word(data))));
            return true;
        case DT_SINT32:
            value.SetVal(static_cast<double>(static_cast<std::int32_t>(DWord(data))));
            return true;
        case DT_UINT8:
        case DT_UINT16:
            value.SetVal(static_cast<double>(Word(data)));
            return true;
        case DT_UINT32:
            value.SetVal(static_cast<double>(DWord(data)));
            return true;
        case DT_SBCD8:
        case DT_SBCD16:
        case DT_SBCD32: {
            static const std::uint32_t sign[3] = {0x80u, 0x8000u, 0x80000000u};
            std::uint32_t s = sign[b.dataType - DT_SBCD8];
            std::uint32_t raw = LittleEndian(data, ValueBytes(b));
            bool negative = (raw & s) != 0;
            if (negative) raw &= s - 1;
            double r;
            if (!DecodeBcd(raw, digits, r)) return false;
            value.SetVal(negative ? -r : r);
            return true;
        }
        case DT_BCD8:
        case DT_BCD16:
        case DT_BCD32: {
            double r;
            if (!DecodeBcd(LittleEndian(data, ValueBytes(b)), digits, r)) return false;
            value.SetVal(r);
            return true;
        }
        case DT_FLOAT: {
            float f;
            std::uint32_t raw = DWord(data);
            std::memcpy(&f, &raw, 4);
            value.SetVal(static_cast<double>(f));
            return true;
        }
        case DT_STRING: {
            char text[kFrameDataSize + 1] = {};
            const int size = ValueBytes(b);
            for (int i = 0; i < size && data[i]; ++i) text[i] = static_cast<char>(data[i]);
            value.SetVal(text);
            return true;
        }
        default:
            return false;
    }
}

// --- CBlockFrame --------------------------------------------------------------------------------

CBlockFrame::CBlockFrame(CStationInfo* station, CCommBlock* block, CDluComm* engine)
    : m_pStation(station), m_pBlock(block), m_pEngine(engine) {}

int CBlockFrame::Words() const {
    return std::clamp<int>(m_pBlock->m_nWordCount, 1, kBlockMaxWords);
}

void CBlockFrame::ResetState() {
    m_bOutstanding = 0;
    m_bHasImage = 0;
    m_dwLastSend = 0;
    m_bSent = 0;
}

void CBlockFrame::BuildRequest() {
    m_wCommand = Command(m_pStation, FN_READ_WORDS);
    PutRequestItem(m_request, static_cast<std::uint16_t>(m_pBlock->m_nAreaCode),
                   static_cast<std::uint16_t>(m_pBlock->m_nStartWord),
                   static_cast<std::uint16_t>(Words()));
    m_nRequestLength = 6;
}

void CBlockFrame::OnResponse(const std::uint8_t* data, std::uint32_t status) {
    if (!m_bOutstanding) return;
    m_bOutstanding = 0;
    if (status != 0) {
        CountReadFailure(m_pStation, status);
        return;
    }
    m_pStation->ReportStatus(0, nullptr);
    const int changed =
        DeliverChanges(m_pEngine, m_bindings, data, m_image, m_bHasImage != 0, 2 * Words());
    std::memcpy(m_image, data, 2 * Words());
    m_bHasImage = 1;
    if (changed) m_pEngine->PulseNewData();
}

void CBlockFrame::OnTimeout() {
    m_pStation->m_nReadFailures.fetch_add(1, relaxed);
    m_pStation->ReportStatus(7, nullptr);
    m_bOutstanding = 0;
}

// --- CGroupFrame --------------------------------------------------------------------------------

CGroupFrame::CGroupFrame(CStationInfo* station, CDluComm* engine)
    : m_pStation(station), m_pEngine(engine) {}

bool CGroupFrame::IsSingle() const {
    if (m_bindings.empty()) return false;
    const TagBinding& first = *m_bindings.front();
    return first.dataType == DT_STRING || WordExtent(first) > 1;
}

int CGroupFrame::ImageBytes() const {
    if (IsSingle() && m_bindings.front()->dataType == DT_STRING)
        return ValueBytes(*m_bindings.front());
    return ResponseBytes();
}

int CGroupFrame::ResponseBytes() const {
    if (IsSingle()) return 2 * WordExtent(*m_bindings.front());
    return 2 * std::clamp(m_nItemCount, 0, kGroupMaxItems);
}

void CGroupFrame::ResetState() {
    m_bOutstanding = 0;
    m_bHasImage = 0;
}

void CGroupFrame::BuildRequest() {
    m_wCommand = Command(m_pStation, FN_READ_WORDS);
    if (IsSingle()) {
        PutRequestItem(m_request, m_wAreaCode, static_cast<std::uint16_t>(m_nWords[0]),
                       static_cast<std::uint16_t>(WordExtent(*m_bindings.front())));
        m_nRequestLength = 6;
        return;
    }
    const int count = std::clamp(m_nItemCount, 0, kGroupMaxItems);
    for (int i = 0; i < count; ++i)
        PutRequestItem(m_request + 6 * i, m_wAreaCode, static_cast<std::uint16_t>(m_nWords[i]), 1);
    for (int i = 0; i + 1 < count; ++i) m_request[6 * i + 4] |= 0x80;  // more items follow
    m_nRequestLength = 6 * count;
}

void CGroupFrame::OnResponse(const std::uint8_t* data, std::uint32_t status) {
    if (!m_bOutstanding) return;
    m_bOutstanding = 0;
    if (status != 0) {
        CountReadFailure(m_pStation, status);
        return;
    }
    m_pStation->ReportStatus(0, nullptr);
    const int changed =
        DeliverChanges(m_pEngine, m_bindings, data, m_image, m_bHasImage != 0, ResponseBytes());
    std::memcpy(m_image, data, ImageBytes());
    m_bHasImage = 1;
    if (changed) m_pEngine->PulseNewData();
}

void CGroupFrame::OnTimeout() {
    m_pStation->m_nReadFailures.fetch_add(1, relaxed);
    m_pStation->ReportStatus(7, nullptr);
    m_bOutstanding = 0;
}

// --- CWriteItem ---------------------------------------------------------------------------------

CWriteItem::CWriteItem(CStationInfo* station, const TagBinding* binding, std::uint16_t areaCode,
                       std::uint16_t word, const CTagVal& value)
    : m_pStation(station),
      m_pBinding(binding),
      m_wAreaCode(areaCode),
      m_wWord(word),
      m_wCount(static_cast<std::uint16_t>(WordExtent(*binding))),
      m_value(value) {}

std::uint16_t CWriteItem::Command() const {
    return ::Command(m_pStation, m_pBinding->dataType == DT_BIT ? FN_WRITE_BIT : FN_WRITE_WORDS);
}

void CWriteItem::BuildHeader(std::uint8_t (&header)[6]) const {
    PutRequestItem(header, m_wAreaCode, m_wWord, m_wCount);
}

int CWriteItem::EncodeValue(std::uint8_t* out) const {
    const double d = m_value.GetVal();
    // Truncated toward zero. WriteTag has refused what the type cannot carry; the clamp to
    // +-2^62 only keeps conversion and negation defined whatever reaches here.
    constexpr double kLimit = 4611686018427387904.0;  // 2^62
    std::int64_t v = 0;
    if (std::isfinite(d)) v = static_cast<std::int64_t>(std::clamp(std::trunc(d), -kLimit, kLimit));
    const auto low32 = static_cast<std::uint32_t>(static_cast<std::uint64_t>(v));
    switch (m_pBinding->dataType) {
        case DT_SINT8:
        case DT_SINT16:
        case DT_UINT8:
        case DT_UINT16:
            PutWord(out, static_cast<std::uint16_t>(low32));
            return 2;
        case DT_SINT32:
        case DT_UINT32:
            PutDWord(out, low32);
            return 4;
        case DT_FLOAT: {
            float f = static_cast<float>(d);
            std::uint32_t raw;
            std::memcpy(&raw, &f, 4);
            PutDWord(out, raw);
            return 4;
        }
        case DT_BIT: {
            std::uint16_t m = static_cast<std::uint16_t>(1u << (m_pBinding->sizeOrBit & 15));
            std::uint16_t keep = v != 0 ? 0xFFFF : static_cast<std::uint16_t>(~m);
            std::uint16_t set = v != 0 ? m : 0;
            out[0] = static_cast<std::uint8_t>(keep);
            out[1] = static_cast<std::uint8_t>(set);
            out[2] = static_cast<std::uint8_t>(keep >> 8);
            out[3] = static_cast<std::uint8_t>(set >> 8);
            return 4;
        }
        case DT_STRING: {
            // The whole words the header announces go out, zero-filled past the text, and a
            // text of exactly size bytes keeps all of them.
            const int size = ValueBytes(*m_pBinding);
            const int n = 2 * m_wCount;
            char text[kWriteDataSize + 2] = {};
            m_value.GetValStr(text, size + 1);
            std::memcpy(out, text, n);
            return n;
        }
        case DT_SBCD8:
        case DT_SBCD16:
        case DT_BCD8:
        case DT_BCD16: {
            bool negative = v < 0;
            std::int64_t mag = negative ? -v : v;
            auto r = static_cast<std::uint16_t>(EncodeBcd(mag, 4));
            // The 8-bit signed form carries its sign in bit 7, where reading looks for it.
            if (negative) r |= m_pBinding->dataType == DT_SBCD8 ? 0x0080 : 0x8000;
            PutWord(out, r);
            return 2;
        }
        case DT_SBCD32:
        case DT_BCD32: {
            bool negative = v < 0;
            std::int64_t digitsOf = (m_pBinding->dataType == DT_SBCD32 && negative) ? -v : v;
            std::uint32_t r = EncodeBcd(digitsOf, 8);
            if (negative) r |= 0x80000000u;
            PutDWord(out, r);
            return 4;
        }
        default:
            return 0;
    }
}
