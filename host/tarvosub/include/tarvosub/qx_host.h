/* The host interface of the Quorix module for C and for any language with a C FFI.
 *
 * The module's entry table `DrvFuncTable` and the host libraries' tables pass two C++ objects:
 * the value object (a `CTagVal` of libTarvoSub.so) and text out-parameters (the caller's
 * `std::string`). A C host never builds or reads them itself: it makes and reads them through
 * the functions below, which libTarvoSub.so exports with C linkage. Texts are CP949 bytes.
 */
#ifndef QX_HOST_H
#define QX_HOST_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* A value as it crosses the entry table (`DrvWriteTag`) and the tag database's `SetTagValue`. */
typedef struct QxTagVal QxTagVal;
/* A text out-parameter, as `DrvGetStationInfo` fills and `GetTagName` is given. */
typedef struct QxText QxText;

/* Values. A new value holds nothing (QxTagValIsSet gives 0). */
QxTagVal* QxTagValNew(void);
void QxTagValFree(QxTagVal* value);
void QxTagValSetNumber(QxTagVal* value, double number);
/* `text` is zero-terminated CP949 (a STRING tag's value); null counts as "". */
void QxTagValSetText(QxTagVal* value, const char* text);
int QxTagValIsSet(const QxTagVal* value);
int QxTagValIsText(const QxTagVal* value);
/* The number; 0 for a text or no value. */
double QxTagValNumber(const QxTagVal* value);
/* The text's bytes, zero-terminated, valid while the value lives and is not changed; its
 * length (without the terminating zero) in *length when not null. "" for a number. */
const char* QxTagValText(const QxTagVal* value, size_t* length);

/* Texts. */
QxText* QxTextNew(void);
void QxTextFree(QxText* text);
/* Fills an out-parameter, e.g. the name in a host's `GetTagName`. */
void QxTextAssign(QxText* text, const char* bytes, size_t length);
/* The bytes, zero-terminated, valid until the text is changed or freed. */
const char* QxTextData(const QxText* text, size_t* length);

/* The host's data type codes, as `DrvRegisterTag` takes them. */
enum QxDataType {
    QX_DT_SINT8 = 0,
    QX_DT_SINT16 = 1,
    QX_DT_SINT32 = 2,
    QX_DT_UINT8 = 3,
    QX_DT_UINT16 = 4,
    QX_DT_UINT32 = 5,
    QX_DT_SBCD8 = 6,
    QX_DT_SBCD16 = 7,
    QX_DT_SBCD32 = 8,
    QX_DT_BCD8 = 9,
    QX_DT_BCD16 = 10,
    QX_DT_BCD32 = 11,
    QX_DT_FLOAT = 12,
    QX_DT_BIT = 13,
    QX_DT_STRING = 14
};

/* `DrvFuncTable`: 32 pointer-sized slots; these are the entries, by slot. */
enum QxEntrySlot {
    QX_GET_VERSION = 0,
    QX_OPEN = 1,
    QX_SETUP = 2,
    QX_START = 3,
    QX_END_REGISTRATION = 4,
    QX_STOP = 5,
    QX_REGISTER_TAG = 6,
    QX_WRITE_TAG = 7,
    QX_GET_NAME = 12,
    QX_SET_ACTIVE = 13,
    QX_RESET_STATISTICS = 14,
    QX_GET_STATISTICS = 15,
    QX_GET_STATION_INFO = 16,
    QX_ENTRY_SLOTS = 32
};

typedef int32_t (*QxGetVersionFn)(void);
typedef int32_t (*QxOpenFn)(const char* path);
typedef int32_t (*QxSetupFn)(const char* path);
typedef int32_t (*QxStartFn)(int32_t index);
typedef int32_t (*QxEndRegistrationFn)(int32_t index);
typedef int32_t (*QxStopFn)(int32_t index);
typedef int32_t (*QxRegisterTagFn)(int32_t index, const char* device, const char* address,
                                   int32_t dataType, int32_t size, int32_t tagId);
typedef int32_t (*QxWriteTagFn)(int32_t index, int32_t handle, const QxTagVal* value);
typedef const char* (*QxGetNameFn)(void);
typedef void (*QxSetActiveFn)(int32_t index, const char* station, int32_t flag);
typedef void (*QxResetStatisticsFn)(int32_t index, const char* station);
typedef int32_t (*QxGetStatisticsFn)(int32_t index, const char* station, int32_t* writeRequests,
                                     int32_t* writeFailures, int32_t* readRequests,
                                     int32_t* readFailures);
typedef void (*QxGetStationInfoFn)(int32_t index, const char* station, QxText* number,
                                   QxText* description);

/* The host libraries' tables, as the module reads them: `FuncTable` of libTarvoDbm.so and of
 * libDezudurE.so, pointer-sized slots. */
enum QxHostSlot {
    QX_DBM_SET_TAG_VALUE = 23,
    QX_DBM_GET_TAG_NAME = 29,
    QX_DBM_SLOTS = 32,
    QX_DEZ_MESSAGE_OUTPUT = 19,
    QX_DEZ_SLOTS = 32
};

typedef int32_t (*QxSetTagValueFn)(int32_t tagId, const QxTagVal* value);
typedef int32_t (*QxGetTagNameFn)(int32_t tagId, QxText* name);
typedef void (*QxMessageOutputFn)(int32_t value, int32_t classWord, const char* text);

#ifdef __cplusplus
}
#endif

#endif /* QX_HOST_H */
