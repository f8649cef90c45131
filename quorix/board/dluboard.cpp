#include "board/dluboard.h"

#include <atomic>
#include <cstring>

#include "driver/messages.h"
#include "platform/tvioctrl.h"

namespace {

void PutLe32(std::uint8_t* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// The board's processor works on the same window. A bitmap byte hands slots over: what was
// written to a slot must be visible before its request bit, and what is read of a slot must not
// be read ahead of its response bit. The bulk copies stay plain between these points.
std::uint8_t LoadMark(std::uint8_t& mark) {
    return std::atomic_ref<std::uint8_t>(mark).load(std::memory_order_acquire);
}
void StoreMark(std::uint8_t& mark, std::uint8_t value) {
    std::atomic_ref<std::uint8_t>(mark).store(value, std::memory_order_release);
}

}  // namespace

const std::uint16_t kDluIoBases[kDluIoBaseCount] = {0x300, 0x310, 0x320, 0x330, 0x340, 0x350,
                                                    0x360, 0x370, 0x380, 0x390, 0x3A0, 0x3B0,
                                                    0x3C0, 0x3D0, 0x3E0, 0x3F0};
const std::uint32_t kDluMemBases[kDluMemBaseCount] = {0xC0000, 0xC4000, 0xC8000, 0xCC000,
                                                      0xD0000, 0xD4000, 0xD8000, 0xDC000,
                                                      0xE0000, 0xE4000, 0xE8000, 0xEC000};

CDluBoard::CDluBoard() = default;

// --- I/O driver access --------------------------------------------------------------------------

int CDluBoard::Open(int ioIndex, int memIndex) {
    // A damaged file can hold any index; reading past either table would map or drive an
    // arbitrary address.
    if (ioIndex < 0 || ioIndex >= kDluIoBaseCount || memIndex < 0 || memIndex >= kDluMemBaseCount)
        return 13;

    plat::IDevice& dev = plat::Device();
    plat::OSVERSIONINFOA version{};
    version.dwOSVersionInfoSize = sizeof version;
    dev.GetVersionExA(&version);

    if (m_hDevice == plat::INVALID_HANDLE_VALUE) {
        plat::HANDLE h;
        if (version.dwPlatformId == plat::VER_PLATFORM_WIN32_NT) {
            h = dev.CreateFileA(tvio::kDevicePathNt, plat::GENERIC_READ | plat::GENERIC_WRITE,
                                plat::FILE_SHARE_READ | plat::FILE_SHARE_WRITE, plat::OPEN_EXISTING,
                                0);
        } else {
            // The form that makes the 9x kernel load the driver dynamically and unload it
            // when the handle closes.
            h = dev.CreateFileA(tvio::kDevicePath9x, 0, 0, plat::CREATE_NEW,
                                plat::FILE_FLAG_DELETE_ON_CLOSE);
        }
        if (h == plat::INVALID_HANDLE_VALUE) return 12;
        m_hDevice = h;
    }

    m_wPortBase = kDluIoBases[ioIndex];

    std::uint8_t in[8];
    PutLe32(in, kDluMemBases[memIndex]);
    PutLe32(in + 4, DLU_WINDOW_SIZE);
    std::uint8_t out[tvio::kMapOutputSize] = {};
    std::uint32_t returned = 0;
    if (!dev.DeviceIoControl(m_hDevice, tvio::IOCTL_MAP_PHYSICAL_MEMORY, in, sizeof in, out,
                             sizeof out, &returned))
        return 13;  // the handle stays open; Close releases it
    void* address = nullptr;
    std::memcpy(&address, out, sizeof address);
    if (!address) return 13;
    m_pWindow = static_cast<std::uint8_t*>(address);
    return 0;
}

void CDluBoard::Close() {
    if (m_hDevice == plat::INVALID_HANDLE_VALUE) return;
    plat::Device().CloseHandle(m_hDevice);
    // The mapping ends with the handle, and the handle number may be handed out again: keeping
    // either would let a later call touch memory or a device that is no longer ours.
    m_hDevice = plat::INVALID_HANDLE_VALUE;
    m_pWindow = nullptr;
}

std::uint8_t CDluBoard::ReadPort(std::uint16_t port) {
    std::uint8_t value = 0xFF;
    TryReadPort(port, value);
    return value;
}

bool CDluBoard::TryReadPort(std::uint16_t port, std::uint8_t& value) {
    value = 0xFF;
    if (m_bRetired.load()) return false;
    std::uint8_t in[4];
    PutLe32(in, port);
    std::uint8_t out[4] = {0xFF, 0xFF, 0xFF, 0xFF};
    std::uint32_t returned = 0;
    if (!plat::Device().DeviceIoControl(m_hDevice, tvio::IOCTL_READ_PORT_BYTE, in, sizeof in, out,
                                        sizeof out, &returned)) {
        DriverFailed();
        value = 0xFF;
        return false;
    }
    value = out[0];
    return true;
}

bool CDluBoard::WritePort(std::uint16_t port, std::uint8_t value, bool wait) {
    if (m_bRetired.load()) return false;
    std::uint8_t in[8];
    PutLe32(in, port);
    PutLe32(in + 4, value);
    std::uint32_t returned = 0;
    if (wait ? plat::Device().DeviceIoControl(m_hDevice, tvio::IOCTL_WRITE_PORT_BYTE, in, sizeof in,
                                              nullptr, 0, &returned)
             : plat::Device().DeviceIoControlNoWait(m_hDevice, tvio::IOCTL_WRITE_PORT_BYTE, in,
                                                    sizeof in))
        return true;
    DriverFailed();
    return false;
}

// The I/O driver failing a call on a running board means its service has gone: every station
// falls quiet at once, and only those with a request in flight would time out. The host is told
// once, with the message it gets when the driver cannot be reached at the start.
void CDluBoard::DriverFailed() {
    if (!m_bUp || m_bDriverFailed.exchange(true)) return;
    // The host is not called in the middle of an access: it may start the instance anew, whose
    // new engine waits for this access to end.
    if (InAccess())
        m_bReportFailure = true;
    else
        ReportMessage(12, MSG_CLASS_FAILURE);
}

void CDluBoard::Retire() {
    if (InAccess()) {  // asked by the host from within this thread's own access
        m_bRetired.store(true);
        return;
    }
    std::lock_guard<std::mutex> lock(m_access);
    m_bRetired.store(true);
}

void CDluBoard::EndAccess() {
    if (!InAccess()) return;
    m_accessOwner.store(std::thread::id());
    m_access.unlock();
    if (m_bReportFailure) {
        m_bReportFailure = false;
        ReportMessage(12, MSG_CLASS_FAILURE);
    }
}

// --- board protocol -----------------------------------------------------------------------------

void CDluBoard::Reset() {
    for (int offset : {DLU_PORT_CONTROL, DLU_PORT_HANDSHAKE, DLU_PORT_BANK, DLU_PORT_AUX}) {
        WritePort(Port(offset), 0);
        WritePort(Port(offset), 0);
    }
    plat::Sleep(DLU_RESET_SETTLE);
}

bool CDluBoard::Detect() {
    for (int step = 0; step < DLU_DETECT_STEPS; ++step) {
        if (ReadPort(Port(DLU_PORT_HANDSHAKE)) != kDluDetectExpect[step]) return false;
        WritePort(Port(DLU_PORT_HANDSHAKE), kDluDetectReply[step]);
        plat::Sleep(DLU_DETECT_STEP_SLEEP);
    }
    const std::uint32_t start = plat::GetTickCount();
    for (;;) {
        if ((ReadPort(Port(DLU_PORT_CONTROL)) & DLU_STATUS_BITS) == 0 &&
            (ReadPort(Port(DLU_PORT_HANDSHAKE)) & DLU_STATUS_BITS) == DLU_STATUS_BITS) {
            Unlock();
            m_bUp = true;
            return true;
        }
        if (plat::GetTickCount() - start >= DLU_DETECT_WAIT) return false;
    }
}

bool CDluBoard::WindowIsEmpty() {
    if (!m_pWindow || !Lock(DLU_ACCESS_RESPONSE, DLU_BANK_RESPONSE)) return false;
    bool empty = true;
    for (std::uint32_t i = 0; i < DLU_WINDOW_SIZE && empty; ++i) empty = m_pWindow[i] == 0xFF;
    Unlock();
    return empty;
}

bool CDluBoard::Lock(std::uint8_t mask, int bank) {
    // A request the I/O driver could not pass on (its service gone) is never granted: spinning
    // 500 ms on failing calls at every access would stretch a cycle to seconds and delay the
    // time-outs that tell the host its stations are unreachable.
    if (!InAccess()) {  // a request asked again before the release is the same access
        m_access.lock();
        m_accessOwner.store(std::this_thread::get_id());
    }
    if (m_bRetired.load()) {
        EndAccess();
        return false;
    }
    // The request need not be waited for: the read of the status comes after it in any case.
    if (!WritePort(Port(DLU_PORT_CONTROL), static_cast<std::uint8_t>(DLU_CONTROL_IDLE | mask),
                   false)) {
        EndAccess();
        return false;
    }
    const std::uint32_t start = plat::GetTickCount();
    for (;;) {
        // A failed read may be the request's own failure, told late: no use spinning on it.
        std::uint8_t status = 0xFF;
        bool selected = false;
        const bool read = bank < 0
                              ? TryReadPort(Port(DLU_PORT_CONTROL), status)
                              : plat::Device().ReadPortThenWrite(
                                    m_hDevice, Port(DLU_PORT_CONTROL), mask, Port(DLU_PORT_BANK),
                                    static_cast<std::uint8_t>(bank), status, selected);
        if (!read) {
            if (bank >= 0) DriverFailed();
            Unlock();
            return false;
        }
        if ((status & mask) == 0) {
            // Granted: no window access may move before this, and the board's last writes
            // are ours to see.
            std::atomic_thread_fence(std::memory_order_acquire);
            return true;
        }
        // Only the low 16 bits of the elapsed time count: a stall of over 65 s starts the wait
        // anew.
        if (static_cast<std::uint16_t>(plat::GetTickCount() - start) >= DLU_LOCK_WAIT) {
            Unlock();
            return false;
        }
    }
}

void CDluBoard::Unlock() {
    // Every window access of ours is done before the board gets the window back. Nothing of
    // ours depends on the release having arrived, so it is not waited for; a bank select is
    // (it goes with the grant's read), because the window accesses after it must see its bank.
    std::atomic_thread_fence(std::memory_order_release);
    WritePort(Port(DLU_PORT_CONTROL), DLU_CONTROL_IDLE, false);
    EndAccess();
}

bool CDluBoard::ReadResponseBitmap(std::uint8_t bitmap[DLU_BITMAP_SIZE]) {
    if (!m_pWindow || !Lock(DLU_ACCESS_RESPONSE, DLU_BANK_RESPONSE)) return false;
    for (int b = 0; b < DLU_BITMAP_SIZE; ++b) bitmap[b] = LoadMark(m_pWindow[DLU_OFS_BITMAP + b]);
    Unlock();
    return true;
}

int CDluBoard::AllocSlot(int limit) {
    if (m_nOutstanding >= limit) return -1;
    std::uint8_t answered[DLU_BITMAP_SIZE];
    if (!ReadResponseBitmap(answered)) return -1;
    const int last = limit < DLU_SLOT_COUNT ? limit : DLU_SLOT_COUNT;
    for (int slot = 0; slot < last; ++slot) {
        // A slot whose request the board may still see, or whose previous answer it still
        // shows, is not reused until both have cleared.
        const int b = DluBitmapByte(slot);
        const std::uint8_t m = DluBitmapMask(slot);
        if (!m_slots[slot].active && !(m_ownBitmap[b] & m) && !(answered[b] & m)) return slot;
    }
    return -1;
}

bool CDluBoard::PlaceRequest(int slot, std::uint16_t command, const std::uint8_t* request,
                             int requestLength, const std::uint8_t* data, int dataLength) {
    if (!Lock(DLU_ACCESS_REQUEST, DLU_BANK_REQUEST)) return false;
    std::uint8_t* word = m_pWindow + DLU_OFS_COMMAND + 2 * slot;
    word[0] = static_cast<std::uint8_t>(command);
    word[1] = static_cast<std::uint8_t>(command >> 8);
    if (requestLength > 0)
        std::memcpy(m_pWindow + DLU_OFS_REQUEST + DLU_SLOT_STRIDE * slot, request, requestLength);
    if (dataLength > 0)
        std::memcpy(m_pWindow + DLU_OFS_DATA + DLU_SLOT_STRIDE * slot, data, dataLength);
    // The bitmap byte goes last: the board may pick the request up as soon as its bit shows.
    const int b = DluBitmapByte(slot);
    m_ownBitmap[b] |= DluBitmapMask(slot);
    StoreMark(m_pWindow[DLU_OFS_BITMAP + b], m_ownBitmap[b]);
    Unlock();
    return true;
}

void CDluBoard::Occupy(int slot, std::int32_t kind, std::int32_t id) {
    DluSlot& s = m_slots[slot];
    s.active = 1;
    s.kind = kind;
    s.id = id;
    s.sentTick = plat::GetTickCount();
    ++m_nOutstanding;
}

bool CDluBoard::SendRequest(std::int32_t kind, std::int32_t id, std::uint16_t command,
                            const std::uint8_t* data, int length) {
    if (length < 0 || length > DLU_REQUEST_AREA || (length > 0 && !data)) return false;
    const int slot = AllocSlot(DLU_POLL_SLOT_LIMIT);
    if (slot < 0) return false;
    if (!PlaceRequest(slot, command, data, length, nullptr, 0)) return false;
    Occupy(slot, kind, id);
    return true;
}

bool CDluBoard::SendWriteRequest(std::int32_t id, std::uint16_t command, const std::uint8_t* header,
                                 const std::uint8_t* data, int length) {
    if (!header || length < 0 || length > DLU_WRITE_DATA_AREA || (length > 0 && !data))
        return false;
    const int slot = AllocSlot(DLU_SLOT_COUNT);
    if (slot < 0) return false;
    if (!PlaceRequest(slot, command, header, DLU_WRITE_HEADER_SIZE, data, length)) return false;
    Occupy(slot, DLU_SLOT_WRITE, id);
    return true;
}

int CDluBoard::FindReadySlot() {
    std::uint8_t answered[DLU_BITMAP_SIZE];
    if (!ReadResponseBitmap(answered)) return -1;
    for (int b = 0; b < DLU_BITMAP_SIZE; ++b) {
        // An answer in a slot we hold no request in (e.g. a late one after a time-out, or one
        // whose withdrawal is still to reach the board) is ignored.
        const std::uint8_t v = answered[b] & m_ownBitmap[b] & LiveBits(b);
        if (!v) continue;
        int bit = 0;
        while (!(v & (0x80u >> bit))) ++bit;
        return 8 * b + bit;
    }
    return -1;
}

int CDluBoard::ReceiveResponse(std::uint8_t* buffer, std::uint32_t& status) {
    const int slot = FindReadySlot();
    if (slot < 0) return -1;
    // The answer stays in place if the lock is refused and is found again next time.
    if (!Lock(DLU_ACCESS_RESPONSE)) return -1;
    // FindReadySlot left the response bank selected.
    const std::uint8_t* word = m_pWindow + DLU_OFS_COMMAND + 2 * slot;
    status = static_cast<std::uint32_t>(word[1]) << 8;
    if (m_slots[slot].kind != DLU_SLOT_WRITE && status == 0 && buffer)
        std::memcpy(buffer, m_pWindow + DLU_OFS_DATA + DLU_SLOT_STRIDE * slot, DLU_RESPONSE_SIZE);
    Unlock();
    FreeSlot(slot);
    return slot;
}

bool CDluBoard::FreeSlot(int slot) {
    if (slot < 0 || slot >= DLU_SLOT_COUNT) return false;
    DluSlot& s = m_slots[slot];
    // Only a slot that held a request counts: freeing an idle slot must not hide a pending one
    // from the receive pass and the time-out sweep.
    if (s.active && m_nOutstanding > 0) --m_nOutstanding;
    s.active = 0;
    if (!m_pWindow || !Lock(DLU_ACCESS_REQUEST, DLU_BANK_REQUEST)) return false;
    // The byte goes out with the bits of the live requests only: withdrawals that an earlier
    // refused access left to do go with it.
    const int b = DluBitmapByte(slot);
    const std::uint8_t live = LiveBits(b);
    m_ownBitmap[b] = live;
    StoreMark(m_pWindow[DLU_OFS_BITMAP + b], live);
    Unlock();
    return true;
}

std::uint8_t CDluBoard::LiveBits(int byte) const {
    std::uint8_t live = 0;
    for (int slot = 8 * byte; slot < 8 * byte + 8; ++slot)
        if (m_slots[slot].active) live |= DluBitmapMask(slot);
    return live;
}

void CDluBoard::FinishWithdrawals() {
    for (int slot = 0; slot < DLU_SLOT_COUNT; ++slot)
        if (!m_slots[slot].active && (m_ownBitmap[DluBitmapByte(slot)] & DluBitmapMask(slot)))
            if (!FreeSlot(slot)) return;  // the access is refused: next cycle
}

void CDluBoard::CheckTimeouts() {
    if (m_bRetired.load()) return;  // the requests belong to the replacement's run now
    const std::uint32_t now = plat::GetTickCount();
    for (int slot = 0; slot < DLU_SLOT_COUNT; ++slot) {
        const DluSlot& s = m_slots[slot];
        if (!s.active || now - s.sentTick <= DLU_REQUEST_TIMEOUT) continue;
        if (m_pOwner) m_pOwner->OnSlotTimeout(s.kind, s.id);
        FreeSlot(slot);
    }
}
