// The service's socket: accepts any number of clients and serves their control calls one by one
// from a single loop, so the backend sees one caller at a time and in order. Every call is
// answered except a port write sent without waiting that went well. A client's port calls may
// come through its queue in shared memory as well: the loop serves the queues while they have
// work and then sleeps in poll until a client kicks it; a client whose requests find it awake
// needs no system call for them.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "backend.h"
#include "platform/tvioctrl_wire.h"

namespace iosvc {

// Whether a client may touch this port or this window.
bool PortAllowed(std::uint32_t port);
bool WindowAllowed(std::uint32_t physical, std::uint32_t length);

class CIoServer {
public:
    explicit CIoServer(IBackend& backend) : backend_(backend) {}
    ~CIoServer();
    CIoServer(const CIoServer&) = delete;
    CIoServer& operator=(const CIoServer&) = delete;

    // Creates the socket's folder if missing, removes a stale socket file (one nobody listens on)
    // and listens. Refuses a path where another service answers or where a non-socket lies.
    // `mode`, when not 0, replaces the socket's permission bits (e.g. 0660 to let one group in).
    bool Listen(const std::string& path, unsigned mode = 0);
    // Serves until stopFd becomes readable (or fails); then closes every client. With a
    // heartbeat, calls it at least every `everyMs` while serving (a watchdog's ping).
    void Run(int stopFd);
    void SetHeartbeat(std::function<void()> beat, int everyMs) {
        beat_ = std::move(beat);
        beatMs_ = everyMs;
    }
    // Stops listening and removes the socket file.
    void Close();

    // The answer to one request; fdOut gets a descriptor to pass along, or -1. `who` names the
    // client in the log; `refusals` counts its refusals, so that a rogue client cannot flood it;
    // `peer` is asked of the backend before a mapping.
    tvio::wire::Reply Handle(const tvio::wire::Request& req, int& fdOut, int who = 0,
                             int* refusals = nullptr, const Peer& peer = Peer{});

    // Serves one client's whole stream as Serve does, without a socket: the answers it sends in
    // order, up to the one after which the service hangs up; the client then leaves as if it had
    // closed.
    std::vector<tvio::wire::Reply> ServeBytes(const std::uint8_t* data, std::size_t size);
    // One client as a script, for fuzzing the queue: each step is a byte, then its operands.
    // 0: a socket message (36 bytes) served as the loop serves one; 1: a request (36 bytes) put
    // in the client's queue and counted; 2: a lying count or a slot written again after it was
    // counted; 3: the loop's round over the queue. The socket answers and the queue's, in order.
    std::vector<tvio::wire::Reply> ServeScript(const std::uint8_t* data, std::size_t size);

    // Rounds over the queues before the loop looks at the sockets again.
    static constexpr int kRoundsPerLook = 16;
    // How long the loop, its queues idle, waits on their futex words before it sleeps in poll.
    // A client's requests end the wait; within a burst of them the next comes well before.
    static constexpr long kQueueWaitMicroseconds = 1000;
    // Mappings one connection may hold.
    static constexpr int kMappingsPerClient = 16;
    // Connections one user may hold by default (0: no limit). The one above it is told so and
    // closed: one user cannot take the service's descriptors from the others.
    static constexpr int kDefaultClientsPerUser = 16;
    void SetClientsPerUser(int limit) { maxPerUser_ = limit; }

private:
    // At most kLinesPerWindow lines of a kind per kWindow; the next line logged says how many
    // were left out.
    class LogGate {
    public:
        bool Allow();
        // The lines left out since the last call, as a count or as words to append.
        long TakeSkipped();
        std::string Skipped();

    private:
        static constexpr int kLinesPerWindow = 20;
        static constexpr std::chrono::seconds kWindow{10};
        std::chrono::steady_clock::time_point windowStart_{};
        int inWindow_ = 0;
        long skipped_ = 0;
    };

    struct Client {
        int fd = -1;
        int id = 0;
        std::uint8_t buffer[8 * sizeof(tvio::wire::Request)];
        std::size_t have = 0;
        int refusals = 0;
        int mappings = 0;
        Peer peer;
        // Last value this client wrote to each board's control port (base + 0), while it is
        // the one that decides the board's access.
        std::map<std::uint16_t, std::uint8_t> control;
        // The queue in shared memory, once the client opened it, and the service's own counts
        // of it (the shared ones are only published).
        int queueFd = -1;
        tvio::wire::Queue* queue = nullptr;
        std::uint32_t taken = 0, answered = 0;
    };

    void Accept();
    // Whether this peer already holds as many connections as one user may (those that have
    // hung up served and dropped first); logs a refusal.
    bool OverLimit(const Peer& peer);
    // Counts one more refusal of client `who`; true while it is to be logged: ten per
    // connection, and at most LogGate's rate per user.
    bool Logged(int* refusals, int who, const Peer& peer);
    // false when the client is to be dropped.
    bool Serve(std::size_t index);
    // Answers one whole message of clients_[index]; `send` is false for an answer the client
    // does not wait for (a write sent without waiting that went well); `ends` is true when the
    // service hangs up after it.
    // `queued` for a message taken from the client's queue.
    tvio::wire::Reply Answer(std::size_t index, const std::uint8_t* message, int& fd, bool& send,
                             bool& ends, bool queued);
    bool SendReply(Client& c, const tvio::wire::Reply& reply, int fd);
    // Serves one socket message of clients_[index] after what its queue holds; false when the
    // client is to be dropped.
    bool ServeMessage(std::size_t index, const std::uint8_t* message, tvio::wire::Reply& reply,
                      int& fd, bool& send, bool& ends);
    // The answer to kOpenQueue: a new queue, its descriptor in fd.
    tvio::wire::Reply OpenQueue(Client& c, const tvio::wire::Request& req, int& fd);
    // Serves what clients_[index] has put in its queue; false when the client is to be dropped.
    bool ServeQueue(std::size_t index, bool& served);
    // Serves every queue once; drops the clients whose queue is broken. True if any had work.
    bool ServeQueues();
    // Says to every client whether the loop watches the queues.
    void SetWatching(bool watching);
    // Waits up to kQueueWaitMicroseconds for a request in any queue; false when none came.
    bool AwaitQueues();
    static void CloseQueue(Client& c);
    void Drop(std::size_t index, const char* why);
    // Notes a control-port write by clients_[index]; the board has one access register, so the
    // last writer owns it.
    void NoteControl(std::size_t index, const tvio::wire::Request& req,
                     const tvio::wire::Reply& reply);
    // Gives back the board access a leaving client still holds, as if it had written 0xC0.
    void ReleaseAccess(Client& c);

    IBackend& backend_;
    std::string path_;
    int listenFd_ = -1;
    int nextId_ = 1;
    bool acceptPaused_ = false;  // out of descriptors: wait for a client to leave
    bool queueWork_ = false;     // a socket message came after requests in its client's queue
    int maxPerUser_ = kDefaultClientsPerUser;
    bool futexWaitv_ = true;            // the kernel has futex_waitv
    LogGate clientLog_;                 // clients coming, going, or misbehaving once
    LogGate refusalLog_;                // connections refused over the limit per user
    std::map<uid_t, LogGate> userLog_;  // refusals, per user across all their connections
    std::vector<Client> clients_;
    std::function<void()> beat_;
    int beatMs_ = 0;
};

}  // namespace iosvc
