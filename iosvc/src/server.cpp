#include "server.h"

#include <fcntl.h>
#include <linux/futex.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <new>

#include "log.h"
#include "platform/linux_device.h"
#include "platform/tvioctrl.h"

namespace iosvc {
namespace {

using tvio::wire::Queue;
using tvio::wire::Reply;
using tvio::wire::Request;

// A client's refusals (and unknown codes, failed mappings) are logged up to this many; the
// last of them says that the rest are not.
constexpr int kRefusalsLogged = 10;

// Requests served from one client before the others get their turn.
constexpr int kRequestsPerTurn = 64;
// Control port value bits: both high bits set means "not reset"; the low two ask for access.
constexpr std::uint8_t kControlUp = 0xC0, kAccessMask = 0x03;

// After these the stream cannot be trusted to be in step any more: the service hangs up.
bool EndsStream(const Reply& reply) {
    return reply.status == tvio::wire::kBadMessage || reply.status == tvio::wire::kBadVersion;
}

bool WellFormed(const Request& req) {
    return req.magic == tvio::wire::kRequestMagic && req.size == sizeof req &&
           req.version == tvio::wire::kVersion;
}

Reply AnswerTo(std::uint32_t seq, std::uint32_t status) {
    Reply reply{};
    reply.magic = tvio::wire::kReplyMagic;
    reply.version = tvio::wire::kVersion;
    reply.size = sizeof reply;
    reply.seq = seq;
    reply.status = status;
    return reply;
}

std::uint32_t Word(const Request& req, int index) {
    std::uint32_t w;
    std::memcpy(&w, req.in + 4 * index, 4);
    return w;
}

Peer ReadPeer(int fd) {
    Peer peer;
    ucred cred{};
    socklen_t len = sizeof cred;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0) return peer;
    peer.known = true;
    peer.pid = cred.pid;
    peer.uid = cred.uid;
    peer.gid = cred.gid;
    // Supplementary groups; without them (an old kernel) only the primary group counts.
    peer.groups.resize(32);
    for (int attempt = 0; attempt < 4; ++attempt) {
        len = static_cast<socklen_t>(peer.groups.size() * sizeof(gid_t));
        if (::getsockopt(fd, SOL_SOCKET, SO_PEERGROUPS, peer.groups.data(), &len) == 0) {
            peer.groups.resize(len / sizeof(gid_t));
            return peer;
        }
        if (errno != ERANGE) break;
        peer.groups.resize(len / sizeof(gid_t) + 1);
    }
    peer.groups.clear();
    return peer;
}

std::string PeerText(const Peer& peer) {
    if (!peer.known) return "peer unknown";
    return "pid " + std::to_string(peer.pid) + ", uid " + std::to_string(peer.uid);
}

}  // namespace

bool PortAllowed(std::uint32_t port) { return port >= tvio::kPortFirst && port <= tvio::kPortLast; }

bool WindowAllowed(std::uint32_t physical, std::uint32_t length) {
    return length == tvio::kWindowSize && physical % tvio::kWindowSize == 0 &&
           physical >= tvio::kWindowFirst &&
           std::uint64_t{physical} + length - 1 <= tvio::kWindowLast;
}

CIoServer::~CIoServer() {
    for (Client& c : clients_) {
        ::close(c.fd);
        CloseQueue(c);
    }
    clients_.clear();
    Close();
}

bool CIoServer::Listen(const std::string& path, unsigned mode) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof addr.sun_path) {
        Log(LogLevel::Error, "socket path too long or empty: '%s'", path.c_str());
        return false;
    }
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);

    std::error_code ec;
    std::filesystem::path folder = std::filesystem::path(path).parent_path();
    if (!folder.empty() && !std::filesystem::exists(folder, ec)) {
        std::filesystem::create_directories(folder, ec);
        if (ec) {
            Log(LogLevel::Error, "cannot create socket folder %s: %s", folder.c_str(),
                ec.message().c_str());
            return false;
        }
        Log(LogLevel::Info, "created socket folder %s", folder.c_str());
    }

    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0) {
        if (!S_ISSOCK(st.st_mode)) {
            Log(LogLevel::Error, "%s exists and is not a socket; not touching it", path.c_str());
            return false;
        }
        int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        bool alive = probe >= 0 &&
                     ::connect(probe, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0;
        if (probe >= 0) ::close(probe);
        if (alive) {
            Log(LogLevel::Error, "another service already listens on %s", path.c_str());
            return false;
        }
        ::unlink(path.c_str());
        Log(LogLevel::Info, "removed stale socket %s", path.c_str());
    }

    listenFd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (listenFd_ < 0) {
        Log(LogLevel::Error, "socket: %s", std::strerror(errno));
        return false;
    }
    if (::bind(listenFd_, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) < 0 ||
        (mode && ::chmod(path.c_str(), mode) < 0) || ::listen(listenFd_, 64) < 0) {
        Log(LogLevel::Error, "cannot listen on %s: %s", path.c_str(), std::strerror(errno));
        ::close(listenFd_);
        ::unlink(path.c_str());
        listenFd_ = -1;
        return false;
    }
    path_ = path;
    Log(LogLevel::Info, "listening on %s, backend %s", path.c_str(), backend_.Describe().c_str());
    return true;
}

void CIoServer::Close() {
    if (listenFd_ >= 0) {
        ::close(listenFd_);
        listenFd_ = -1;
    }
    if (!path_.empty()) {
        ::unlink(path_.c_str());
        Log(LogLevel::Info, "removed socket %s", path_.c_str());
        path_.clear();
    }
}

void CIoServer::Run(int stopFd) {
    // A client that kicks the loop goes on to wait for its answer before the loop runs: the
    // loop's wake-up does not preempt it, which spares a pair of context switches per request.
    sched_param batch{};
    ::pthread_setschedparam(::pthread_self(), SCHED_BATCH, &batch);
    std::vector<pollfd> fds;
    // While the loop serves the queues their clients need not kick it; it looks at the sockets
    // between rounds, and sleeps in poll as soon as a round finds no work.
    bool watching = false;
    auto lastBeat = std::chrono::steady_clock::now();
    for (;;) {
        if (beat_) {
            const auto now = std::chrono::steady_clock::now();
            if (now - lastBeat >= std::chrono::milliseconds(beatMs_)) {
                beat_();
                lastBeat = now;
            }
        }
        fds.clear();
        fds.push_back({stopFd, POLLIN, 0});
        fds.push_back({listenFd_, static_cast<short>(acceptPaused_ ? 0 : POLLIN), 0});
        for (const Client& c : clients_) fds.push_back({c.fd, POLLIN, 0});

        int r = ::poll(fds.data(), fds.size(), watching ? 0 : beat_ ? beatMs_ : -1);
        if (r < 0) {
            if (errno == EINTR) continue;
            Log(LogLevel::Error, "poll: %s", std::strerror(errno));
            break;
        }
        if (fds[0].revents) break;

        // Clients first, by their place in this round's list; drops shift the vector, so walk
        // it from the back.
        for (std::size_t i = fds.size(); i-- > 2;) {
            std::size_t index = i - 2;
            if (!fds[i].revents) continue;
            if (!Serve(index)) Drop(index, nullptr);
        }
        if (fds[1].revents & POLLIN) Accept();

        // Serves the queues while they have work. Idle, it first waits a while on the queues'
        // own futex words, which a client's next request ends; then it says it sleeps and
        // looks once more, for a request put in before a client could see that.
        for (int round = 1;; ++round) {
            const bool work = ServeQueues() || queueWork_;
            queueWork_ = false;
            if (work && !watching) SetWatching(watching = true);
            if (round >= kRoundsPerLook) break;  // still watching: poll only looks at sockets
            if (work) continue;
            if (!watching) break;
            if (AwaitQueues()) continue;
            SetWatching(watching = false);
        }
    }
    for (Client& c : clients_) {
        ::close(c.fd);
        CloseQueue(c);
        Log(LogLevel::Info, "client %d closed at shutdown", c.id);
    }
    clients_.clear();
}

Reply CIoServer::OpenQueue(Client& c, const Request& req, int& fd) {
    Reply reply = AnswerTo(req.seq, tvio::wire::kOk);
    if (req.inSize != 0 || req.flags != 0 || c.queue) {
        reply.status = tvio::wire::kBadInput;
        return reply;
    }
    // Sealed at its size, as the window is: the client cannot shrink it under the service.
    const int q = ::memfd_create("tvio-queue", MFD_CLOEXEC | MFD_ALLOW_SEALING);
    void* p = MAP_FAILED;
    if (q >= 0 && ::ftruncate(q, sizeof(Queue)) == 0 &&
        ::fcntl(q, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_SEAL) == 0)
        p = ::mmap(nullptr, sizeof(Queue), PROT_READ | PROT_WRITE, MAP_SHARED, q, 0);
    if (p == MAP_FAILED) {
        if (clientLog_.Allow())
            Log(LogLevel::Warning, "client %d: no queue: %s%s", c.id, std::strerror(errno),
                clientLog_.Skipped().c_str());
        if (q >= 0) ::close(q);
        reply.status = tvio::wire::kIoError;
        return reply;
    }
    c.queue = new (p) Queue();
    c.queueFd = q;
    c.taken = c.answered = 0;
    const std::uint32_t size = sizeof(Queue);
    std::memcpy(reply.out, &size, sizeof size);
    reply.outSize = sizeof size;
    fd = q;
    return reply;
}

void CIoServer::CloseQueue(Client& c) {
    if (c.queue) ::munmap(c.queue, sizeof(Queue));
    if (c.queueFd >= 0) ::close(c.queueFd);
    c.queue = nullptr;
    c.queueFd = -1;
}

bool CIoServer::ServeQueue(std::size_t index, bool& served) {
    Client& c = clients_[index];
    if (!c.queue) return true;
    Queue& q = *c.queue;
    // The client's count is a claim: more than a queue's worth ahead is no queue of ours.
    // Sequentially consistent, as the flag the loop stored before it looked (wire header).
    std::uint32_t pending = q.posted.load(std::memory_order_seq_cst) - c.taken;
    if (pending > tvio::wire::kQueueSlots) {
        if (clientLog_.Allow())
            Log(LogLevel::Warning, "client %d: queue count out of range%s", c.id,
                clientLog_.Skipped().c_str());
        return false;
    }
    for (; pending > 0; --pending) {
        // Copied out before it is looked at: the client can write the shared slot at any time.
        std::uint8_t message[sizeof(Request)];
        std::memcpy(message, &q.requests[c.taken % tvio::wire::kQueueSlots], sizeof message);
        q.taken.store(++c.taken, std::memory_order_release);
        served = true;
        int fd = -1;
        bool send = true;
        bool ends = false;
        const Reply reply = Answer(index, message, fd, send, ends, true);
        if (send) {
            q.answers[c.answered % tvio::wire::kQueueSlots] = reply;
            q.answered.store(++c.answered, std::memory_order_seq_cst);
            if (q.clientAsleep.exchange(0, std::memory_order_seq_cst))
                ::syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&q.answered), FUTEX_WAKE, 1,
                          nullptr, nullptr, 0);
        }
        if (ends) return false;
    }
    return true;
}

bool CIoServer::ServeQueues() {
    bool any = false;
    for (std::size_t i = clients_.size(); i-- > 0;) {
        bool served = false;
        if (!ServeQueue(i, served)) Drop(i, nullptr);
        any = any || served;
    }
    return any;
}

bool CIoServer::AwaitQueues() {
    if (!futexWaitv_) return false;
    std::vector<futex_waitv> waiters;
    for (const Client& c : clients_) {
        if (!c.queue) continue;
        if (waiters.size() == FUTEX_WAITV_MAX) return false;  // too many to wait on: poll
        waiters.push_back(
            {c.taken, reinterpret_cast<std::uintptr_t>(&c.queue->posted), FUTEX_32, 0});
    }
    if (waiters.empty()) return false;
    for (Client& c : clients_)
        if (c.queue) c.queue->serviceAwake.store(tvio::wire::kServiceWaiting);
    // A request posted before the flag showed was not woken for.
    bool posted = false;
    for (const Client& c : clients_)
        if (c.queue && c.queue->posted.load() != c.taken) posted = true;
    int error = 0;
    if (!posted) {
        timespec until{};
        ::clock_gettime(CLOCK_MONOTONIC, &until);
        until.tv_nsec += kQueueWaitMicroseconds * 1000L;
        if (until.tv_nsec >= 1000000000L) {
            until.tv_sec += 1;
            until.tv_nsec -= 1000000000L;
        }
        if (::syscall(SYS_futex_waitv, waiters.data(), waiters.size(), 0, &until, CLOCK_MONOTONIC) <
            0)
            error = errno;
        if (error == ENOSYS) futexWaitv_ = false;  // an old kernel: poll only
    }
    SetWatching(true);
    return posted || (error != ETIMEDOUT && error != ENOSYS);
}

void CIoServer::SetWatching(bool watching) {
    for (Client& c : clients_)
        if (c.queue) c.queue->serviceAwake.store(watching ? 1 : 0, std::memory_order_seq_cst);
}

void CIoServer::Accept() {
    for (;;) {
        int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) {
            if (errno == EINTR) continue;
            if (errno == EMFILE || errno == ENFILE) {
                // The pending connection would keep the socket readable and the loop spinning.
                if (clientLog_.Allow())
                    Log(LogLevel::Warning,
                        "out of descriptors; new clients wait until one leaves%s",
                        clientLog_.Skipped().c_str());
                acceptPaused_ = true;
            } else if (errno != EAGAIN && errno != EWOULDBLOCK) {
                Log(LogLevel::Warning, "accept: %s", std::strerror(errno));
            }
            return;
        }
        Client c;
        c.fd = fd;
        c.id = nextId_++;
        c.peer = ReadPeer(fd);
        if (OverLimit(c.peer)) {
            // Said unasked, so that the client can tell this from a service that is not there.
            const Reply refusal = AnswerTo(0, tvio::wire::kRefused);
            [[maybe_unused]] ssize_t n =
                ::send(fd, &refusal, sizeof refusal, MSG_NOSIGNAL | MSG_DONTWAIT);
            ::close(fd);
            continue;
        }
        if (clientLog_.Allow())
            Log(LogLevel::Info, "client %d connected (%s)%s", c.id, PeerText(c.peer).c_str(),
                clientLog_.Skipped().c_str());
        clients_.push_back(std::move(c));
    }
}

bool CIoServer::OverLimit(const Peer& peer) {
    if (!peer.known || maxPerUser_ <= 0) return false;
    auto held = [&] {
        int count = 0;
        for (const Client& other : clients_)
            if (other.peer.known && other.peer.uid == peer.uid) ++count;
        return count;
    };
    if (held() < maxPerUser_) return false;
    // Connections that have hung up count until the loop sees it, which a user connecting
    // again at once outruns: what they sent is served and they are dropped first.
    for (std::size_t i = clients_.size(); i-- > 0;) {
        const Client& c = clients_[i];
        if (!c.peer.known || c.peer.uid != peer.uid) continue;
        pollfd p{c.fd, POLLRDHUP, 0};
        if (::poll(&p, 1, 0) <= 0 || !(p.revents & (POLLRDHUP | POLLHUP | POLLERR))) continue;
        // What it sent is bounded by the socket's buffer: a few turns reach its end.
        bool more = true;
        for (int turn = 0; more && turn < 128; ++turn) more = Serve(i);
        if (!more) Drop(i, nullptr);
    }
    const int count = held();
    if (count < maxPerUser_) return false;
    if (refusalLog_.Allow())
        Log(LogLevel::Warning,
            "refused a connection of uid %u (pid %ld): it has %d, the most one user may have%s",
            static_cast<unsigned>(peer.uid), static_cast<long>(peer.pid), count,
            refusalLog_.Skipped().c_str());
    return true;
}

bool CIoServer::Logged(int* refusals, int who, const Peer& peer) {
    const int count = refusals ? ++*refusals : 1;
    if (count > kRefusalsLogged) return false;
    // A user who opens a connection per burst gets no more lines than one who keeps one.
    LogGate& gate = userLog_[peer.known ? peer.uid : static_cast<uid_t>(-1)];
    if (!gate.Allow()) return false;
    if (const long skipped = gate.TakeSkipped())
        Log(LogLevel::Warning, "%ld refusals of uid %u's clients were not logged", skipped,
            static_cast<unsigned>(peer.uid));
    if (count == kRefusalsLogged)
        Log(LogLevel::Warning, "client %d: its further refusals are not logged", who);
    return true;
}

bool CIoServer::LogGate::Allow() {
    const auto now = std::chrono::steady_clock::now();
    if (now - windowStart_ >= kWindow) {
        windowStart_ = now;
        inWindow_ = 0;
    }
    if (inWindow_ < kLinesPerWindow) {
        ++inWindow_;
        return true;
    }
    ++skipped_;
    return false;
}

long CIoServer::LogGate::TakeSkipped() {
    const long skipped = skipped_;
    skipped_ = 0;
    return skipped;
}

std::string CIoServer::LogGate::Skipped() {
    const long skipped = TakeSkipped();
    return skipped ? " (" + std::to_string(skipped) + " such lines not logged before)" : "";
}

void CIoServer::NoteControl(std::size_t index, const Request& req, const Reply& reply) {
    if (req.code != tvio::IOCTL_WRITE_PORT_BYTE || reply.status != tvio::wire::kOk) return;
    const std::uint32_t port = Word(req, 0);
    if (port % 0x10 != 0) return;  // boards sit at 0x300, 0x310, ...: control is offset 0
    const auto p = static_cast<std::uint16_t>(port);
    for (std::size_t i = 0; i < clients_.size(); ++i)
        if (i != index) clients_[i].control.erase(p);
    clients_[index].control[p] = static_cast<std::uint8_t>(Word(req, 1));
}

void CIoServer::ReleaseAccess(Client& c) {
    for (const auto& [port, value] : c.control) {
        if ((value & kControlUp) != kControlUp || !(value & kAccessMask)) continue;
        // Left holding the window, the firmware would never serve anybody again.
        const bool ok = backend_.WritePort(port, kControlUp);
        if (clientLog_.Allow())
            Log(LogLevel::Warning, "client %d left holding access 0x%02X at port 0x%X; %s%s", c.id,
                value, port, ok ? "given back" : "giving it back failed",
                clientLog_.Skipped().c_str());
    }
    c.control.clear();
}

void CIoServer::Drop(std::size_t index, const char* why) {
    Client& c = clients_[index];
    ReleaseAccess(c);
    ::close(c.fd);
    CloseQueue(c);
    if (clientLog_.Allow())
        Log(LogLevel::Info, "client %d disconnected%s%s%s", c.id, why ? ": " : "", why ? why : "",
            clientLog_.Skipped().c_str());
    clients_.erase(clients_.begin() + static_cast<std::ptrdiff_t>(index));
    acceptPaused_ = false;
}

bool CIoServer::Serve(std::size_t index) {
    Client& c = clients_[index];
    for (int served = 0; served < kRequestsPerTurn;) {
        const std::size_t room = sizeof c.buffer - c.have;
        const ssize_t n = ::recv(c.fd, c.buffer + c.have, room, MSG_DONTWAIT);
        if (n == 0) {
            if (c.have % sizeof(Request) && clientLog_.Allow())
                Log(LogLevel::Warning, "client %d hung up inside a request%s", c.id,
                    clientLog_.Skipped().c_str());
            // What it sent without waiting before it closed is still performed.
            bool queued = false;
            ServeQueue(index, queued);
            return false;
        }
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) return true;
            if (clientLog_.Allow())
                Log(LogLevel::Warning, "client %d: %s%s", c.id, std::strerror(errno),
                    clientLog_.Skipped().c_str());
            return false;
        }
        c.have += static_cast<std::size_t>(n);
        std::size_t at = 0;
        for (; c.have - at >= sizeof(Request); at += sizeof(Request)) {
            ++served;
            int fd = -1;
            bool send = true;
            bool ends = false;
            Reply reply;
            if (!ServeMessage(index, c.buffer + at, reply, fd, send, ends)) return false;
            if (send && !SendReply(c, reply, fd)) return false;
            if (ends) return false;
        }
        std::memmove(c.buffer, c.buffer + at, c.have - at);
        c.have -= at;
        // A read that did not fill the room took all there was: no second call to learn that.
        if (static_cast<std::size_t>(n) < room) return true;
    }
    return true;
}

bool CIoServer::ServeMessage(std::size_t index, const std::uint8_t* message, Reply& reply, int& fd,
                             bool& send, bool& ends) {
    // What the client put in its queue before this message goes first.
    bool queued = false;
    if (!ServeQueue(index, queued)) return false;
    queueWork_ = queueWork_ || queued;
    reply = Answer(index, message, fd, send, ends, false);
    return true;
}

Reply CIoServer::Answer(std::size_t index, const std::uint8_t* message, int& fd, bool& send,
                        bool& ends, bool queued) {
    Client& c = clients_[index];
    Request req;
    std::memcpy(&req, message, sizeof req);
    fd = -1;
    send = true;
    ends = false;
    const bool queueCall = req.code == tvio::wire::kOpenQueue || req.code == tvio::wire::kKick;
    if (WellFormed(req) && queueCall && !queued) {
        if (req.code == tvio::wire::kOpenQueue) return OpenQueue(c, req, fd);
        // The queue was served before this message.
        if (req.inSize == 0 && req.flags == 0) {
            send = false;
            return AnswerTo(req.seq, tvio::wire::kOk);
        }
        return AnswerTo(req.seq, tvio::wire::kBadInput);
    }
    // A descriptor cannot travel through the queue, nor can the queue's own calls.
    const bool map = req.code == tvio::IOCTL_MAP_PHYSICAL_MEMORY;
    if (WellFormed(req) && queued && (queueCall || map))
        return AnswerTo(req.seq, tvio::wire::kBadInput);
    // Each mapping holds memory of the service's; a board needs one.
    if (WellFormed(req) && map && c.mappings >= kMappingsPerClient) {
        if (Logged(&c.refusals, c.id, c.peer))
            Log(LogLevel::Warning, "client %d: refused a mapping beyond %d", c.id,
                kMappingsPerClient);
        return AnswerTo(req.seq, tvio::wire::kRefused);
    }
    Reply reply = Handle(req, fd, c.id, &c.refusals, c.peer);
    if (map && fd >= 0) ++c.mappings;
    NoteControl(index, req, reply);
    // A write the client does not wait for is answered only when it failed. Then the service
    // hangs up: what the client sent after it counted on it, so none of that may reach the board.
    const bool unanswered =
        (req.flags & tvio::wire::kNoAnswer) && req.code == tvio::IOCTL_WRITE_PORT_BYTE;
    send = !(reply.status == tvio::wire::kOk && unanswered);
    ends = EndsStream(reply) || (unanswered && reply.status != tvio::wire::kOk);
    return reply;
}

std::vector<Reply> CIoServer::ServeBytes(const std::uint8_t* data, std::size_t size) {
    clients_.emplace_back().id = nextId_++;
    const std::size_t index = clients_.size() - 1;
    std::vector<Reply> replies;
    for (std::size_t at = 0; size - at >= sizeof(Request); at += sizeof(Request)) {
        int fd = -1;
        bool send = true;
        bool ends = false;
        Reply reply = Answer(index, data + at, fd, send, ends, false);
        if (send) replies.push_back(reply);
        if (ends) break;
    }
    ReleaseAccess(clients_[index]);
    CloseQueue(clients_[index]);
    clients_.erase(clients_.begin() + static_cast<std::ptrdiff_t>(index));
    return replies;
}

std::vector<Reply> CIoServer::ServeScript(const std::uint8_t* data, std::size_t size) {
    clients_.emplace_back().id = nextId_++;
    const std::size_t index = clients_.size() - 1;
    std::vector<Reply> replies;
    std::uint32_t posted = 0;  // the client's own count
    std::size_t at = 0;
    auto message = [&](std::uint8_t* into) {
        std::memset(into, 0, sizeof(Request));
        const std::size_t n = std::min(sizeof(Request), size - at);
        std::memcpy(into, data + at, n);
        at += n;
    };
    bool open = true;
    while (open && at < size) {
        const std::uint8_t op = data[at++];
        Queue* q = clients_[index].queue;
        std::uint8_t bytes[sizeof(Request)];
        switch (op % 4) {
            case 0: {  // a message on the socket, after what the queue holds
                message(bytes);
                Reply reply;
                int fd = -1;
                bool send = true, ends = false;
                open = ServeMessage(index, bytes, reply, fd, send, ends) && !ends;
                if (send) replies.push_back(reply);
                break;
            }
            case 1:  // a request put in the queue and counted
                message(bytes);
                if (!q) break;
                std::memcpy(&q->requests[posted % tvio::wire::kQueueSlots], bytes, sizeof bytes);
                q->posted.store(++posted);
                break;
            case 2:  // a count that lies, or a slot written again after it was counted
                if (!q || at >= size) break;
                if (op & 4)
                    q->posted.store(posted += static_cast<std::uint32_t>(data[at++]) - 128u);
                else
                    q->requests[data[at++] % tvio::wire::kQueueSlots].code ^= 0x55u << (op >> 3);
                break;
            case 3: {  // the loop's round over the queues, as after a kick or a wait
                bool served = false;
                open = ServeQueue(index, served);
                break;
            }
        }
    }
    if (clients_[index].queue) {
        const Queue& q = *clients_[index].queue;
        for (std::uint32_t i = 0; i < clients_[index].answered && i < tvio::wire::kQueueSlots; ++i)
            replies.push_back(q.answers[i]);
    }
    ReleaseAccess(clients_[index]);
    CloseQueue(clients_[index]);
    clients_.erase(clients_.begin() + static_cast<std::ptrdiff_t>(index));
    return replies;
}

bool CIoServer::SendReply(Client& c, const Reply& reply, int fd) {
    long n;
    do {
        n = plat::SendWithDescriptor(c.fd, &reply, sizeof reply, fd, MSG_NOSIGNAL | MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    // Answers are tiny and the client reads each at its next call; a full socket means a client
    // that sends without reading, which is dropped rather than waited for.
    if (n != static_cast<ssize_t>(sizeof reply)) {
        if (clientLog_.Allow())
            Log(LogLevel::Warning, "client %d: answer not sent (%s)%s", c.id,
                n < 0 ? std::strerror(errno) : "short write", clientLog_.Skipped().c_str());
        return false;
    }
    return true;
}

Reply CIoServer::Handle(const Request& req, int& fdOut, int who, int* refusals, const Peer& peer) {
    fdOut = -1;
    Reply reply = AnswerTo(req.seq, tvio::wire::kOk);

    auto refuse = [&](const char* what, std::uint32_t a, std::uint32_t b) {
        reply.status = tvio::wire::kRefused;
        if (Logged(refusals, who, peer))
            Log(LogLevel::Warning, "client %d: refused %s 0x%X (0x%X)", who, what, a, b);
    };

    if (req.magic != tvio::wire::kRequestMagic || req.size != sizeof req) {
        if (Logged(refusals, who, peer))
            Log(LogLevel::Warning, "client %d: malformed message", who);
        reply.status = tvio::wire::kBadMessage;
        return reply;
    }
    if (req.version != tvio::wire::kVersion) {
        if (Logged(refusals, who, peer))
            Log(LogLevel::Warning, "client %d: protocol version %u, expected %u", who, req.version,
                tvio::wire::kVersion);
        reply.status = tvio::wire::kBadVersion;
        return reply;
    }

    // Only a port write may go unanswered, only a port read carry a write; a flag this version
    // does not know is refused.
    if (req.flags & ~(tvio::wire::kNoAnswer | tvio::wire::kThenWrite) ||
        (req.flags & tvio::wire::kNoAnswer && req.code != tvio::IOCTL_WRITE_PORT_BYTE) ||
        (req.flags & tvio::wire::kThenWrite && req.code != tvio::IOCTL_READ_PORT_BYTE)) {
        reply.status = tvio::wire::kBadInput;
        return reply;
    }

    switch (req.code) {
        case tvio::IOCTL_READ_PORT_BYTE: {
            const bool thenWrite = (req.flags & tvio::wire::kThenWrite) != 0;
            if (req.inSize != (thenWrite ? 16 : 4)) {
                reply.status = tvio::wire::kBadInput;
                break;
            }
            std::uint32_t port = Word(req, 0);
            if (!PortAllowed(port)) {
                refuse("port read", port, 0);
                break;
            }
            const std::uint32_t mask = thenWrite ? Word(req, 1) : 0;
            const std::uint32_t then = thenWrite ? Word(req, 2) : 0;
            const std::uint32_t value = thenWrite ? Word(req, 3) : 0;
            if (thenWrite && !PortAllowed(then)) {
                refuse("port write", then, value);
                break;
            }
            // Board access is followed through plain writes of the control port only.
            if (thenWrite && then % 0x10 == 0) {
                reply.status = tvio::wire::kBadInput;
                break;
            }
            std::uint8_t read = 0xFF;
            if (!backend_.ReadPort(static_cast<std::uint16_t>(port), read)) {
                reply.status = tvio::wire::kIoError;
                break;
            }
            std::uint32_t out[2] = {read, 0};
            if (thenWrite && (read & mask) == 0) {
                if (!backend_.WritePort(static_cast<std::uint16_t>(then),
                                        static_cast<std::uint8_t>(value))) {
                    reply.status = tvio::wire::kIoError;
                    break;
                }
                out[1] = 1;
            }
            reply.outSize = thenWrite ? 8 : 4;
            std::memcpy(reply.out, out, reply.outSize);
            break;
        }
        case tvio::IOCTL_WRITE_PORT_BYTE: {
            if (req.inSize != 8) {
                reply.status = tvio::wire::kBadInput;
                break;
            }
            std::uint32_t port = Word(req, 0);
            std::uint32_t value = Word(req, 1);
            if (!PortAllowed(port)) {
                refuse("port write", port, value);
                break;
            }
            if (!backend_.WritePort(static_cast<std::uint16_t>(port),
                                    static_cast<std::uint8_t>(value))) {
                reply.status = tvio::wire::kIoError;
            }
            break;
        }
        case tvio::IOCTL_MAP_PHYSICAL_MEMORY: {
            if (req.inSize != 8) {
                reply.status = tvio::wire::kBadInput;
                break;
            }
            std::uint32_t physical = Word(req, 0);
            std::uint32_t length = Word(req, 1);
            if (!WindowAllowed(physical, length)) {
                refuse("mapping of", physical, length);
                break;
            }
            if (std::string why = backend_.RefuseMapping(peer); !why.empty()) {
                reply.status = tvio::wire::kRefused;
                if (Logged(refusals, who, peer))
                    Log(LogLevel::Warning, "client %d (%s): refused window 0x%05X: %s", who,
                        PeerText(peer).c_str(), physical, why.c_str());
                break;
            }
            int fd = -1;
            std::uint64_t offset = 0;
            if (!backend_.MapWindow(physical, length, fd, offset) || fd < 0) {
                if (Logged(refusals, who, peer))
                    Log(LogLevel::Warning, "client %d: no window at 0x%X", who, physical);
                reply.status = tvio::wire::kIoError;
                break;
            }
            tvio::wire::MapAnswer answer{offset, length, 0};
            std::memcpy(reply.out, &answer, sizeof answer);
            reply.outSize = sizeof answer;
            fdOut = fd;
            if (clientLog_.Allow())
                Log(LogLevel::Info, "client %d: mapped window 0x%05X%s", who, physical,
                    clientLog_.Skipped().c_str());
            break;
        }
        default:
            refuse("unknown control code", req.code, req.inSize);
            reply.status = tvio::wire::kUnknownCode;
            break;
    }
    if (Verbose()) {
        Log(LogLevel::Debug, "client %d: code 0x%08X in %u bytes%s -> %s", who, req.code,
            unsigned{req.inSize}, req.flags & tvio::wire::kNoAnswer ? ", no answer" : "",
            tvio::wire::StatusText(reply.status));
    }
    return reply;
}

}  // namespace iosvc
