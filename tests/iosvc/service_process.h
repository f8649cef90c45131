// Runs a tvioctrld in a private folder for a test, and the clock the board tests use with it.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace iosvc_test {

// A fresh folder under the temporary folder, removed with everything in it.
class TempDir {
public:
    TempDir();
    ~TempDir();
    const std::string& Path() const { return path_; }
    std::string File(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

class ServiceProcess {
public:
    ServiceProcess() = default;
    ~ServiceProcess();  // kills a service still running

    // Starts the service with these arguments and waits (at most 10 s) for it to say it listens.
    // False if it ended or said nothing; the exit status is then in ExitStatus().
    bool Start(const std::vector<std::string>& args, const std::string& logFile);
    // Sends the signal (none if 0) and waits for the end; the exit code, or 128 + signal if
    // killed.
    int Stop(int signal);
    bool Running() const { return pid_ > 0; }
    int ExitStatus() const { return exitStatus_; }
    std::string LogText() const;

private:
    pid_t pid_ = -1;
    int exitStatus_ = -1;
    std::string logFile_;
};

// Path of the service binary built beside the tests.
std::string ServiceBinary();

// Real ticks, plus a jump a test may add to reach a time-out; sleeps are cut to a few
// milliseconds, so the board's 2 s reset settle time costs nothing.
class QuickClock : public plat::IClock {
public:
    std::uint32_t GetTickCount() override;
    void Sleep(std::uint32_t ms) override;
    void Jump(std::uint32_t ms) { offset_ += ms; }

private:
    std::atomic<std::uint32_t> offset_{0};
};

// A raw connection to a socket, for speaking (or garbling) the protocol by hand.
int ConnectRaw(const std::string& socketPath);

std::string ReadFile(const std::string& path);
bool WriteFile(const std::string& path, const std::string& bytes);

}  // namespace iosvc_test
