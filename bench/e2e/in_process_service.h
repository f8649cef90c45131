// The I/O service on a simulated board, run inside a benchmark's own process: its socket in a
// device folder, its poll loop on a thread, stopped and removed when the object goes.
#pragma once

#include <unistd.h>

#include <memory>
#include <string>
#include <thread>

#include "server.h"
#include "sim/board.h"
#include "sim_backend.h"

namespace bench {

class InProcessService {
public:
    ~InProcessService() {
        if (serving_.joinable()) {
            (void)!::write(stop_[1], "x", 1);
            serving_.join();
            server_->Close();
        }
        for (int fd : stop_)
            if (fd >= 0) ::close(fd);
    }
    // false, with the reason in `error`, when the scenario is bad or the service cannot listen.
    bool Start(const std::string& scenarioJson, const std::string& socketPath, std::string& error) {
        sim::Scenario scenario;
        if (!sim::ParseScenario(scenarioJson, scenario, error)) return false;
        backend_ = std::make_unique<iosvc::CSimBackend>(std::move(scenario), false);
        server_ = std::make_unique<iosvc::CIoServer>(*backend_);
        if (!backend_->Start() || !server_->Listen(socketPath) || ::pipe(stop_) != 0) {
            error = "the service did not start on " + socketPath;
            return false;
        }
        serving_ = std::thread([this] { server_->Run(stop_[0]); });
        return true;
    }
    sim::Board& Board() { return backend_->Board(); }

private:
    std::unique_ptr<iosvc::CSimBackend> backend_;
    std::unique_ptr<iosvc::CIoServer> server_;
    int stop_[2] = {-1, -1};
    std::thread serving_;
};

}  // namespace bench
