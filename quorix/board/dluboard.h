// The K-Link (DLU) board: access through the TVIOCTRL I/O driver (device file, port bytes, the
// mapped 16 KB dual-port memory window) and the board's request/response protocol on it.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <thread>

#include "platform/platform.h"

inline constexpr int kDluIoBaseCount = 16;
inline constexpr int kDluMemBaseCount = 12;
extern const std::uint16_t kDluIoBases[kDluIoBaseCount];    // 0x300 + 0x10 * i
extern const std::uint32_t kDluMemBases[kDluMemBaseCount];  // 0xC0000 + 0x4000 * i
inline constexpr std::uint32_t DLU_WINDOW_SIZE = 0x4000;

// Port registers, at port base + offset.
inline constexpr int DLU_PORT_CONTROL = 0;
inline constexpr int DLU_PORT_HANDSHAKE = 1;
inline constexpr int DLU_PORT_BANK = 2;
inline constexpr int DLU_PORT_AUX = 3;  // written only by Reset
// Control port values: access request marker, and the status bits that read 0 when the board is up.
inline constexpr std::uint8_t DLU_CONTROL_IDLE = 0xC0;
inline constexpr std::uint8_t DLU_STATUS_BITS = 0xC0;
// Bank register values.
inline constexpr std::uint8_t DLU_BANK_REQUEST = 0;
inline constexpr std::uint8_t DLU_BANK_RESPONSE = 1;
// Access request masks.
inline constexpr std::uint8_t DLU_ACCESS_RESPONSE = 1;
inline constexpr std::uint8_t DLU_ACCESS_REQUEST = 2;
// Slot kinds.
inline constexpr std::int32_t DLU_SLOT_WRITE = 0;
inline constexpr std::int32_t DLU_SLOT_BLOCK = 1;
inline constexpr std::int32_t DLU_SLOT_GROUP = 2;
inline constexpr int DLU_SLOT_COUNT = 32;
inline constexpr int DLU_POLL_SLOT_LIMIT = 30;
inline constexpr int DLU_RESPONSE_SIZE = 128;
inline constexpr int DLU_REQUEST_AREA = 64;      // poll request bytes per slot
inline constexpr int DLU_WRITE_HEADER_SIZE = 6;  // header of a write request
inline constexpr int DLU_WRITE_DATA_AREA = 128;  // write data bytes per slot
inline constexpr int DLU_BITMAP_SIZE = 4;
// Window layout.
inline constexpr std::uint32_t DLU_OFS_BITMAP = 0x0002;
inline constexpr std::uint32_t DLU_OFS_COMMAND = 0x000E;  // + 2 * slot
inline constexpr std::uint32_t DLU_OFS_REQUEST = 0x0096;  // + 256 * slot
inline constexpr std::uint32_t DLU_OFS_DATA = 0x00D6;     // + 256 * slot
inline constexpr std::uint32_t DLU_SLOT_STRIDE = 256;
// Timing, in ms.
inline constexpr std::uint32_t DLU_LOCK_WAIT = 500;
inline constexpr std::uint32_t DLU_REQUEST_TIMEOUT = 5000;
inline constexpr std::uint32_t DLU_RESET_SETTLE = 2000;
inline constexpr std::uint32_t DLU_DETECT_WAIT = 3000;
inline constexpr std::uint32_t DLU_DETECT_STEP_SLEEP = 10;

// Detection handshake: the byte expected on DLU_PORT_HANDSHAKE at each step, and the reply.
inline constexpr int DLU_DETECT_STEPS = 7;
inline constexpr std::uint8_t kDluDetectExpect[DLU_DETECT_STEPS] = {0x01, 0x02, 0x06, 0x05,
                                                                    0x03, 0x04, 0x07};
inline constexpr std::uint8_t kDluDetectReply[DLU_DETECT_STEPS] = {0x02, 0x06, 0x04, 0x03,
                                                                   0x07, 0x00, 0x01};

// Slot i lives in bitmap byte i / 8 under mask 0x80 >> (i % 8).
constexpr int DluBitmapByte(int slot) { return slot / 8; }
constexpr std::uint8_t DluBitmapMask(int slot) {
    return static_cast<std::uint8_t>(0x80u >> (slot % 8));
}

struct DluSlot {
    std::int32_t active = 0;
    std::int32_t kind = 0;
    std::int32_t id = 0;
    std::uint32_t sentTick = 0;
};

// Receives the requests that CheckTimeouts ends, by the slot's kind and id. The engine
// implements it; the board knows nothing about frames.
class IDluSlotOwner {
public:
    virtual ~IDluSlotOwner() = default;
    virtual void OnSlotTimeout(std::int32_t kind, std::int32_t id) = 0;
};

class CDluBoard {
public:
    CDluBoard();
    ~CDluBoard() = default;  // the owners call Close themselves
    CDluBoard(const CDluBoard&) = delete;
    CDluBoard& operator=(const CDluBoard&) = delete;

    // 0 success, 12 the I/O driver cannot be opened, 13 the window cannot be mapped (also for
    // an index outside its table, checked before the device is touched).
    int Open(int ioIndex, int memIndex);
    // Releases the handle (and with it the mapping); the object can be opened again.
    void Close();
    // A failed read gives 0xFF, what an undriven ISA bus reads: never a grant or a handshake byte.
    std::uint8_t ReadPort(std::uint16_t port);
    // false when the call failed (value 0xFF then).
    bool TryReadPort(std::uint16_t port, std::uint8_t& value);
    // `wait` false: the write is on its way when this returns, its failure shows at a later call.
    bool WritePort(std::uint16_t port, std::uint8_t value, bool wait = true);

    void Reset();
    bool Detect();
    // Asks for the access in `mask` and waits for it; with a bank (0 or 1) it is selected as soon
    // as the access is granted, in the same exchange with the I/O driver as the grant's read.
    bool Lock(std::uint8_t mask, int bank = -1);
    // The response bank reads 0xFF throughout: the window is not the board's memory (another
    // address, or nothing there). False when the access is not granted: nothing is known then.
    bool WindowIsEmpty();
    void Unlock();
    int AllocSlot(int limit);
    // Both fail without touching the board when the data do not fit the slot's area.
    bool SendRequest(std::int32_t kind, std::int32_t id, std::uint16_t command,
                     const std::uint8_t* data, int length);
    bool SendWriteRequest(std::int32_t id, std::uint16_t command, const std::uint8_t* header,
                          const std::uint8_t* data, int length);
    int FindReadySlot();
    // Slot number of a completed request or -1; status = error number * 256.
    int ReceiveResponse(std::uint8_t* buffer, std::uint32_t& status);
    // Ends the slot's request and withdraws it from the board. The slot stays ours, and is not
    // handed out again, until the board has seen the withdrawal: false when the access was
    // refused, and FinishWithdrawals tries again.
    bool FreeSlot(int slot);
    void FinishWithdrawals();
    void CheckTimeouts();
    // For an engine that was replaced: waits for an access of the board under way on another
    // thread to end, after which this object never touches the board again (every call fails).
    void Retire();
    int Outstanding() const { return m_nOutstanding; }

    bool IsOpen() const { return m_hDevice != plat::INVALID_HANDLE_VALUE; }
    // The I/O driver failed a call of the running board: its service went away.
    bool DriverHasFailed() const { return m_bDriverFailed.load(); }
    std::uint16_t PortBase() const { return m_wPortBase; }
    std::uint8_t* Window() const { return m_pWindow; }
    const DluSlot& Slot(int slot) const { return m_slots[slot]; }
    const std::uint8_t* OwnBitmap() const { return m_ownBitmap; }

    IDluSlotOwner* m_pOwner = nullptr;

private:
    std::uint16_t Port(int offset) const {
        return static_cast<std::uint16_t>(m_wPortBase + offset);
    }
    bool ReadResponseBitmap(std::uint8_t bitmap[DLU_BITMAP_SIZE]);
    bool PlaceRequest(int slot, std::uint16_t command, const std::uint8_t* request,
                      int requestLength, const std::uint8_t* data, int dataLength);
    void Occupy(int slot, std::int32_t kind, std::int32_t id);
    void DriverFailed();
    bool InAccess() const { return m_accessOwner.load() == std::this_thread::get_id(); }
    void EndAccess();
    // The bitmap bits of the slots in bitmap byte `byte` that hold a request.
    std::uint8_t LiveBits(int byte) const;

    std::uint16_t m_wPortBase = 0;
    // Shared with the board's processor: the bitmap bytes are its hand-over points (dluboard.cpp).
    std::uint8_t* m_pWindow = nullptr;
    plat::HANDLE m_hDevice = plat::INVALID_HANDLE_VALUE;
    std::uint8_t m_ownBitmap[4] = {0, 0, 0, 0};
    std::int32_t m_nOutstanding = 0;
    DluSlot m_slots[DLU_SLOT_COUNT];
    // Detected, and whether the I/O driver has since failed a call (told once).
    bool m_bUp = false;
    std::atomic<bool> m_bDriverFailed{false};  // read by the statistics from the host's threads
    bool m_bReportFailure = false;  // told once the access under way has ended
    // An access (Lock to Unlock) holds this, so that Retire can wait for it to end.
    std::mutex m_access;
    std::atomic<std::thread::id> m_accessOwner{};
    std::atomic<bool> m_bRetired{false};
};
