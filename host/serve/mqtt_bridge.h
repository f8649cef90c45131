// The way out to SCADA, historians and dashboards: every tag's latest value on its own retained
// topic, station status, the driver's messages, and writes coming back on "<tag topic>/set".
// One thread owns the libmosquitto client and its socket; the broker may be away for any time.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "serve.h"
#include "value_board.h"

struct mosquitto;
struct mosquitto_message;
typedef struct mqtt5__property mosquitto_property;

namespace serve {

struct MqttSettings {
    std::string url = "mqtt://localhost:1883";  // mqtt://HOST[:PORT] or mqtts://HOST[:PORT]
    std::string prefix;                         // topic prefix, e.g. quorix/line1
    std::string clientId;
    std::string credentialsFile;  // "username = ..." and "password = ..." lines
    std::string caFile, certFile, keyFile;
    int keepAlive = 30;
};

class CMqttBridge {
public:
    CMqttBridge(MqttSettings settings, CValueBoard& board, const std::vector<Tag>& tags,
                IWriter& writer);
    ~CMqttBridge();
    CMqttBridge(const CMqttBridge&) = delete;
    CMqttBridge& operator=(const CMqttBridge&) = delete;

    // Checks the settings and files and makes the client; false with `error` (nothing secret).
    bool Prepare(std::string& error);
    void Start();
    // Says "offline" on the status topic if connected, then disconnects and ends the thread.
    void Stop();

    // A station's status (retained) and a driver message (not retained); kept for the next
    // connection when the broker is away (messages: the latest 200).
    void PublishStation(const std::string& station, const std::string& json);
    void PublishMessage(const std::string& json);

    std::string StatusTopic() const { return settings_.prefix + "/status"; }
    std::string TagTopic(const Tag& tag) const {
        return settings_.prefix + "/tags/" + tag.topicName;
    }
    // The client's thread went round its loop within this time (it waits at most 1 s a turn).
    bool Alive(int withinMs) const;
    std::uint64_t Published() const { return published_; }

private:
    static void OnConnect(mosquitto*, void* self, int rc, int flags, const mosquitto_property*);
    static void OnDisconnect(mosquitto*, void* self, int rc, const mosquitto_property*);
    static void OnPublish(mosquitto*, void* self, int mid, int rc, const mosquitto_property*);
    static void OnMessage(mosquitto*, void* self, const mosquitto_message* msg,
                          const mosquitto_property* props);
    static void OnLog(mosquitto*, void* self, int level, const char* text);

    void Loop();
    void Wake();
    bool WaitFor(int ms);    // false when stopping
    bool Connected(int rc);  // false: refused
    void Lost(const std::string& why);
    void PublishPending();
    bool Publish(const std::string& topic, const std::string& payload, bool retain,
                 const mosquitto_property* props = nullptr);
    // A message the subscription brought, as the callback copied it.
    struct Incoming {
        std::string topic, payload, correlation;
        bool retained = false;
    };
    void HandleSet(const Incoming& msg);

    MqttSettings settings_;
    CValueBoard& board_;
    const std::vector<Tag>& tags_;
    IWriter& writer_;
    std::map<std::string, std::size_t> byTopic_;  // tag topic level -> tag
    std::string host_;
    int port_ = 1883;
    bool tls_ = false;

    mosquitto* mosq_ = nullptr;
    int wakeFd_ = -1;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> ready_{false};     // CONNACK accepted
    std::atomic<std::int64_t> beat_{0};  // when the thread last went round
    bool connecting_ = false;
    bool everConnected_ = false;
    std::int64_t connectStartMs_ = 0, lostAtMs_ = 0;
    int backoffMs_ = 1000;
    std::string lastTrouble_;  // said once per outage
    std::string tlsError_;     // the library's last TLS complaint
    long inflight_ = 0;
    int connack_ = -1;          // the broker's answer to the connection, until acted on
    int disconnectReason_ = 0;  // a reason code the broker sent with its DISCONNECT
    std::vector<Incoming> incoming_;
    std::atomic<std::uint64_t> published_{0};

    std::mutex mu_;  // the queues below
    std::map<std::string, std::string> stations_;
    std::map<std::string, bool> stationsDirty_;
    std::deque<std::string> messages_;
    std::vector<std::pair<std::size_t, Sample>> batch_;
};

}  // namespace serve
