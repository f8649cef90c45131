// Client side of the device services: a handle is one connection to the service's socket, a
// control call one request and one answer; a port write sent without waiting has an answer only
// when it fails (see platform/tvioctrl_wire.h). Port calls go through the connection's queue in
// shared memory, the mapping of a window (which passes a descriptor) through the socket.
#include "platform/linux_device.h"

#include <fcntl.h>
#include <linux/futex.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/tvioctrl.h"
#include "platform/tvioctrl_wire.h"

namespace plat {

std::string DeviceDirectory() {
    const char* dir = std::getenv("QX_DEVICE_DIR");
    return (dir && *dir) ? std::string(dir) : std::string("/run/quorix");
}

std::string DeviceSocketPath(const std::string& deviceName) {
    static const std::string prefix = "\\\\.\\";
    if (deviceName.rfind(prefix, 0) != 0 || deviceName.size() == prefix.size()) return {};
    std::string name = deviceName.substr(prefix.size());
    if (name.find_first_of("/\\") != std::string::npos) return {};
    return DeviceDirectory() + "/" + name + ".sock";
}

// The end of a call's time: every wait of the call takes what is left of it, whatever
// interrupts the wait (a signal, a partial read, bytes dripping in).
class Deadline {
    using Steady = std::chrono::steady_clock;

public:
    explicit Deadline(int ms) : end_(Steady::now() + std::chrono::milliseconds(ms)) {}
    bool Passed() const { return Steady::now() >= end_; }
    // Milliseconds left, rounded up, so that a wait never ends before the deadline.
    int LeftMs() const {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(end_ - Steady::now());
        return left.count() > 0 ? static_cast<int>(left.count()) : 0;
    }

private:
    Steady::time_point end_;
};

namespace {

// A caller sleeping for its answer in the queue looks this often whether the service has hung up.
constexpr long kHangUpLookMs = 20;
// A connection the service's backlog has no room for is tried again this often.
constexpr long kConnectRetryMs = 5;
// /dev/mem, the only device that may stand for the board's window.
constexpr unsigned kMemMajor = 1, kMemMinor = 1;

struct Mapping {
    void* address;
    std::size_t length;
};

// A mapping past the end of a file is made without complaint, and the first touch of it then
// ends the process with SIGBUS. So a descriptor is mapped only if it cannot shrink under us: a
// memfd sealed against shrinking that holds the whole range, or, for the board's window only,
// the physical memory device itself.
bool SafeToMap(int fd, std::uint64_t offset, std::uint64_t length, bool deviceAllowed) {
    struct stat st {};
    if (::fstat(fd, &st) < 0) return false;
    if (S_ISCHR(st.st_mode))
        return deviceAllowed && major(st.st_rdev) == kMemMajor && minor(st.st_rdev) == kMemMinor;
    if (!S_ISREG(st.st_mode) || st.st_size < 0) return false;
    const int seals = ::fcntl(fd, F_GET_SEALS);
    if (seals < 0 || !(seals & F_SEAL_SHRINK)) return false;
    const auto size = static_cast<std::uint64_t>(st.st_size);
    return offset <= size && size - offset >= length;
}

void CloseFds(std::vector<int>& fds) {
    for (int fd : fds) ::close(fd);
    fds.clear();
}

}  // namespace

struct LinuxDevice::Connection {
    std::mutex mu;  // one call at a time on a connection: the answers come in order
    int fd = -1;
    bool dead = false;
    std::uint32_t seq = 0;
    std::vector<Mapping> mappings;
    // The queue, when the service gave one, and this side's own counts of it.
    tvio::wire::Queue* queue = nullptr;
    std::uint32_t posted = 0, answered = 0;

    ~Connection() {
        if (fd >= 0) ::close(fd);
    }

    tvio::wire::Request MakeRequest(std::uint32_t code, const void* in, std::uint32_t inSize,
                                    std::uint16_t flags) {
        tvio::wire::Request req{};
        req.magic = tvio::wire::kRequestMagic;
        req.version = tvio::wire::kVersion;
        req.size = sizeof req;
        req.seq = ++seq;
        req.code = code;
        req.inSize = static_cast<std::uint16_t>(inSize);
        req.flags = flags;
        if (inSize) std::memcpy(req.in, in, inSize);
        return req;
    }

    // The service has gone (or closed its side), or the handle is being closed. Nothing else
    // comes on the socket while the queue is in use.
    bool HungUp() {
        pollfd p{fd, POLLRDHUP, 0};
        return ::poll(&p, 1, 0) != 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR | POLLNVAL));
    }

    // Puts a request in the queue; kicks the service if it is not watching the queue.
    bool Post(const tvio::wire::Request& req, const Deadline& deadline) {
        tvio::wire::Queue& q = *queue;
        // A full queue: the service takes requests as fast as the board takes them.
        while (posted - q.taken.load(std::memory_order_acquire) >= tvio::wire::kQueueSlots) {
            if (HungUp() || deadline.Passed()) return false;
            ::usleep(100);
        }
        q.requests[posted % tvio::wire::kQueueSlots] = req;
        q.posted.store(++posted, std::memory_order_seq_cst);
        const std::uint32_t was = q.serviceAwake.exchange(1, std::memory_order_seq_cst);
        if (was == 1) return true;
        if (was == tvio::wire::kServiceWaiting) {
            ::syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&q.posted), FUTEX_WAKE, 1,
                      nullptr, nullptr, 0);
            return true;
        }
        const tvio::wire::Request kick = MakeRequest(tvio::wire::kKick, nullptr, 0, 0);
        return SendAll(&kick, sizeof kick, deadline);
    }

    // Waits for the next answer in the queue, asleep on the answer count (a futex word shared
    // with the service) until the service wakes it. After every wake-up, whatever woke it, it
    // looks whether the service has hung up and whether the call's time is up. It does not
    // spin: on a machine with few cores a caller spinning for its answer keeps the service from
    // giving it.
    bool AwaitAnswer(tvio::wire::Reply& reply, const Deadline& deadline) {
        tvio::wire::Queue& q = *queue;
        while (q.answered.load(std::memory_order_seq_cst) == answered) {
            q.clientAsleep.store(1, std::memory_order_seq_cst);
            const long ms = std::min<long>(kHangUpLookMs, deadline.LeftMs());
            const timespec slice{0, ms * 1000000};
            // Sleeps only while the count is still the one seen: an answer put in after the
            // look above makes the call return at once.
            ::syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&q.answered), FUTEX_WAIT,
                      answered, &slice, nullptr, 0);
            if (q.answered.load(std::memory_order_seq_cst) != answered) break;
            if (HungUp() || deadline.Passed()) return false;
        }
        q.clientAsleep.store(0, std::memory_order_relaxed);
        reply = q.answers[answered % tvio::wire::kQueueSlots];
        ++answered;
        return true;
    }

    bool WaitFor(short events, const Deadline& deadline) {
        pollfd p{fd, events, 0};
        for (;;) {
            const int r = ::poll(&p, 1, deadline.LeftMs());
            if (r > 0) return true;
            if (r == 0 || errno != EINTR || deadline.Passed()) return false;
        }
    }

    bool SendAll(const void* data, std::size_t size, const Deadline& deadline) {
        auto p = static_cast<const char*>(data);
        while (size > 0) {
            ssize_t n = ::send(fd, p, size, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0) {
                p += n;
                size -= static_cast<std::size_t>(n);
            } else if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) {
                if (!WaitFor(POLLOUT, deadline)) return false;
            } else {
                return false;
            }
        }
        return true;
    }

    // Reads one whole answer by the call's deadline; descriptors passed along with it are
    // collected in fds. The read is tried first: an answer already there costs no poll.
    bool ReceiveAll(void* data, std::size_t size, std::vector<int>& fds, const Deadline& deadline) {
        auto p = static_cast<char*>(data);
        while (size > 0) {
            iovec iov{p, size};
            alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * 4)];
            msghdr msg{};
            msg.msg_iov = &iov;
            msg.msg_iovlen = 1;
            msg.msg_control = control;
            msg.msg_controllen = sizeof control;
            ssize_t n = ::recvmsg(fd, &msg, MSG_CMSG_CLOEXEC | MSG_DONTWAIT);
            if (n > 0) {
                for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
                    if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) continue;
                    std::size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
                    for (std::size_t i = 0; i < count; ++i) {
                        int received;
                        std::memcpy(&received, CMSG_DATA(c) + i * sizeof(int), sizeof(int));
                        fds.push_back(received);
                    }
                }
                if (msg.msg_flags & MSG_CTRUNC) return false;
                p += n;
                size -= static_cast<std::size_t>(n);
            } else if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) {
                if (!WaitFor(POLLIN, deadline)) return false;
            } else {
                return false;  // closed by the service, or an error
            }
        }
        return true;
    }
};

namespace {

// Connects to the service's socket by the deadline; false with the platform's error code set.
int ConnectTo(const sockaddr_un& addr, const Deadline& deadline) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        SetLastError(ERROR_GEN_FAILURE);
        return -1;
    }
    for (;;) {
        if (::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0) return fd;
        int err = errno;
        if (err == EINTR) continue;
        if (err == EINPROGRESS) {
            pollfd p{fd, POLLOUT, 0};
            int r;
            do {
                r = ::poll(&p, 1, deadline.LeftMs());
            } while (r < 0 && errno == EINTR && !deadline.Passed());
            socklen_t len = sizeof err;
            if (r > 0 && ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err == 0)
                return fd;
            if (r <= 0) err = ETIMEDOUT;
        } else if (err == EAGAIN && !deadline.Passed()) {
            // The listener's backlog is full: a service busy, stuck or flooded.
            const timespec pause{0, kConnectRetryMs * 1000000};
            ::nanosleep(&pause, nullptr);
            continue;
        }
        ::close(fd);
        if (err == ENOENT || err == ECONNREFUSED || err == ENOTDIR)
            SetLastError(ERROR_FILE_NOT_FOUND);
        else if (err == EACCES || err == EPERM)
            SetLastError(ERROR_ACCESS_DENIED);
        else if (err == EAGAIN || err == ETIMEDOUT)
            SetLastError(ERROR_SEM_TIMEOUT);
        else
            SetLastError(ERROR_GEN_FAILURE);
        return -1;
    }
}

}  // namespace

long SendWithDescriptor(int socket, const void* data, std::size_t size, int fd, int flags) {
    iovec iov{const_cast<void*>(data), size};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))];
    if (fd >= 0) {
        msg.msg_control = control;
        msg.msg_controllen = sizeof control;
        cmsghdr* cm = CMSG_FIRSTHDR(&msg);
        cm->cmsg_level = SOL_SOCKET;
        cm->cmsg_type = SCM_RIGHTS;
        cm->cmsg_len = CMSG_LEN(sizeof(int));
        std::memcpy(CMSG_DATA(cm), &fd, sizeof fd);
    }
    return ::sendmsg(socket, &msg, flags);
}

LinuxDevice::LinuxDevice() = default;

// Closes the connections still open at exit. The windows stay mapped: a thread of the process
// may still be looking at one while it ends.
LinuxDevice::~LinuxDevice() = default;

HANDLE LinuxDevice::CreateFileA(const char* path, std::uint32_t, std::uint32_t, std::uint32_t,
                                std::uint32_t) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    if (!path) return INVALID_HANDLE_VALUE;
    std::string socketPath = DeviceSocketPath(path);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (socketPath.empty() || socketPath.size() >= sizeof addr.sun_path) {
        return INVALID_HANDLE_VALUE;
    }
    std::memcpy(addr.sun_path, socketPath.c_str(), socketPath.size() + 1);

    const Deadline deadline(callTimeoutMs_);
    const int fd = ConnectTo(addr, deadline);
    if (fd < 0) return INVALID_HANDLE_VALUE;
    HANDLE h = Adopt(fd);
    if (const std::uint32_t error = OpenQueue(h, deadline)) {
        CloseHandle(h);
        SetLastError(error);
        return INVALID_HANDLE_VALUE;
    }
    SetLastError(0);
    return h;
}

bool LinuxDevice::OpenQueue(HANDLE h) { return OpenQueue(h, Deadline(callTimeoutMs_)) == 0; }

std::uint32_t LinuxDevice::OpenQueue(HANDLE h, const Deadline& deadline) {
    std::shared_ptr<Connection> conn = Find(h);
    if (!conn) return ERROR_GEN_FAILURE;
    std::lock_guard<std::mutex> lock(conn->mu);
    const tvio::wire::Request req = conn->MakeRequest(tvio::wire::kOpenQueue, nullptr, 0, 0);
    tvio::wire::Reply reply{};
    std::vector<int> fds;
    // A service over its limit answers before it has read the request and hangs up, so the
    // send may fail where the answer is already there to read.
    const bool sent = conn->SendAll(&req, sizeof req, deadline);
    if (!conn->ReceiveAll(&reply, sizeof reply, fds, deadline)) {
        CloseFds(fds);
        return ERROR_SEM_TIMEOUT;
    }
    const bool ours = reply.magic == tvio::wire::kReplyMagic &&
                      reply.version == tvio::wire::kVersion && reply.size == sizeof reply;
    // A service over its limit for this user says so, unasked, and hangs up.
    if (ours && reply.seq == 0 && reply.status == tvio::wire::kRefused) {
        CloseFds(fds);
        return ERROR_REQ_NOT_ACCEP;
    }
    if (!ours || !sent || reply.seq != req.seq) {
        CloseFds(fds);
        return ERROR_GEN_FAILURE;
    }
    // A service without a queue to give leaves the port calls on the socket; so does one
    // whose queue could shrink under us.
    std::uint32_t size = 0;
    if (reply.status == tvio::wire::kOk && reply.outSize == sizeof size) {
        std::memcpy(&size, reply.out, sizeof size);
    }
    if (size == sizeof(tvio::wire::Queue) && fds.size() == 1 &&
        SafeToMap(fds[0], 0, sizeof(tvio::wire::Queue), false)) {
        void* p = ::mmap(nullptr, sizeof(tvio::wire::Queue), PROT_READ | PROT_WRITE, MAP_SHARED,
                         fds[0], 0);
        if (p != MAP_FAILED) conn->queue = static_cast<tvio::wire::Queue*>(p);
    }
    CloseFds(fds);
    return 0;
}

HANDLE LinuxDevice::Adopt(int fd) {
    // Every wait on the socket is a poll with what is left of the call's time.
    const int fl = ::fcntl(fd, F_GETFL);
    if (fl >= 0 && !(fl & O_NONBLOCK)) ::fcntl(fd, F_SETFL, fl | O_NONBLOCK);
    auto conn = std::make_shared<Connection>();
    conn->fd = fd;
    std::lock_guard<std::mutex> lock(mu_);
    HANDLE h = next_++;
    open_[h] = std::move(conn);
    return h;
}

bool LinuxDevice::DeviceIoControl(HANDLE h, std::uint32_t code, const void* in,
                                  std::uint32_t inSize, void* out, std::uint32_t outSize,
                                  std::uint32_t* returned) {
    return Call(h, code, in, inSize, 0, out, outSize, returned);
}

bool LinuxDevice::ReadPortThenWrite(HANDLE h, std::uint32_t port, std::uint8_t mask,
                                    std::uint32_t then, std::uint8_t value, std::uint8_t& status,
                                    bool& wrote) {
    wrote = false;
    const std::uint32_t in[4] = {port, mask, then, value};
    std::uint32_t out[2] = {0xFF, 0};
    std::uint32_t returned = 0;
    if (!Call(h, tvio::IOCTL_READ_PORT_BYTE, in, sizeof in, tvio::wire::kThenWrite, out, sizeof out,
              &returned) ||
        returned != sizeof out)
        return false;
    status = static_cast<std::uint8_t>(out[0]);
    wrote = out[1] != 0;
    return true;
}

std::shared_ptr<LinuxDevice::Connection> LinuxDevice::Find(HANDLE h) {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = open_.find(h);
    return it == open_.end() ? nullptr : it->second;
}

bool LinuxDevice::Call(HANDLE h, std::uint32_t code, const void* in, std::uint32_t inSize,
                       std::uint16_t flags, void* out, std::uint32_t outSize,
                       std::uint32_t* returned) {
    if (returned) *returned = 0;
    if (inSize > tvio::wire::kMaxPayload || (inSize && !in) || (outSize && !out)) return false;
    const bool map = code == tvio::IOCTL_MAP_PHYSICAL_MEMORY;
    if (map && outSize < tvio::kMapOutputSize) return false;

    std::shared_ptr<Connection> conn = Find(h);
    if (!conn) return false;

    std::lock_guard<std::mutex> lock(conn->mu);
    if (conn->dead) return false;

    const Deadline deadline(callTimeoutMs_);
    const tvio::wire::Request req = conn->MakeRequest(code, in, inSize, flags);
    tvio::wire::Reply reply{};
    std::vector<int> fds;
    const bool exchanged = conn->queue && !map
                               ? conn->Post(req, deadline) && conn->AwaitAnswer(reply, deadline)
                               : conn->SendAll(&req, sizeof req, deadline) &&
                                     conn->ReceiveAll(&reply, sizeof reply, fds, deadline);
    if (!exchanged) {
        // A half-done exchange leaves the stream out of step: no later call can trust it.
        conn->dead = true;
        CloseFds(fds);
        return false;
    }
    // Any other sequence number is the failure of a write sent without waiting (or garbage):
    // the board has missed a write, so nothing after it can be trusted either.
    if (reply.magic != tvio::wire::kReplyMagic || reply.version != tvio::wire::kVersion ||
        reply.size != sizeof reply || reply.seq != req.seq ||
        reply.outSize > tvio::wire::kMaxPayload) {
        conn->dead = true;
        CloseFds(fds);
        return false;
    }
    if (reply.status != tvio::wire::kOk) {
        if (reply.status == tvio::wire::kBadMessage || reply.status == tvio::wire::kBadVersion) {
            conn->dead = true;  // the service hangs up after these
        }
        CloseFds(fds);
        return false;
    }

    if (!map) {
        CloseFds(fds);  // nothing but a map answer carries a descriptor
        std::uint32_t n = std::min(outSize, reply.outSize);
        if (n) std::memcpy(out, reply.out, n);
        if (returned) *returned = n;
        return true;
    }

    tvio::wire::MapAnswer answer{};
    if (fds.size() != 1 || reply.outSize != sizeof answer) {
        CloseFds(fds);
        return false;
    }
    std::memcpy(&answer, reply.out, sizeof answer);
    std::uint32_t wanted = 0;
    if (inSize >= 8) std::memcpy(&wanted, static_cast<const char*>(in) + 4, 4);
    if (answer.length == 0 || answer.length != wanted) {
        CloseFds(fds);
        return false;
    }
    if (!SafeToMap(fds[0], answer.offset, answer.length, true)) {
        CloseFds(fds);
        return false;
    }
    void* p = ::mmap(nullptr, answer.length, PROT_READ | PROT_WRITE, MAP_SHARED, fds[0],
                     static_cast<off_t>(answer.offset));
    CloseFds(fds);  // the mapping keeps its own reference
    if (p == MAP_FAILED) return false;
    conn->mappings.push_back({p, answer.length});
    std::memset(out, 0, outSize);
    std::memcpy(out, &p, sizeof p);
    if (returned) *returned = tvio::kMapOutputSize;
    return true;
}

bool LinuxDevice::DeviceIoControlNoWait(HANDLE h, std::uint32_t code, const void* in,
                                        std::uint32_t inSize) {
    // Only a port write has nothing to give back; the other codes wait for their answer.
    if (code != tvio::IOCTL_WRITE_PORT_BYTE)
        return IDevice::DeviceIoControlNoWait(h, code, in, inSize);
    if (inSize > tvio::wire::kMaxPayload || (inSize && !in)) return false;
    std::shared_ptr<Connection> conn = Find(h);
    if (!conn) return false;
    std::lock_guard<std::mutex> lock(conn->mu);
    if (conn->dead) return false;
    const Deadline deadline(callTimeoutMs_);
    const tvio::wire::Request req = conn->MakeRequest(code, in, inSize, tvio::wire::kNoAnswer);
    if (!(conn->queue ? conn->Post(req, deadline) : conn->SendAll(&req, sizeof req, deadline))) {
        conn->dead = true;
        return false;
    }
    return true;
}

bool LinuxDevice::CloseHandle(HANDLE h) {
    std::shared_ptr<Connection> conn;
    {
        std::lock_guard<std::mutex> lock(mu_);
        auto it = open_.find(h);
        if (it == open_.end()) return false;
        conn = std::move(it->second);
        open_.erase(it);
    }
    // Wakes a call still waiting on this handle in another thread, then waits for it to leave.
    ::shutdown(conn->fd, SHUT_RDWR);
    std::lock_guard<std::mutex> lock(conn->mu);
    ::close(conn->fd);
    conn->fd = -1;
    conn->dead = true;
    for (const Mapping& m : conn->mappings) ::munmap(m.address, m.length);
    conn->mappings.clear();
    if (conn->queue) ::munmap(conn->queue, sizeof(tvio::wire::Queue));
    conn->queue = nullptr;
    return true;
}

bool LinuxDevice::GetVersionExA(OSVERSIONINFOA* info) {
    if (!info || info->dwOSVersionInfoSize != sizeof(OSVERSIONINFOA)) return false;
    std::memset(reinterpret_cast<char*>(info) + 4, 0, sizeof(OSVERSIONINFOA) - 4);
    info->dwMajorVersion = 5;
    info->dwMinorVersion = 1;
    info->dwPlatformId = VER_PLATFORM_WIN32_NT;
    return true;
}

}  // namespace plat
