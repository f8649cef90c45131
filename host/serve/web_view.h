// The live web view for people at the line: the tag table with values updating as they come
// (server-sent events), station status and statistics, the driver's messages, and a write box
// for writable tags when writes are enabled. Plain HTML, CSS and JavaScript from the program.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "serve.h"
#include "value_board.h"

namespace httplib {
class Server;
}

namespace serve {

// Stations and messages as the web view shows them; the serving loop fills it.
class CPlantState {
public:
    // Station status, one JSON object each, in the stations' order.
    void SetStations(std::vector<std::string> json);
    void AddMessage(const std::string& json);
    std::uint64_t Version() const;
    // The stations, and the messages after `seen` (all kept when seen is 0); returns the newest
    // message number.
    std::uint64_t Read(std::uint64_t seen, std::vector<std::string>& stations,
                       std::vector<std::string>& messages) const;

private:
    mutable std::mutex mu_;
    std::vector<std::string> stations_;
    std::deque<std::pair<std::uint64_t, std::string>> messages_;  // the latest 200
    std::uint64_t messageNo_ = 0;
    std::uint64_t version_ = 0;
};

class CWebView {
public:
    CWebView(const std::vector<Tag>& tags, const std::vector<std::string>& stationNames,
             CValueBoard& board, CPlantState& state, IWriter& writer, bool writes,
             std::string title);
    ~CWebView();
    CWebView(const CWebView&) = delete;
    CWebView& operator=(const CWebView&) = delete;

    // Binds to ADDRESS:PORT (an IPv6 address in brackets) and serves on threads of its own.
    bool Start(const std::string& address, std::string& error);
    void Stop();
    int Port() const { return port_; }

private:
    std::string StateJson() const;

    const std::vector<Tag>& tags_;
    const std::vector<std::string>& stationNames_;
    CValueBoard& board_;
    CPlantState& state_;
    IWriter& writer_;
    const bool writes_;
    const std::string title_;
    std::unique_ptr<httplib::Server> server_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<int> streams_{0};
    int port_ = 0;
};

}  // namespace serve
