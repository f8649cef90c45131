// The K-Link (DLU) board as seen from the PC: its four port registers, its 16 KB dual-port memory
// window with two banks, and the firmware that serves the 32 request slots against the Master-K
// stations on the K-Link line. Used by the tvioctrld service and by tests.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace sim {

// Function codes in the low byte of a slot's command word.
inline constexpr std::uint8_t FN_READ_WORDS = 0x81;
inline constexpr std::uint8_t FN_WRITE_WORDS = 0x82;
inline constexpr std::uint8_t FN_WRITE_BIT = 0x83;

// Error numbers the board puts in the high byte of a response word (0 = success).
inline constexpr std::uint8_t ERR_NONE = 0x00;
inline constexpr std::uint8_t ERR_FUNCTION = 0x01;    // unknown function code
inline constexpr std::uint8_t ERR_MALFORMED = 0x02;   // item layout, counts or lengths wrong
inline constexpr std::uint8_t ERR_AREA = 0x03;        // area code unknown for the station's CPU
inline constexpr std::uint8_t ERR_RANGE = 0x04;       // words beyond the area's last word
inline constexpr std::uint8_t ERR_NO_STATION = 0x05;  // no station with that number on the line

inline constexpr std::uint32_t kWindowSize = 0x4000;
inline constexpr int kSlotCount = 32;

enum class GeneratorKind { Counter, Square, Sine, RandomWalk, Clock };

// A value source on one or more consecutive words of a station's memory.
struct Generator {
    std::string address;  // as written in the scenario, e.g. "D0100"
    int device = 0;       // index in "PMLKFTCDS"
    int word = 0;
    int words = 1;  // consecutive words driven alike (random walks move independently)
    GeneratorKind kind = GeneratorKind::Counter;
    std::uint32_t periodMs =
        1000;  // counter/random walk/clock: update interval; square/sine: wave period
    std::uint32_t updateMs = 250;         // sine: update interval
    double step = 1;                      // counter increment; random walk: largest move per update
    double min = 0, max = 65535;          // counter wraps, random walk is clamped
    double low = 0, high = 1;             // square wave levels
    double offset = 0, amplitude = 1000;  // sine
};

struct StationSpec {
    std::string name;              // for logs only
    int number = 0;                // 0..31
    int cpuType = 0;               // 0 K-200, 1 K-250, 2 K-500, 3 K-1000
    bool absent = false;           // never answers: the PC sees a time-out
    std::uint8_t errorNumber = 0;  // answers every request with this error number
    std::uint32_t delayMs = 0;     // time from taking a request to answering it
    // Periods [from, to) in ms after the board last came up (end of its handshake) in which the
    // station answers nothing, as absent; outside them it answers normally.
    std::vector<std::pair<std::uint32_t, std::uint32_t>> silent;
    // Initial memory: (device, word) -> words.
    std::vector<std::pair<std::pair<int, int>, std::vector<std::uint16_t>>> memory;
    std::vector<Generator> generators;
};

struct Scenario {
    std::uint16_t portBase = 0x340;
    std::uint32_t windowPhysical = 0xD8000;
    bool noBoard = false;           // nothing at the port: every read gives 0xFF
    bool mappingRefused = false;    // the window cannot be mapped
    bool lockNeverGranted = false;  // access requests are never granted
    std::uint32_t seed = 1;         // random walks
    std::vector<StationSpec> stations;
};

// A write a station applied to its memory, as the journal of applied writes records it.
struct AppliedWrite {
    std::uint64_t seq = 0;   // 1, 2, ... per board, in the order the writes were applied
    double monotonic = 0;    // CLOCK_MONOTONIC seconds at the moment of applying
    int station = 0;         // station number
    std::uint16_t area = 0;  // area code of the request
    int device = 0;          // index in "PMLKFTCDS"
    std::uint16_t word = 0, count = 0;
    bool bit = false;                  // a bit write: the word became (old & keep) | set
    std::uint16_t keep = 0, set = 0;   // bit writes
    std::vector<std::uint16_t> words;  // word writes: the words written
};
// One JSON line, without its newline (format in sim/README.md, "Journal of applied writes").
std::string JournalLine(const AppliedWrite& write);

// Parse a scenario; on failure `error` names the JSON path and the fault.
bool ParseScenario(const std::string& json, Scenario& out, std::string& error);
bool LoadScenario(const std::string& path, Scenario& out, std::string& error);

// CPU-type tables of the Master-K stations (the PLC's own view of its memory).
int SimWordLimit(int cpuType, int device);       // highest word, -1 if unknown
int SimAreaCode(int cpuType, int device);        // -1 if unknown
int SimDeviceOfArea(int cpuType, int areaCode);  // device index or -1
const char* SimCpuName(int cpuType);

class Board {
public:
    explicit Board(Scenario scenario);
    ~Board();  // stops the firmware thread
    Board(const Board&) = delete;
    Board& operator=(const Board&) = delete;

    // The 16 KB memory the PC sees (e.g. a shared memory mapping given by the service); it must
    // outlive the board. Without it the board uses its own. Call before Start().
    void UseWindow(std::uint8_t* memory);
    std::uint8_t* Window();

    std::uint16_t PortBase() const;
    std::uint32_t WindowPhysical() const;
    bool RespondsAt(std::uint16_t port) const;  // false: reads give 0xFF, writes are lost
    bool MappingRefused() const;

    // Port access as the PC does it; thread-safe.
    std::uint8_t ReadPort(std::uint16_t port);
    void WritePort(std::uint16_t port, std::uint8_t value);

    // Firmware thread: serves the slots and runs the generators. Between passes it sleeps until
    // a generator or a delayed answer is due (besides the pass at each release of the window),
    // but never longer than the idle limit: 2 ms unless told otherwise. A board whose clock is
    // the real one may sleep longer; one on a clock that runs fast keeps the short limit.
    void SetIdleLimit(std::chrono::milliseconds limit);
    void Start();
    void Stop();
    // One firmware pass on the caller's thread (for tests without the thread). Returns false
    // when the PC holds the window, so the pass could not look at the slots.
    bool ProcessOnce();

    // One decoded line per exchange (and a few board events). Called on the firmware thread,
    // outside the board's locks.
    void SetTrace(std::function<void(const std::string& line)> trace);
    // Receives every write a station applies, in the order applied, on the firmware's pass and
    // before the answer shows to the PC; it must not call the board. Null (the default): none.
    void SetJournal(std::function<void(const AppliedWrite& write)> journal);
    // Time base for answers and generators; null means the platform's active clock.
    void SetClock(plat::IClock* clock);

    bool Ready() const;
    // Test access to a station's memory by station number, area code and word.
    bool PeekWord(int stationNo, int areaCode, int word, std::uint16_t& out);
    bool PokeWord(int stationNo, int areaCode, int word, std::uint16_t value);

    struct Impl;

private:
    std::unique_ptr<Impl> d_;
};

// An in-process TVIOCTRL device over a Board: "\\.\TVIOCTRL" opens, the three control codes go
// to the board, the mapping returns the board's window. For tests of the board protocol and the
// engine without the service.
class SimDevice : public plat::IDevice {
public:
    explicit SimDevice(Board& board) : board_(board) {}
    plat::HANDLE CreateFileA(const char* path, std::uint32_t access, std::uint32_t share,
                             std::uint32_t disposition, std::uint32_t flags) override;
    bool DeviceIoControl(plat::HANDLE h, std::uint32_t code, const void* in, std::uint32_t inSize,
                         void* out, std::uint32_t outSize, std::uint32_t* returned) override;
    bool CloseHandle(plat::HANDLE h) override;
    bool GetVersionExA(plat::OSVERSIONINFOA* info) override;

    bool driverMissing = false;  // the device cannot be opened
    std::atomic<int> portReads{0}, portWrites{0};

private:
    Board& board_;
    std::mutex mu_;
    std::vector<plat::HANDLE> open_;
    plat::HANDLE next_ = 0x500;
    std::array<std::uint8_t, kWindowSize> emptyBus_{};  // what a map of another address shows
    bool emptyBusInit_ = false;
};

}  // namespace sim
