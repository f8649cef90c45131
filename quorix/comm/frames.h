// The requests the engine puts on the board: a block frame per communication block, group frames
// for tags outside every block, and single tag writes.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "comm/tag_binding.h"
#include "tarvosub/tagval.h"

class CCommBlock;
class CDluComm;
class CStationInfo;

// Function codes, the low byte of a command word (the station number is the high byte).
inline constexpr std::uint16_t FN_READ_WORDS = 0x81;
inline constexpr std::uint16_t FN_WRITE_WORDS = 0x82;
inline constexpr std::uint16_t FN_WRITE_BIT = 0x83;

inline constexpr int kFrameDataSize = 128;  // response data and image
inline constexpr int kWriteDataSize = 122;  // what a write slot's data area takes
inline constexpr int kGroupMaxItems = 10;
// Words a block polls at most; a stored count beyond it (a damaged file) is read as this many.
inline constexpr int kBlockMaxWords = 60;

// Bytes DecodeValue reads for a tag: the width of its data type (1, 2 or 4), the size of a
// string (at most what a write can carry), the word of a bit; 0 for an unknown type. Whatever
// size the host gave, nothing else of the response is read for the tag.
int ValueBytes(const TagBinding& binding);
// Words a tag occupies in a frame and in a write: those ValueBytes covers, at least one.
int WordExtent(const TagBinding& binding);
// One 6-byte request item {area code, word number, word count}, big-endian.
void PutRequestItem(std::uint8_t* out, std::uint16_t areaCode, std::uint16_t word,
                    std::uint16_t count);
// "%X" of the error number in a status word (error number * 256).
void FormatErrorNumber(std::uint32_t status, char (&text)[8]);

// PLC data -> host value by data type. False (and the value untouched) when the data do not
// give a value: a BCD nibble above 9, a bit (DeliverBit handles those), an unknown code.
bool DecodeValue(const TagBinding& binding, const std::uint8_t* data, CTagVal& value);

class CBlockFrame {
public:
    CBlockFrame(CStationInfo* station, CCommBlock* block, CDluComm* engine);

    void BuildRequest();
    void OnResponse(const std::uint8_t* data, std::uint32_t status);
    void OnTimeout();
    // Words the frame polls and serves: the stored count held to 1..kBlockMaxWords, so that a
    // damaged count neither asks the board for more than a block nor reads past the answer.
    int Words() const;
    void ResetState();

    CStationInfo* m_pStation;
    CCommBlock* m_pBlock;
    CDluComm* m_pEngine;
    std::int32_t m_bHasImage = 0;
    std::int32_t m_bOutstanding = 0;
    std::uint32_t m_dwLastSend = 0;
    std::int32_t m_bSent = 0;  // 0 until the first send after activation: due at once
    std::uint8_t m_image[kFrameDataSize] = {};
    std::vector<std::unique_ptr<TagBinding>> m_bindings;
    std::uint16_t m_wCommand = 0;
    std::uint8_t m_request[kFrameDataSize] = {};
    std::int32_t m_nRequestLength = 0;
};

class CGroupFrame {
public:
    CGroupFrame(CStationInfo* station, CDluComm* engine);

    void BuildRequest();
    void OnResponse(const std::uint8_t* data, std::uint32_t status);
    void OnTimeout();
    // True when the frame reads one tag of several words (a string or a wide value) as one item.
    bool IsSingle() const;
    // Bytes of the response kept as the image.
    int ImageBytes() const;
    // Bytes of the response the request asks for: what its bindings may read.
    int ResponseBytes() const;
    void ResetState();

    CStationInfo* m_pStation;
    CDluComm* m_pEngine;
    std::int32_t m_bHasImage = 0;
    std::uint8_t m_image[kFrameDataSize] = {};
    std::uint16_t m_wAreaCode = 0;
    std::int32_t m_nWords[kGroupMaxItems] = {};
    std::int32_t m_nItemCount = 0;
    std::vector<std::unique_ptr<TagBinding>> m_bindings;
    std::uint16_t m_wCommand = 0;
    std::uint8_t m_request[kFrameDataSize] = {};
    std::int32_t m_nRequestLength = 0;
    std::int32_t m_bOutstanding = 0;
};

class CWriteItem {
public:
    CWriteItem(CStationInfo* station, const TagBinding* binding, std::uint16_t areaCode,
               std::uint16_t word, const CTagVal& value);
    // Write data for the item's value; returns the bytes written (at most kWriteDataSize).
    int EncodeValue(std::uint8_t* out) const;
    void BuildHeader(std::uint8_t (&header)[6]) const;
    std::uint16_t Command() const;

    CStationInfo* m_pStation;
    const TagBinding* m_pBinding;
    std::uint16_t m_wAreaCode;
    std::uint16_t m_wWord;
    std::uint16_t m_wCount;
    CTagVal m_value;
};
