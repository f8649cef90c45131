// The socket protocol between a TVIOCTRL device handle and the tvioctrld service.
//
// One DeviceIoControl is one request and one answer, in order, over a UNIX-domain stream socket
// or through the handle's queue (below).
// A port write the caller need not wait for goes with kNoAnswer: it is answered only when it
// fails, so the client sends it and goes on, and the next answer it waits for tells whether
// everything sent before went well. Both messages have a fixed size, so a reader always knows
// how many bytes to wait for, and a message that is not exactly right is recognisable as such:
//
//   Request (36 bytes): magic "TVIQ", version, size, sequence, control code, input length,
//                       flags, input bytes (at most 16; the three control codes use 4 or 8,
//                       a read with kThenWrite 16).
//   Reply   (36 bytes): magic "TVIA", version, size, sequence of the request answered, status,
//                       output length, output bytes.
//
// The answer to IOCTL_MAP_PHYSICAL_MEMORY carries one file descriptor as SCM_RIGHTS ancillary
// data (a memfd for the simulated board, /dev/mem for the real one) and, in its output, a
// MapAnswer: the offset at which to map that descriptor and the length to map. The client maps
// it MAP_SHARED, so the board side's writes are seen at once; a file descriptor too short for
// the window is not mapped. All fields are in host order: both ends run on the same machine.
//
// Port calls can also go through a queue in shared memory instead of the socket (kOpenQueue):
// the same requests and answers, without a system call for each while the service watches the
// queue. The socket then carries only the calls that pass a descriptor and the service's
// wake-ups (kKick).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace tvio::wire {

inline constexpr std::uint32_t kRequestMagic = 0x51495654u;  // "TVIQ" in memory
inline constexpr std::uint32_t kReplyMagic = 0x41495654u;    // "TVIA" in memory
inline constexpr std::uint16_t kVersion = 4;
inline constexpr std::uint32_t kMaxPayload = 16;

struct Request {
    std::uint32_t magic;
    std::uint16_t version;
    std::uint16_t size;  // sizeof(Request)
    std::uint32_t seq;
    std::uint32_t code;    // the control code, as passed to DeviceIoControl
    std::uint16_t inSize;  // bytes of `in` that are used
    std::uint16_t flags;   // Flags
    std::uint8_t in[kMaxPayload];
};
static_assert(sizeof(Request) == 36);

enum Flags : std::uint16_t {
    // Answer only a failure (IOCTL_WRITE_PORT_BYTE only): the client does not wait for it.
    kNoAnswer = 1,
    // IOCTL_READ_PORT_BYTE only, with 16 bytes of input {port, mask, then, value}: reads the
    // port and, when none of the mask's bits read 1, writes the value to port `then` before
    // answering. The output is {value read, 1 if written}. An access lock's status read and the
    // bank select after its grant, in one exchange.
    kThenWrite = 2,
};

enum Status : std::uint32_t {
    kOk = 0,
    kBadMessage = 1,   // wrong magic or size: the service drops the connection after answering
    kBadVersion = 2,   // the service speaks another version; ditto
    kUnknownCode = 3,  // not one of the three control codes
    kBadInput = 4,     // input length wrong for the control code, or flags it cannot have
    kRefused = 5,      // port or window outside what a client may touch, or a window
                       // descriptor this client may not have (see the service's README)
    kIoError = 6,      // the backend failed (device error, no window to give)
};

// Codes of the socket protocol itself, beside the three control codes.
enum QueueCode : std::uint32_t {
    // Input none. Answered with a descriptor (a sealed memfd holding a Queue) that the client
    // maps shared; from then on its port calls may go through the queue.
    kOpenQueue = 0x51560001u,
    // Input none, never answered: the client has put requests in its queue while the service
    // was not watching it.
    kKick = 0x51560002u,
};

struct Reply {
    std::uint32_t magic;
    std::uint16_t version;
    std::uint16_t size;  // sizeof(Reply)
    std::uint32_t seq;
    std::uint32_t status;   // Status
    std::uint32_t outSize;  // bytes of `out` that are used
    std::uint8_t out[kMaxPayload];
};
static_assert(sizeof(Reply) == 36);

// Output of a successful map answer; the descriptor travels beside it.
struct MapAnswer {
    std::uint64_t offset;
    std::uint32_t length;
    std::uint32_t reserved;
};
static_assert(sizeof(MapAnswer) <= kMaxPayload);

// One connection's queue. The client puts requests in `requests` and counts them in `posted`;
// the service takes them in order, counts them in `taken`, and puts the answers of those that
// have one in `answers`, counted in `answered` (the same answers as on the socket: a port write
// sent without waiting only when it failed, after which the service hangs up). Counters run
// on and wrap; slot = counter % kQueueSlots. Each side writes only its own counters and flags
// and keeps its own copy of them: what it reads of the other's it takes for a claim to check.
//
// While the service serves the queues, `serviceAwake` is 1 and a client's requests need nothing
// more. When it has nothing to do it first waits on every queue's `posted` as a futex word
// (FUTEX_WAITV, shared) with kServiceWaiting in the flag: the client that exchanges that for 1
// wakes it (FUTEX_WAKE on `posted`). After a while it sleeps in poll with 0 in the flag, and the
// client that exchanges 0 for 1 sends kKick on the socket. Before it waits or sleeps the
// service stores the flag and looks once more at `posted`. A client waiting for its
// answer stores 1 in `clientAsleep` and sleeps on `answered` as a futex word (FUTEX_WAIT,
// shared: the word is in a shared mapping), for as long as it holds the count it has seen;
// the service, answering, takes the flag back to 0 and wakes it (FUTEX_WAKE). Flags and counts
// are stored and read sequentially consistent: of two sides that store one then read the
// other, one sees the other's work.
inline constexpr std::uint32_t kQueueSlots = 64;
inline constexpr std::uint32_t kServiceWaiting = 2;  // serviceAwake: waits on `posted`

struct Queue {
    alignas(64) std::atomic<std::uint32_t> posted;  // client
    std::atomic<std::uint32_t> serviceAwake;        // client sets 1, service sets both
    std::atomic<std::uint32_t> clientAsleep;        // client sets 1, service takes it to 0
    alignas(64) std::atomic<std::uint32_t> taken;   // service
    std::atomic<std::uint32_t> answered;            // service
    alignas(64) Request requests[kQueueSlots];
    alignas(64) Reply answers[kQueueSlots];
};
static_assert(std::atomic<std::uint32_t>::is_always_lock_free &&
              sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t));

inline const char* StatusText(std::uint32_t status) {
    switch (status) {
        case kOk:
            return "ok";
        case kBadMessage:
            return "malformed message";
        case kBadVersion:
            return "protocol version mismatch";
        case kUnknownCode:
            return "unknown control code";
        case kBadInput:
            return "bad input length";
        case kRefused:
            return "refused";
        case kIoError:
            return "I/O error";

        default:
            return "unknown status";
    }
}

}  // namespace tvio::wire
