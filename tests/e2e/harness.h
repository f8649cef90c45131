// End-to-end harness: the real I/O service on a simulated board in a private device folder, the
// real driver module loaded with dlopen and driven through DrvFuncTable, and the real host
// libraries (tag database, message output) in this process.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "quorix/drv_api.h"

class CTagVal;

namespace e2e {

// Polls `done` every 50 ms until it holds or `timeoutMs` passes; true if it held.
bool WaitFor(const std::function<bool()>& done, int timeoutMs = 15000);

std::string BinDir();
// A TCP port on the loopback address that nothing listens on just now.
int FreePort();
bool WriteFile(const std::string& path, const std::string& text);
std::string ReadFile(const std::string& path);

// A fresh folder under $TMPDIR, removed with everything in it.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& Path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// Runs a program to its end (killed after timeoutMs). Output goes to the given files.
// Returns the exit status, or -1 if it could not run or had to be killed.
int RunProgram(const std::vector<std::string>& argv, const std::string& outPath,
               const std::string& errPath, int timeoutMs = 60000,
               const std::string& inPath = "/dev/null");
// The same in two steps, for a program that is to be signalled while it runs.
pid_t StartProgram(const std::vector<std::string>& argv, const std::string& outPath,
                   const std::string& errPath, const std::string& inPath = "/dev/null");
int WaitProgram(pid_t pid, int timeoutMs);

// Writes a configuration file from JSON through `tarvo cfg import`.
bool MakeConfig(const std::string& json, const std::string& cfgPath, std::string& error);

// tvioctrld --simulate on a scenario, listening in `deviceDir`.
class Service {
public:
    ~Service() { Stop(); }
    bool Start(const std::string& deviceDir, const std::string& scenarioJson, std::string& error,
               const std::vector<std::string>& extraArgs = {});
    void Stop();
    std::string Log() const { return ReadFile(logPath_); }
    pid_t Pid() const { return pid_; }

private:
    pid_t pid_ = -1;
    std::string logPath_;
};

// Runtime messages as the host receives them: raw CP949 text and class word.
class MessageLog {
public:
    struct Entry {
        std::int32_t classWord;
        std::string text;
    };
    MessageLog();
    ~MessageLog();
    MessageLog(const MessageLog&) = delete;
    MessageLog& operator=(const MessageLog&) = delete;
    // Count of messages whose text contains the UTF-8 fragment (after conversion to CP949),
    // optionally with this class word.
    int Count(const std::string& utf8Fragment, std::int32_t classWord = -1) const;
    std::vector<Entry> All() const;
    std::string Dump() const;  // UTF-8, for failure output

private:
    mutable std::mutex mu_;
    std::vector<Entry> entries_;
};

// The driver module, loaded for the life of the object.
class Module {
public:
    Module() = default;
    ~Module() { Unload(); }
    Module(const Module&) = delete;
    Module& operator=(const Module&) = delete;
    bool Load(std::string& error);
    void Unload();
    template <class F>
    F Fn(int slot) const {
        return reinterpret_cast<F>(table_[slot]);
    }
    bool Loaded() const { return table_ != nullptr; }

    // Thin wrappers over the table.
    std::int32_t Open(const std::string& path) const;
    std::int32_t Start(std::int32_t index) const;
    std::int32_t Register(std::int32_t index, const std::string& device, const std::string& address,
                          int type, int size, std::int32_t tagId) const;
    std::int32_t EndRegistration(std::int32_t index) const;
    void SetActive(std::int32_t index, const char* station, std::int32_t flag) const;
    std::int32_t Write(std::int32_t index, std::int32_t handle, const CTagVal& value) const;
    std::int32_t Stop(std::int32_t index) const;
    struct Stats {
        std::int32_t result = 0, writes = 0, writeFailures = 0, reads = 0, readFailures = 0;
    };
    Stats Statistics(std::int32_t index, const char* station, std::int32_t preset = 0) const;
    void ResetStatistics(std::int32_t index, const char* station) const;

private:
    void* handle_ = nullptr;
    void** table_ = nullptr;
};

}  // namespace e2e
