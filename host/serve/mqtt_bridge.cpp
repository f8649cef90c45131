#include "mqtt_bridge.h"

#include <mosquitto.h>
#include <mqtt_protocol.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <iterator>

namespace serve {

namespace {

// At most this many values sent and not yet acknowledged: beyond it the board merges changes
// instead of the client's queue growing.
constexpr long kMaxInflight = 1000;
constexpr int kMaxBackoffMs = 30000;
constexpr int kConnackLimitMs = 10000;
constexpr std::size_t kMaxMessages = 200;

std::int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::string Trim(const std::string& t) {
    const auto b = t.find_first_not_of(" \t\r\n");
    const auto e = t.find_last_not_of(" \t\r\n");
    return b == std::string::npos ? std::string() : t.substr(b, e - b + 1);
}

bool Readable(const std::string& path, std::string& error, const char* what) {
    std::ifstream f(path);
    if (f) return true;
    error = std::string(what) + " " + path + ": " + std::strerror(errno);
    return false;
}

std::string ErrorText(int rc) {
    if (rc == MOSQ_ERR_ERRNO) return std::strerror(errno);
    if (rc == MOSQ_ERR_KEEPALIVE) return "the broker did not answer within the keep-alive time";
    return mosquitto_strerror(rc);
}

}  // namespace

CMqttBridge::CMqttBridge(MqttSettings settings, CValueBoard& board, const std::vector<Tag>& tags,
                         IWriter& writer)
    : settings_(std::move(settings)), board_(board), tags_(tags), writer_(writer) {
    for (std::size_t i = 0; i < tags_.size(); ++i) byTopic_.emplace(tags_[i].topicName, i);
}

CMqttBridge::~CMqttBridge() {
    Stop();
    if (mosq_) mosquitto_destroy(mosq_);
    if (wakeFd_ >= 0) ::close(wakeFd_);
}

bool CMqttBridge::Prepare(std::string& error) {
    // The address: mqtt://HOST[:PORT] or mqtts://HOST[:PORT]; credentials never in it.
    std::string rest = settings_.url;
    if (rest.rfind("mqtt://", 0) == 0) {
        rest = rest.substr(7);
    } else if (rest.rfind("mqtts://", 0) == 0) {
        rest = rest.substr(8);
        tls_ = true;
    } else {
        error = "the broker address " + settings_.url +
                " is not mqtt://HOST[:PORT] or mqtts://HOST[:PORT]";
        return false;
    }
    if (rest.find('@') != std::string::npos) {
        error =
            "the broker address holds a user name or password: put them in a credentials "
            "file (--credentials) instead";
        return false;
    }
    if (!rest.empty() && rest.back() == '/') rest.pop_back();
    port_ = tls_ ? 8883 : 1883;
    std::size_t colon = rest.rfind(':');
    if (!rest.empty() && rest.front() == '[') {  // [IPv6]:port
        const std::size_t close = rest.find(']');
        colon = close != std::string::npos && close + 1 < rest.size() && rest[close + 1] == ':'
                    ? close + 1
                    : std::string::npos;
        host_ = rest.substr(1, close == std::string::npos ? std::string::npos : close - 1);
    } else {
        host_ = rest.substr(0, colon);
    }
    if (colon != std::string::npos) {
        const std::string p = rest.substr(colon + 1);
        char* end = nullptr;
        const long n = std::strtol(p.c_str(), &end, 10);
        if (p.empty() || *end || n < 1 || n > 65535) {
            error = "the broker address " + settings_.url + " has a bad port '" + p + "'";
            return false;
        }
        port_ = static_cast<int>(n);
    }
    if (host_.empty()) {
        error = "the broker address " + settings_.url + " names no host";
        return false;
    }
    if (settings_.prefix.empty() || settings_.prefix.find_first_of("+#") != std::string::npos ||
        settings_.prefix.front() == '/' || settings_.prefix.back() == '/' ||
        settings_.prefix.front() == '$') {
        error = "the topic prefix '" + settings_.prefix +
                "' must be a topic without '+', '#', a '/' at either end or a leading '$'";
        return false;
    }

    std::string user, password;
    if (!settings_.credentialsFile.empty()) {
        std::ifstream in(settings_.credentialsFile);
        if (!in) {
            error = "credentials file " + settings_.credentialsFile + ": " + std::strerror(errno);
            return false;
        }
        std::string line;
        for (int n = 1; std::getline(in, line); ++n) {
            line = Trim(line);
            if (line.empty() || line[0] == '#') continue;
            const auto eq = line.find('=');
            const std::string key = Trim(line.substr(0, eq));
            if (eq != std::string::npos && key == "username") {
                user = Trim(line.substr(eq + 1));
            } else if (eq != std::string::npos && key == "password") {
                password = Trim(line.substr(eq + 1));
            } else {
                // The line itself may be a secret: only its number is told.
                error = "credentials file " + settings_.credentialsFile + ":" + std::to_string(n) +
                        ": expected \"username = ...\" or \"password = ...\"";
                return false;
            }
        }
        if (user.empty()) {
            error = "credentials file " + settings_.credentialsFile + " gives no username";
            return false;
        }
    }
    if (!tls_ && (!settings_.caFile.empty() || !settings_.certFile.empty())) {
        error = "TLS files are given, but the broker address is not mqtts://";
        return false;
    }
    if (tls_) {
        if (settings_.caFile.empty()) {
            error = "mqtts:// needs the broker's CA certificate (--ca-file)";
            return false;
        }
        if (!Readable(settings_.caFile, error, "CA file")) return false;
        std::ifstream ca(settings_.caFile);
        const std::string pem((std::istreambuf_iterator<char>(ca)),
                              std::istreambuf_iterator<char>());
        if (pem.find("-----BEGIN CERTIFICATE-----") == std::string::npos) {
            error = "CA file " + settings_.caFile + " holds no PEM certificate";
            return false;
        }
        if (settings_.certFile.empty() != settings_.keyFile.empty()) {
            error = "a client certificate needs both --cert-file and --key-file";
            return false;
        }
        if (!settings_.certFile.empty() &&
            (!Readable(settings_.certFile, error, "certificate file") ||
             !Readable(settings_.keyFile, error, "key file")))
            return false;
    }

    mosquitto_lib_init();
    mosq_ = mosquitto_new(settings_.clientId.c_str(), true, this);
    wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (!mosq_ || wakeFd_ < 0) {
        error = std::string("cannot make the MQTT client: ") + std::strerror(errno);
        return false;
    }
    mosquitto_int_option(mosq_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
    mosquitto_int_option(mosq_, MOSQ_OPT_TCP_NODELAY, 1);
    mosquitto_connect_v5_callback_set(mosq_, &CMqttBridge::OnConnect);
    mosquitto_disconnect_v5_callback_set(mosq_, &CMqttBridge::OnDisconnect);
    mosquitto_publish_v5_callback_set(mosq_, &CMqttBridge::OnPublish);
    mosquitto_message_v5_callback_set(mosq_, &CMqttBridge::OnMessage);
    mosquitto_log_callback_set(mosq_, &CMqttBridge::OnLog);
    if (!user.empty())
        mosquitto_username_pw_set(mosq_, user.c_str(),
                                  password.empty() ? nullptr : password.c_str());
    const std::string offline = "offline";
    mosquitto_will_set_v5(mosq_, StatusTopic().c_str(), static_cast<int>(offline.size()),
                          offline.data(), 1, true, nullptr);
    if (tls_) {
        const int rc = mosquitto_tls_set(
            mosq_, settings_.caFile.c_str(), nullptr,
            settings_.certFile.empty() ? nullptr : settings_.certFile.c_str(),
            settings_.keyFile.empty() ? nullptr : settings_.keyFile.c_str(), nullptr);
        if (rc != MOSQ_ERR_SUCCESS) {
            error = "the TLS files cannot be used: " + ErrorText(rc);
            return false;
        }
    }
    board_.SetWake([this] { Wake(); });
    return true;
}

void CMqttBridge::Start() {
    if (mosq_ && !thread_.joinable()) thread_ = std::thread([this] { Loop(); });
}

void CMqttBridge::Stop() {
    if (!thread_.joinable()) return;
    stop_ = true;
    Wake();
    thread_.join();
    board_.SetWake(nullptr);
}

void CMqttBridge::Wake() {
    const std::uint64_t one = 1;
    if (wakeFd_ >= 0) (void)!::write(wakeFd_, &one, sizeof one);
}

bool CMqttBridge::WaitFor(int ms) {
    pollfd p{wakeFd_, POLLIN, 0};
    const std::int64_t until = NowMs() + ms;
    while (!stop_) {
        const std::int64_t left = until - NowMs();
        beat_ = NowMs();
        if (left <= 0) return true;
        if (::poll(&p, 1, static_cast<int>(std::min<std::int64_t>(left, 1000))) > 0) {
            std::uint64_t n;
            (void)!::read(wakeFd_, &n, sizeof n);
        }
    }
    return false;
}

bool CMqttBridge::Alive(int withinMs) const {
    return !thread_.joinable() || NowMs() - beat_ <= withinMs;
}

void CMqttBridge::Loop() {
    while (!stop_) {
        beat_ = NowMs();
        if (!connecting_ && !ready_) {
            const int rc =
                everConnected_ || lostAtMs_
                    ? mosquitto_reconnect_async(mosq_)
                    : mosquitto_connect_async(mosq_, host_.c_str(), port_, settings_.keepAlive);
            lostAtMs_ = lostAtMs_ ? lostAtMs_ : NowMs();
            if (rc != MOSQ_ERR_SUCCESS) {
                Lost("cannot reach the broker: " + ErrorText(rc));
                continue;
            }
            connecting_ = true;
            connectStartMs_ = NowMs();
        }
        const int sock = mosquitto_socket(mosq_);
        pollfd p[2] = {
            {wakeFd_, POLLIN, 0},
            {sock, static_cast<short>(POLLIN | (mosquitto_want_write(mosq_) ? POLLOUT : 0)), 0}};
        const int n = ::poll(p, sock >= 0 ? 2 : 1, 1000);
        if (n < 0 && errno != EINTR) break;
        if (p[0].revents & POLLIN) {
            std::uint64_t v;
            (void)!::read(wakeFd_, &v, sizeof v);
        }
        if (stop_) break;
        int rc = MOSQ_ERR_SUCCESS;
        if (sock >= 0 && (p[1].revents & (POLLIN | POLLHUP | POLLERR)))
            rc = mosquitto_loop_read(mosq_, 1000);
        // What the callbacks noted is acted on here, outside the library's own locks.
        if (connack_ >= 0) {
            const int answer = connack_;
            connack_ = -1;
            if (!Connected(answer)) continue;
        }
        for (const Incoming& m : incoming_) HandleSet(m);
        incoming_.clear();
        if (rc == MOSQ_ERR_SUCCESS && mosquitto_want_write(mosq_))
            rc = mosquitto_loop_write(mosq_, 1000);
        if (rc == MOSQ_ERR_SUCCESS) rc = mosquitto_loop_misc(mosq_);
        if (rc != MOSQ_ERR_SUCCESS) {
            if (rc == MOSQ_ERR_TLS && !tlsError_.empty())
                Lost("TLS with the broker failed: " + tlsError_);
            else if (disconnectReason_ >= 0x80)
                Lost(std::string("the broker ended the connection: ") +
                     mosquitto_reason_string(disconnectReason_) +
                     (disconnectReason_ == MQTT_RC_SESSION_TAKEN_OVER
                          ? " (another client uses the client id " + settings_.clientId + ")"
                          : std::string()));
            else
                Lost((ready_ ? "the broker connection was lost: " : "cannot reach the broker: ") +
                     ErrorText(rc));
            disconnectReason_ = 0;
            continue;
        }
        if (connecting_ && !ready_ && NowMs() - connectStartMs_ > kConnackLimitMs) {
            Lost("the broker did not answer within 10 s");
            continue;
        }
        if (ready_) PublishPending();
    }
    if (ready_) {
        // A clean end: the will is not sent, so the status says it here.
        Publish(StatusTopic(), "offline", true);
        const std::int64_t until = NowMs() + 2000;
        while (inflight_ > 0 && NowMs() < until &&
               mosquitto_loop(mosq_, 50, 1) == MOSQ_ERR_SUCCESS) {
        }
        mosquitto_disconnect_v5(mosq_, 0, nullptr);
        mosquitto_loop_write(mosq_, 1);
    }
    ready_ = false;
}

void CMqttBridge::Lost(const std::string& why) {
    if (ready_) lostAtMs_ = NowMs();
    ready_ = connecting_ = false;
    inflight_ = 0;
    if (why != lastTrouble_) {
        Log(why + " (" + settings_.url + "); trying again in " + std::to_string(backoffMs_ / 1000) +
            " s, then less often (at most every " + std::to_string(kMaxBackoffMs / 1000) +
            " s); values are kept, the latest of each tag");
        lastTrouble_ = why;
    }
    tlsError_.clear();
    if (!WaitFor(backoffMs_)) return;
    backoffMs_ = std::min(backoffMs_ * 2, kMaxBackoffMs);
}

void CMqttBridge::OnConnect(mosquitto*, void* self, int rc, int, const mosquitto_property*) {
    static_cast<CMqttBridge*>(self)->connack_ = rc;
}

bool CMqttBridge::Connected(int rc) {
    connecting_ = false;
    if (rc != 0) {
        std::string why =
            std::string("the broker refused the connection: ") + mosquitto_reason_string(rc);
        if (rc == MQTT_RC_BAD_USERNAME_OR_PASSWORD || rc == MQTT_RC_NOT_AUTHORIZED)
            why += settings_.credentialsFile.empty() ? " (no credentials file is given)"
                                                     : " (check " + settings_.credentialsFile + ")";
        // Wrong credentials do not mend themselves quickly: no hammering.
        backoffMs_ = std::max(backoffMs_, 10000);
        Lost(why);
        return false;
    }
    ready_ = true;
    backoffMs_ = 1000;
    Publish(StatusTopic(), "online", true);
    const std::string sets = settings_.prefix + "/tags/+/set";
    mosquitto_subscribe_v5(mosq_, nullptr, sets.c_str(), 1, MQTT_SUB_OPT_NO_LOCAL, nullptr);
    const std::size_t tags = board_.MarkAllDirty();
    {
        std::lock_guard<std::mutex> lock(mu_);
        for (auto& [name, dirty] : stationsDirty_) dirty = true;
        for (const auto& s : stations_) stationsDirty_[s.first] = true;
    }
    std::string text =
        "connected to the broker " + settings_.url + ", topics under " + settings_.prefix;
    if (everConnected_ || lastTrouble_.size()) {
        const std::uint64_t merged = board_.TakeMerged();
        text += "; after " + std::to_string((NowMs() - lostAtMs_ + 500) / 1000) +
                " s away: " + std::to_string(tags) + " tags sent again, " + std::to_string(merged) +
                " changes merged into them meanwhile";
    }
    Log(text);
    everConnected_ = true;
    lastTrouble_.clear();
    lostAtMs_ = 0;
    return true;
}

void CMqttBridge::OnDisconnect(mosquitto*, void* self, int rc, const mosquitto_property*) {
    // Loop() sees the failed read or write and takes it from there; a reason the broker gave
    // (another client with this id took the session, for one) goes into what it says.
    auto* b = static_cast<CMqttBridge*>(self);
    if (rc > 0 && rc != MOSQ_ERR_CONN_LOST && !b->stop_) b->disconnectReason_ = rc;
}

void CMqttBridge::OnPublish(mosquitto*, void* self, int, int, const mosquitto_property*) {
    auto* b = static_cast<CMqttBridge*>(self);
    if (b->inflight_ > 0) --b->inflight_;
}

void CMqttBridge::OnLog(mosquitto*, void* self, int level, const char* text) {
    // The library's own words for a failed TLS set-up (a CA file it cannot load, a handshake).
    auto* b = static_cast<CMqttBridge*>(self);
    if ((level & MOSQ_LOG_ERR) && text && b->tls_) b->tlsError_ = text;
}

bool CMqttBridge::Publish(const std::string& topic, const std::string& payload, bool retain,
                          const mosquitto_property* props) {
    const int rc =
        mosquitto_publish_v5(mosq_, nullptr, topic.c_str(), static_cast<int>(payload.size()),
                             payload.data(), 1, retain, props);
    if (rc != MOSQ_ERR_SUCCESS) return false;
    ++inflight_;
    ++published_;
    return true;
}

void CMqttBridge::PublishPending() {
    {
        std::vector<std::pair<std::string, std::string>> out;
        std::deque<std::string> messages;
        {
            std::lock_guard<std::mutex> lock(mu_);
            for (auto& [name, dirty] : stationsDirty_)
                if (dirty) {
                    out.emplace_back(name, stations_[name]);
                    dirty = false;
                }
            messages.swap(messages_);
        }
        for (auto& [name, json] : out) Publish(settings_.prefix + "/stations/" + name, json, true);
        for (auto& m : messages) Publish(settings_.prefix + "/messages", m, false);
    }
    // A batch goes out in as few segments as the socket allows (one send a message is the
    // library's way), and the broker reads it so.
    const int sock = mosquitto_socket(mosq_);
    const int on = 1, off = 0;
    bool corked = false;
    while (ready_ && inflight_ < kMaxInflight) {
        if (!board_.TakeDirty(batch_, static_cast<std::size_t>(kMaxInflight - inflight_))) break;
        if (!corked && sock >= 0)
            corked = ::setsockopt(sock, IPPROTO_TCP, TCP_CORK, &on, sizeof on) == 0;
        for (const auto& [t, s] : batch_)
            if (s.value.IsSet() || !s.good) Publish(TagTopic(tags_[t]), ValuePayload(s), true);
    }
    if (corked) ::setsockopt(sock, IPPROTO_TCP, TCP_CORK, &off, sizeof off);
}

void CMqttBridge::PublishStation(const std::string& station, const std::string& json) {
    {
        std::lock_guard<std::mutex> lock(mu_);
        stations_[station] = json;
        stationsDirty_[station] = true;
    }
    Wake();
}

void CMqttBridge::PublishMessage(const std::string& json) {
    {
        std::lock_guard<std::mutex> lock(mu_);
        messages_.push_back(json);
        while (messages_.size() > kMaxMessages) messages_.pop_front();
    }
    Wake();
}

void CMqttBridge::OnMessage(mosquitto*, void* self, const mosquitto_message* msg,
                            const mosquitto_property* props) {
    auto* b = static_cast<CMqttBridge*>(self);
    // A flood of writes is answered in turn; beyond this many in one read, they are dropped
    // unanswered (QoS 1 is acknowledged by the library either way).
    if (b->incoming_.size() >= 1000) return;
    Incoming in;
    in.retained = msg->retain;
    in.topic = msg->topic ? msg->topic : "";
    if (msg->payload && msg->payloadlen > 0)
        in.payload.assign(static_cast<const char*>(msg->payload),
                          static_cast<std::size_t>(msg->payloadlen));
    void* corr = nullptr;
    std::uint16_t corrLen = 0;
    if (mosquitto_property_read_binary(props, MQTT_PROP_CORRELATION_DATA, &corr, &corrLen, false)) {
        in.correlation.assign(static_cast<const char*>(corr), corrLen);
        std::free(corr);
    }
    b->incoming_.push_back(std::move(in));
}

void CMqttBridge::HandleSet(const Incoming& msg) {
    // <prefix>/tags/<tag>/set
    const std::string& topic = msg.topic;
    const std::string head = settings_.prefix + "/tags/";
    if (topic.rfind(head, 0) != 0 || topic.size() < head.size() + 5 ||
        topic.compare(topic.size() - 4, 4, "/set") != 0)
        return;
    const std::string name = topic.substr(head.size(), topic.size() - head.size() - 4);
    const std::string& payload = msg.payload;
    // An empty message clears a retained one: no request. A retained request would be written
    // again at every connection: only live ones count.
    if (payload.empty()) return;
    if (msg.retained) {
        Log("a retained write request on " + topic +
            " is left alone: writes are taken as they are sent, not retained");
        return;
    }
    std::string text, error, requestId;
    WriteOutcome out;
    if (payload.size() > 4096) {
        out = {false, "bad-value", "the payload is longer than 4096 bytes"};
    } else if (!WriteValueText(payload, text, error, &requestId)) {
        out = {false, "bad-value", error};
    } else {
        auto it = byTopic_.find(name);
        out = writer_.Write(it == byTopic_.end() ? -1 : static_cast<long>(it->second), text);
    }
    if (!out.ok) Log("write from the broker to " + name + " refused: " + out.text);
    std::string result = std::string("{\"ok\":") + (out.ok ? "true" : "false") +
                         ",\"result\":" + JsonString(out.code) +
                         ",\"text\":" + JsonString(out.text);
    if (!requestId.empty()) result += ",\"id\":" + requestId;
    result += "}";
    // The request's correlation data goes back with the result (MQTT 5).
    mosquitto_property* reply = nullptr;
    if (!msg.correlation.empty())
        mosquitto_property_add_binary(&reply, MQTT_PROP_CORRELATION_DATA, msg.correlation.data(),
                                      static_cast<std::uint16_t>(msg.correlation.size()));
    Publish(head + name + "/result", result, false, reply);
    mosquitto_property_free_all(&reply);
}

}  // namespace serve
