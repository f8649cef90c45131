#include "web_view.h"

#include <httplib.h>

#include <cctype>
#include <nlohmann/json.hpp>

extern const char kServePage[];  // web/index.html, built in

namespace serve {

namespace {

// A few browsers at the line; more streams than this are refused rather than let take the
// threads that answer writes and pages.
constexpr int kMaxStreams = 8;
constexpr std::size_t kKeptMessages = 200;

}  // namespace

void CPlantState::SetStations(std::vector<std::string> json) {
    std::lock_guard<std::mutex> lock(mu_);
    if (json == stations_) return;
    stations_ = std::move(json);
    ++version_;
}

void CPlantState::AddMessage(const std::string& json) {
    std::lock_guard<std::mutex> lock(mu_);
    messages_.emplace_back(++messageNo_, json);
    while (messages_.size() > kKeptMessages) messages_.pop_front();
    ++version_;
}

std::uint64_t CPlantState::Version() const {
    std::lock_guard<std::mutex> lock(mu_);
    return version_;
}

std::uint64_t CPlantState::Read(std::uint64_t seen, std::vector<std::string>& stations,
                                std::vector<std::string>& messages) const {
    std::lock_guard<std::mutex> lock(mu_);
    stations = stations_;
    messages.clear();
    for (const auto& [no, json] : messages_)
        if (no > seen) messages.push_back(json);
    return messageNo_;
}

CWebView::CWebView(const std::vector<Tag>& tags, const std::vector<std::string>& stationNames,
                   CValueBoard& board, CPlantState& state, IWriter& writer, bool writes,
                   std::string title)
    : tags_(tags),
      stationNames_(stationNames),
      board_(board),
      state_(state),
      writer_(writer),
      writes_(writes),
      title_(std::move(title)) {}

CWebView::~CWebView() { Stop(); }

std::string CWebView::StateJson() const {
    std::string out = "{\"title\":" + JsonString(title_) +
                      ",\"writes\":" + (writes_ ? "true" : "false") + ",\"tags\":[";
    for (std::size_t i = 0; i < tags_.size(); ++i) {
        const Tag& t = tags_[i];
        if (i) out += ',';
        out += "{\"name\":" + JsonString(t.spec.name) +
               ",\"station\":" + JsonString(stationNames_[t.station]) +
               ",\"address\":" + JsonString(t.spec.address) +
               ",\"type\":" + JsonString(tarvo::DataTypeName(t.spec.dataType)) +
               ",\"writable\":" + (t.spec.writable ? "true" : "false") +
               ",\"refused\":" + (t.handle < 0 ? "true" : "false") +
               ",\"sample\":" + ValuePayload(board_.Get(i)) + "}";
    }
    std::vector<std::string> stations, messages;
    state_.Read(0, stations, messages);
    out += "],\"stations\":[";
    for (std::size_t i = 0; i < stations.size(); ++i) out += (i ? "," : "") + stations[i];
    out += "],\"messages\":[";
    for (std::size_t i = 0; i < messages.size(); ++i) out += (i ? "," : "") + messages[i];
    out += "]}";
    return out;
}

bool CWebView::Start(const std::string& address, std::string& error) {
    // HOST:PORT, [IPv6]:PORT, or HOST alone for port 8080.
    std::string host = address, portText;
    if (!address.empty() && address.front() == '[') {
        const std::size_t close = address.find(']');
        host = address.substr(1, close == std::string::npos ? std::string::npos : close - 1);
        if (close != std::string::npos && close + 1 < address.size()) {
            if (address[close + 1] != ':') host.clear();
            portText = address.substr(close + 2);
        }
    } else if (const std::size_t colon = address.rfind(':'); colon != std::string::npos) {
        host = address.substr(0, colon);
        portText = address.substr(colon + 1);
    }
    int port = 8080;
    if (!portText.empty() || (!address.empty() && address.back() == ':')) {
        char* end = nullptr;
        const long n = std::strtol(portText.c_str(), &end, 10);
        if (portText.empty() || *end || n < 0 || n > 65535) {
            error = "the web view's address " + address + " has a bad port";
            return false;
        }
        port = static_cast<int>(n);
    }
    if (host.empty()) {
        error = "the web view's address " + address + " names no host (e.g. 127.0.0.1:8080)";
        return false;
    }

    server_ = std::make_unique<httplib::Server>();
    auto& s = *server_;
    // Idle or slow connections hold a thread each until their time-out: room for a good many
    // besides the live streams.
    s.new_task_queue = [] { return new httplib::ThreadPool(kMaxStreams + 24); };
    s.set_read_timeout(3, 0);
    s.set_write_timeout(5, 0);
    s.set_keep_alive_timeout(2);
    s.set_payload_max_length(16 * 1024);
    s.set_keep_alive_max_count(100);
    s.set_tcp_nodelay(true);
    // The library's default would share the port with another program bound to it as well, a
    // second tarvo serve among them (SO_REUSEPORT): this one has the port alone or fails.
    s.set_socket_options([](socket_t sock) {
        const int yes = 1;
        ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
    // On a loopback address only this machine's own names reach the view: a foreign host name
    // that resolves to 127.0.0.1 (DNS rebinding) would let any web page in the browser use it.
    const bool loopback = host == "127.0.0.1" || host == "::1" || host == "localhost";
    s.set_pre_routing_handler(
        [this, loopback](const httplib::Request& req, httplib::Response& res) {
            if (!loopback) return httplib::Server::HandlerResponse::Unhandled;
            std::string name = req.get_header_value("Host");
            if (!name.empty() && name.front() == '[')
                name = name.substr(0, name.find(']') + 1);
            else
                name = name.substr(0, name.rfind(':'));
            for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            if (name == "127.0.0.1" || name == "localhost" || name == "[::1]" ||
                name == "[0:0:0:0:0:0:0:1]")
                return httplib::Server::HandlerResponse::Unhandled;
            res.status = 403;
            res.set_content("this view answers to localhost only\n", "text/plain");
            return httplib::Server::HandlerResponse::Handled;
        });

    s.Get("/", [](const httplib::Request&, httplib::Response& res) {
        res.set_header("Cache-Control", "no-store");
        res.set_content(kServePage, "text/html; charset=utf-8");
    });
    s.Get("/api/state", [this](const httplib::Request&, httplib::Response& res) {
        res.set_header("Cache-Control", "no-store");
        res.set_content(StateJson(), "application/json; charset=utf-8");
    });
    s.Get("/events", [this](const httplib::Request&, httplib::Response& res) {
        if (++streams_ > kMaxStreams) {
            --streams_;
            res.status = 503;
            res.set_content("too many live views open\n", "text/plain");
            return;
        }
        // Each stream remembers what it sent: tag versions and the last message's number.
        struct Seen {
            std::uint64_t tags = 0, messages = 0, state = ~0ull;
        };
        auto seen = std::make_shared<Seen>();
        seen->tags = board_.Version();
        std::vector<std::string> st, msgs;
        seen->messages = state_.Read(0, st, msgs);
        res.set_header("Cache-Control", "no-store");
        res.set_chunked_content_provider(
            "text/event-stream",
            [this, seen](std::size_t, httplib::DataSink& sink) {
                if (stop_) return false;
                board_.WaitChange(seen->tags, std::chrono::milliseconds(500));
                // Changes come in bursts a cycle long: one event for a burst.
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
                if (stop_) return false;
                std::string out;
                std::vector<std::pair<std::size_t, Sample>> changed;
                seen->tags = board_.ChangedSince(seen->tags, changed);
                if (!changed.empty()) {
                    out += "event: tags\ndata: [";
                    for (std::size_t i = 0; i < changed.size(); ++i)
                        out += (i ? ",[" : "[") + std::to_string(changed[i].first) + "," +
                               ValuePayload(changed[i].second) + "]";
                    out += "]\n\n";
                }
                const std::uint64_t stateVersion = state_.Version();
                if (stateVersion != seen->state) {
                    std::vector<std::string> stations, messages;
                    seen->messages = state_.Read(seen->messages, stations, messages);
                    seen->state = stateVersion;
                    out += "event: stations\ndata: [";
                    for (std::size_t i = 0; i < stations.size(); ++i)
                        out += (i ? "," : "") + stations[i];
                    out += "]\n\n";
                    for (const auto& m : messages) out += "event: message\ndata: " + m + "\n\n";
                }
                if (out.empty()) out = ": idle\n\n";  // finds a closed page
                return sink.write(out.data(), out.size());
            },
            [this](bool) { --streams_; });
    });
    s.Post("/api/write", [this](const httplib::Request& req, httplib::Response& res) {
        // A page of another site cannot send JSON here without the browser asking first, and
        // this server never says yes; a foreign Origin is refused outright.
        const std::string origin = req.get_header_value("Origin");
        const std::string hostHeader = req.get_header_value("Host");
        if (req.get_header_value("Content-Type").rfind("application/json", 0) != 0 ||
            (!origin.empty() && origin != "http://" + hostHeader)) {
            res.status = 403;
            res.set_content("{\"ok\":false,\"result\":\"refused\",\"text\":\"not from this page\"}",
                            "application/json");
            return;
        }
        WriteOutcome out;
        const auto body = nlohmann::json::parse(req.body, nullptr, false);
        if (body.is_discarded() || !body.is_object() || !body.contains("tag") ||
            !body["tag"].is_string() || !body.contains("value")) {
            out = {false, "bad-value", "expected {\"tag\": NAME, \"value\": VALUE}"};
        } else {
            std::string text, error;
            const std::string name = body["tag"].get<std::string>();
            long index = -1;
            for (std::size_t i = 0; i < tags_.size(); ++i)
                if (tags_[i].spec.name == name) index = static_cast<long>(i);
            if (!WriteValueText(body["value"].dump(), text, error))
                out = {false, "bad-value", error};
            else
                out = writer_.Write(index, text);
            if (!out.ok) Log("write from the web view to " + name + " refused: " + out.text);
        }
        res.status = out.ok ? 200 : 422;
        res.set_content(std::string("{\"ok\":") + (out.ok ? "true" : "false") + ",\"result\":" +
                            JsonString(out.code) + ",\"text\":" + JsonString(out.text) + "}",
                        "application/json; charset=utf-8");
    });

    errno = 0;
    if (port == 0) {
        port_ = s.bind_to_any_port(host);
        if (port_ < 0) port_ = 0;
    } else if (s.bind_to_port(host, port)) {
        port_ = port;
    }
    if (port_ <= 0) {
        error = "the web view cannot listen on " + address +
                ": not an address of this machine, or the port is taken (" +
                (errno ? std::strerror(errno) : "no reason given") + ")";
        server_.reset();
        return false;
    }
    thread_ = std::thread([this] { server_->listen_after_bind(); });
    return true;
}

void CWebView::Stop() {
    if (!server_) return;
    stop_ = true;
    server_->stop();
    if (thread_.joinable()) thread_.join();
    server_.reset();
}

}  // namespace serve
