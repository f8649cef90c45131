// The real device files on Linux. A device name of the form \\.\NAME is a service reached
// through the UNIX-domain socket NAME.sock in the device folder: $QX_DEVICE_DIR if set,
// else /run/quorix. Each handle is its own connection, its port calls going through a queue in
// memory shared with the service; calls on one handle are serialised, and a
// service that dies or stops answering makes the handle's calls fail: every call, the opening
// included, ends within 5 s whatever interrupts its waits. A failed CreateFileA leaves its reason
// in GetLastError. A descriptor the service passes is mapped only if it cannot shrink under the
// process (a memfd sealed against shrinking, or /dev/mem for the board's window). A port write sent
// without waiting that fails at the service fails the next call and every later one. Closing a
// handle unmaps the windows mapped through it.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "platform/platform.h"

namespace plat {

std::string DeviceDirectory();
// "\\.\TVIOCTRL" -> "<device folder>/TVIOCTRL.sock"; empty for a name outside the namespace.
std::string DeviceSocketPath(const std::string& deviceName);

class Deadline;

// Sends `size` bytes on a UNIX-domain socket with, when fd >= 0, that descriptor beside them
// (SCM_RIGHTS): sendmsg's result. The service's answers travel so, and test peers' too.
long SendWithDescriptor(int socket, const void* data, std::size_t size, int fd, int flags);

class LinuxDevice : public IDevice {
public:
    LinuxDevice();
    ~LinuxDevice() override;
    HANDLE CreateFileA(const char* path, std::uint32_t access, std::uint32_t share,
                       std::uint32_t disposition, std::uint32_t flags) override;
    bool DeviceIoControl(HANDLE h, std::uint32_t code, const void* in, std::uint32_t inSize,
                         void* out, std::uint32_t outSize, std::uint32_t* returned) override;
    // A port write is sent and not waited for; other codes are ordinary calls.
    bool DeviceIoControlNoWait(HANDLE h, std::uint32_t code, const void* in,
                               std::uint32_t inSize) override;
    // One request {read, and the write if clear}, one answer.
    bool ReadPortThenWrite(HANDLE h, std::uint32_t port, std::uint8_t mask, std::uint32_t then,
                           std::uint8_t value, std::uint8_t& status, bool& wrote) override;
    bool CloseHandle(HANDLE h) override;
    bool GetVersionExA(OSVERSIONINFOA* info) override;
    // Takes an already connected stream socket as a handle, as CreateFileA would after connecting
    // (a socket pair in tests and fuzz targets, where the other end plays the service).
    HANDLE Adopt(int fd);

    struct Connection;

    // A service that does not answer within this time is taken for dead: the caller sees a
    // failed call instead of a hang. One limit per call, across all of its waits.
    static constexpr int kCallTimeoutMs = 5000;
    void SetCallTimeout(int ms) { callTimeoutMs_ = ms; }  // for tests of a dying service

    // Asks the service for the handle's queue, as CreateFileA does after connecting; false when
    // the exchange failed. Without a queue the port calls stay on the socket.
    bool OpenQueue(HANDLE h);

private:
    // The same by a deadline; 0, or the platform's error code for the failure.
    std::uint32_t OpenQueue(HANDLE h, const Deadline& deadline);
    std::shared_ptr<Connection> Find(HANDLE h);
    bool Call(HANDLE h, std::uint32_t code, const void* in, std::uint32_t inSize,
              std::uint16_t flags, void* out, std::uint32_t outSize, std::uint32_t* returned);

    std::mutex mu_;
    std::map<HANDLE, std::shared_ptr<Connection>> open_;
    HANDLE next_ = 0x100;
    int callTimeoutMs_ = kCallTimeoutMs;
};

}  // namespace plat
