#include "sim_backend.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <vector>

#include "log.h"

namespace iosvc {

CSimBackend::CSimBackend(sim::Scenario scenario, bool trace, std::string journal)
    : scenario_(std::move(scenario)), trace_(trace), journalPath_(std::move(journal)) {}

CSimBackend::~CSimBackend() {
    if (board_) board_->Stop();
    board_.reset();  // before the window it works on goes away
    if (journalFd_ >= 0) ::close(journalFd_);
    if (window_) ::munmap(window_, sim::kWindowSize);
    if (windowFd_ >= 0) ::close(windowFd_);
    if (emptyBus_ >= 0) ::close(emptyBus_);
}

bool CSimBackend::Start() {
    windowFd_ = ::memfd_create("dlu-window", MFD_CLOEXEC | MFD_ALLOW_SEALING);
    // Sealed at its size: a client could otherwise shrink the memory under the firmware (which
    // then dies of SIGBUS) or under another client's mapping.
    if (windowFd_ < 0 || ::ftruncate(windowFd_, sim::kWindowSize) < 0 ||
        ::fcntl(windowFd_, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_SEAL) < 0) {
        Log(LogLevel::Error, "cannot create the board window: %s", std::strerror(errno));
        return false;
    }
    void* p = ::mmap(nullptr, sim::kWindowSize, PROT_READ | PROT_WRITE, MAP_SHARED, windowFd_, 0);
    if (p == MAP_FAILED) {
        Log(LogLevel::Error, "cannot map the board window: %s", std::strerror(errno));
        return false;
    }
    window_ = static_cast<std::uint8_t*>(p);

    board_ = std::make_unique<sim::Board>(scenario_);
    board_->UseWindow(window_);
    if (trace_) {
        board_->SetTrace(
            [](const std::string& line) { Log(LogLevel::Info, "trace: %s", line.c_str()); });
    }
    if (!journalPath_.empty()) {
        journalFd_ = ::open(journalPath_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (journalFd_ < 0) {
            Log(LogLevel::Error, "cannot open the journal %s: %s", journalPath_.c_str(),
                std::strerror(errno));
            return false;
        }
        // One write per line: a reader sees each line whole and at once, and a killed service
        // loses none it recorded.
        auto put = [fd = journalFd_](const std::string& line) {
            const std::string text = line + "\n";
            if (::write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
                Log(LogLevel::Warning, "journal: %s", std::strerror(errno));
        };
        char start[96];
        std::snprintf(
            start, sizeof start, "{\"start\":true,\"t\":%.6f,\"pid\":%ld}",
            std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
                .count(),
            static_cast<long>(::getpid()));
        put(start);
        board_->SetJournal([put](const sim::AppliedWrite& w) { put(sim::JournalLine(w)); });
    }
    // On the real clock the firmware sleeps until something falls due; the pass at each
    // release serves the PC.
    board_->SetIdleLimit(std::chrono::milliseconds(100));
    board_->Start();
    Log(LogLevel::Info, "simulated board at port 0x%03X, window 0x%05X, %zu station(s)%s%s%s",
        board_->PortBase(), board_->WindowPhysical(), scenario_.stations.size(),
        scenario_.noBoard ? ", no board answering" : "",
        scenario_.mappingRefused ? ", mapping refused" : "",
        scenario_.lockNeverGranted ? ", lock never granted" : "");
    return true;
}

bool CSimBackend::ReadPort(std::uint16_t port, std::uint8_t& value) {
    value = board_->ReadPort(port);
    return true;
}

bool CSimBackend::WritePort(std::uint16_t port, std::uint8_t value) {
    board_->WritePort(port, value);
    return true;
}

bool CSimBackend::MapWindow(std::uint32_t physical, std::uint32_t length, int& fd,
                            std::uint64_t& offset) {
    if (board_->MappingRefused()) return false;
    offset = 0;
    if (physical == board_->WindowPhysical()) {
        fd = windowFd_;
        return length == sim::kWindowSize;
    }
    fd = EmptyBus(physical);
    return fd >= 0;
}

// A fresh window per mapping: what one client writes where nothing answers must not show to
// another. The descriptor lives until the next mapping, by when the server has passed it on.
int CSimBackend::EmptyBus(std::uint32_t) {
    if (emptyBus_ >= 0) ::close(emptyBus_);
    emptyBus_ = ::memfd_create("empty-bus", MFD_CLOEXEC | MFD_ALLOW_SEALING);
    if (emptyBus_ < 0) return -1;
    std::vector<std::uint8_t> ff(sim::kWindowSize, 0xFF);
    if (::pwrite(emptyBus_, ff.data(), ff.size(), 0) != static_cast<ssize_t>(ff.size()) ||
        ::fcntl(emptyBus_, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_SEAL) < 0) {
        ::close(emptyBus_);
        emptyBus_ = -1;
    }
    return emptyBus_;
}

std::string CSimBackend::Describe() const { return "simulated board"; }

}  // namespace iosvc
