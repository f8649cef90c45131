// The simulated board: the firmware runs on its own thread over a window in shared memory
// (a memfd), which is the very memory the clients map.
#pragma once

#include <map>
#include <memory>
#include <string>

#include "backend.h"
#include "sim/board.h"

namespace iosvc {

class CSimBackend : public IBackend {
public:
    // `journal`: a file the writes the stations apply are appended to, one JSON line each
    // (empty: none).
    CSimBackend(sim::Scenario scenario, bool trace, std::string journal = {});
    ~CSimBackend() override;
    CSimBackend(const CSimBackend&) = delete;
    CSimBackend& operator=(const CSimBackend&) = delete;

    // Creates the shared window and starts the firmware; false (and logged) on failure.
    bool Start();
    bool ReadPort(std::uint16_t port, std::uint8_t& value) override;
    bool WritePort(std::uint16_t port, std::uint8_t value) override;
    bool MapWindow(std::uint32_t physical, std::uint32_t length, int& fd,
                   std::uint64_t& offset) override;
    std::string Describe() const override;

    sim::Board& Board() { return *board_; }

private:
    int EmptyBus(std::uint32_t physical);

    sim::Scenario scenario_;
    bool trace_;
    std::string journalPath_;
    int journalFd_ = -1;
    int windowFd_ = -1;
    std::uint8_t* window_ = nullptr;
    std::unique_ptr<sim::Board> board_;
    // Windows where no board sits: memory that reads 0xFF, one per address asked for.
    int emptyBus_ = -1;  // the last empty-bus window handed out
};

}  // namespace iosvc
