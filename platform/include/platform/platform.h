// The few operating-system services the module needs, in the shape the module was written
// against. Every service sits behind a seam that tests replace (fake clock, fake device).
#pragma once

#include <cstdint>
#include <string>

namespace plat {

using HANDLE = std::intptr_t;
inline constexpr HANDLE INVALID_HANDLE_VALUE = -1;

// Device open parameters, with the values the I/O driver access passes.
inline constexpr std::uint32_t GENERIC_READ = 0x80000000u;
inline constexpr std::uint32_t GENERIC_WRITE = 0x40000000u;
inline constexpr std::uint32_t FILE_SHARE_READ = 1;
inline constexpr std::uint32_t FILE_SHARE_WRITE = 2;
inline constexpr std::uint32_t CREATE_NEW = 1;
inline constexpr std::uint32_t OPEN_EXISTING = 3;
inline constexpr std::uint32_t FILE_FLAG_DELETE_ON_CLOSE = 0x04000000u;

inline constexpr std::uint32_t VER_PLATFORM_WIN32_WINDOWS = 1;
inline constexpr std::uint32_t VER_PLATFORM_WIN32_NT = 2;

// Platform version record; 148 bytes, as the version query expects.
struct OSVERSIONINFOA {
    std::uint32_t dwOSVersionInfoSize;
    std::uint32_t dwMajorVersion;
    std::uint32_t dwMinorVersion;
    std::uint32_t dwBuildNumber;
    std::uint32_t dwPlatformId;
    char szCSDVersion[128];
};
static_assert(sizeof(OSVERSIONINFOA) == 148);

// --- time -------------------------------------------------------------------------------------

class IClock {
public:
    virtual ~IClock() = default;
    // Milliseconds since an arbitrary start, wrapping at 2^32.
    virtual std::uint32_t GetTickCount() = 0;
    virtual void Sleep(std::uint32_t ms) = 0;
};

// --- device files -------------------------------------------------------------------------------

class IDevice {
public:
    virtual ~IDevice() = default;
    virtual HANDLE CreateFileA(const char* path, std::uint32_t access, std::uint32_t share,
                               std::uint32_t disposition, std::uint32_t flags) = 0;
    // Returns false on failure, like the platform call; *returned gets the output length.
    virtual bool DeviceIoControl(HANDLE h, std::uint32_t code, const void* in, std::uint32_t inSize,
                                 void* out, std::uint32_t outSize, std::uint32_t* returned) = 0;
    // A call without output whose caller needs no confirmation before going on: the driver
    // performs it in order with the handle's other calls, but the call may return before that,
    // and a failure then fails a later call of the handle. It is never held back: it is on its
    // way to the driver when this returns. Here it is the ordinary call.
    virtual bool DeviceIoControlNoWait(HANDLE h, std::uint32_t code, const void* in,
                                       std::uint32_t inSize) {
        std::uint32_t returned = 0;
        return DeviceIoControl(h, code, in, inSize, nullptr, 0, &returned);
    }
    // Reads a port and, only when none of `mask`'s bits read 1, writes `value` to port `then`:
    // an access lock's status read and the bank select that follows a grant, in one exchange
    // with the driver. The ports see exactly what the two calls would give them. `wrote` tells
    // whether the write was made. Here the two ordinary calls.
    virtual bool ReadPortThenWrite(HANDLE h, std::uint32_t port, std::uint8_t mask,
                                   std::uint32_t then, std::uint8_t value, std::uint8_t& status,
                                   bool& wrote);
    virtual bool CloseHandle(HANDLE h) = 0;
    virtual bool GetVersionExA(OSVERSIONINFOA* info) = 0;
};

// Why the calling thread's last CreateFileA of a device failed, as the platform's error codes;
// 0 after one that succeeded. DeviceErrorText says it in words for a person.
inline constexpr std::uint32_t ERROR_FILE_NOT_FOUND = 2;  // no service listens there
inline constexpr std::uint32_t ERROR_ACCESS_DENIED = 5;   // the socket refuses this user
inline constexpr std::uint32_t ERROR_GEN_FAILURE = 31;    // the service answered wrongly
inline constexpr std::uint32_t ERROR_REQ_NOT_ACCEP = 71;  // the service takes no more of this
                                                          // user's connections
inline constexpr std::uint32_t ERROR_SEM_TIMEOUT = 121;   // the service does not answer
std::uint32_t GetLastError();
void SetLastError(std::uint32_t code);
const char* DeviceErrorText(std::uint32_t code);

// The active implementations. Null restores the real Linux ones.
IClock& Clock();
void SetClock(IClock* clock);
IDevice& Device();
void SetDevice(IDevice* device);

inline std::uint32_t GetTickCount() { return Clock().GetTickCount(); }
inline void Sleep(std::uint32_t ms) { Clock().Sleep(ms); }

// --- libraries ----------------------------------------------------------------------------------

using HMODULE = void*;

// Loads a library by its original name: "TarvoDbm.dll" is looked for as "libTarvoDbm.so" next to
// the module first, then on the loader's search path. Returns null on failure.
HMODULE LoadLibrary(const std::string& name);
void* GetProcAddress(HMODULE module, const char* symbol);
void FreeLibrary(HMODULE module);
// "TarvoDbm.dll" -> "libTarvoDbm.so"; names without ".dll" get "lib" and ".so" added as needed.
std::string SharedObjectName(const std::string& name);
// Folder of the binary (executable or shared object) that holds this code.
std::string ModuleDirectory();

// --- files and paths ----------------------------------------------------------------------------

bool FileExists(const std::string& path);
// The title of a path: the text between the last folder separator ('/' or '\\') and the last
// dot after it, at most 255 characters.
std::string PathTitle(const std::string& path);

}  // namespace plat
