// The service's answers as the client reads them: the fuzz input plays the service at the other
// end of a socket pair, with the bytes of up to six answers and, beside any of them, a memory
// file of its choosing as the passed descriptor. A call may be a write not waited for, or the
// request for a queue: then the input may give a real queue, sealed, and play the service's side
// of it too (answers put in it, counts that lie, the service's flag), so that the later calls
// take their answers from the queue. A window the client maps is read through, so a mapping past
// the descriptor's end shows as a crash.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <new>
#include <vector>

#include "fuzz_input.h"
#include "platform/linux_device.h"
#include "platform/tvioctrl.h"
#include "platform/tvioctrl_wire.h"

namespace {

struct Call {
    std::uint32_t code;
    std::uint32_t in[2];
    std::uint32_t inSize;
    std::uint32_t outSize;
    bool noWait;
    bool thenWrite;  // a status read carrying a bank select
    bool openQueue;
};

bool SendAnswer(int fd, const std::string& bytes, int passed) {
    return plat::SendWithDescriptor(fd, bytes.data(), bytes.size(), passed, MSG_NOSIGNAL) ==
           static_cast<long>(bytes.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::uint32_t kCodes[4] = {tvio::IOCTL_READ_PORT_BYTE, tvio::IOCTL_WRITE_PORT_BYTE,
                                            tvio::IOCTL_MAP_PHYSICAL_MEMORY, 0x12345678};
    fuzz::Input in(data, size);
    int sv[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) < 0) return 0;
    std::vector<Call> calls;
    tvio::wire::Queue* queue = nullptr;  // the service's side of a queue it gave
    int queueFd = -1;
    while (in.Left() && calls.size() < 6) {
        const std::uint8_t op = in.U8();
        Call c{kCodes[op & 3],   {0x340, 0},       (op & 0x10) ? 4u : 8u, (op & 0x20) ? 2u : 8u,
               (op & 0x40) != 0, (op & 0x80) != 0, (op & 0x43) == 0x43};
        c.in[1] = c.code == tvio::IOCTL_MAP_PHYSICAL_MEMORY ? in.U16() : in.U8();
        if (c.openQueue && (op & 4) && !queue) {
            // A queue as the service gives it, the answer right but for the sequence number.
            queueFd = ::memfd_create("fuzz-queue", MFD_CLOEXEC | MFD_ALLOW_SEALING);
            if (queueFd >= 0 && ::ftruncate(queueFd, sizeof(tvio::wire::Queue)) == 0 &&
                ::fcntl(queueFd, F_ADD_SEALS, F_SEAL_SHRINK) == 0) {
                void* p = ::mmap(nullptr, sizeof(tvio::wire::Queue), PROT_READ | PROT_WRITE,
                                 MAP_SHARED, queueFd, 0);
                if (p != MAP_FAILED) queue = new (p) tvio::wire::Queue();
            }
            tvio::wire::Reply reply{};
            reply.magic = tvio::wire::kReplyMagic;
            reply.version = tvio::wire::kVersion;
            reply.size = sizeof reply;
            reply.seq = static_cast<std::uint32_t>(calls.size() + 1);
            const std::uint32_t size = sizeof(tvio::wire::Queue);
            std::memcpy(reply.out, &size, sizeof size);
            reply.outSize = sizeof size;
            SendAnswer(sv[1], std::string(reinterpret_cast<const char*>(&reply), sizeof reply),
                       queueFd);
            calls.push_back(c);
            continue;
        }
        if (queue && (op & 8)) {
            // An answer in the queue, the count moved as the input says, the flag set.
            tvio::wire::Reply reply{};
            reply.magic = tvio::wire::kReplyMagic;
            reply.version = tvio::wire::kVersion;
            reply.size = sizeof reply;
            reply.seq = in.U8();
            reply.status = in.U8() % 8;
            reply.outSize = in.U8() % 24;
            const std::string out = in.Bytes(8);
            std::memcpy(reply.out, out.data(), out.size());
            const std::uint32_t answered = queue->answered.load();
            queue->answers[answered % tvio::wire::kQueueSlots] = reply;
            const std::uint8_t move = in.U8();
            queue->answered.store(answered + (move < 200 ? 1u : move));
            queue->serviceAwake.store(in.U8() % 4);
            if (op & 4) queue->taken.store(in.U32());
            calls.push_back(c);
            continue;
        }
        int passed = -1;
        if (op & 4) {
            passed = ::memfd_create("fuzz-answer", MFD_CLOEXEC | MFD_ALLOW_SEALING);
            if (passed >= 0 && ::ftruncate(passed, in.U16()) < 0) {
                ::close(passed);
                passed = -1;
            }
            if (passed >= 0 && (op & 8)) ::fcntl(passed, F_ADD_SEALS, F_SEAL_SHRINK);
        }
        // An answer is 36 bytes; a service may send fewer or more.
        const std::string answer = in.Bytes((op & 8) ? in.U8() % 80 : 36);
        if (!answer.empty()) SendAnswer(sv[1], answer, passed);
        if (passed >= 0) ::close(passed);
        calls.push_back(c);
    }
    ::shutdown(sv[1], SHUT_WR);  // an answer cut short ends the call at once

    plat::LinuxDevice device;
    device.SetCallTimeout(5);  // a call whose answer never comes costs little
    plat::HANDLE h = device.Adopt(sv[0]);
    for (const Call& c : calls) {
        if (c.openQueue) {
            device.OpenQueue(h);
            continue;
        }
        if (c.noWait) {
            device.DeviceIoControlNoWait(h, c.code, c.in, c.inSize);
            continue;
        }
        if (c.thenWrite) {
            std::uint8_t status = 0;
            bool wrote = false;
            device.ReadPortThenWrite(h, 0x340, static_cast<std::uint8_t>(c.in[1]), 0x342, 1, status,
                                     wrote);
            continue;
        }
        std::uint8_t out[8] = {};
        std::uint32_t returned = 0;
        if (!device.DeviceIoControl(h, c.code, c.in, c.inSize, out, c.outSize, &returned)) continue;
        if (c.code != tvio::IOCTL_MAP_PHYSICAL_MEMORY) continue;
        const volatile std::uint8_t* window;
        std::memcpy(&window, out, sizeof window);
        std::uint8_t sum = 0;
        for (std::uint32_t i = 0; i < c.in[1]; i += 512) sum ^= window[i];
        sum ^= window[c.in[1] - 1];
        (void)sum;
    }
    device.CloseHandle(h);
    ::close(sv[1]);
    if (queue) ::munmap(queue, sizeof *queue);
    if (queueFd >= 0) ::close(queueFd);
    return 0;
}
