// What the service answers to each request, with a backend that records what reaches it.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "platform/tvioctrl.h"
#include "platform/tvioctrl_wire.h"
#include "server.h"
#include "sim_backend.h"

namespace {

using tvio::wire::Reply;
using tvio::wire::Request;

struct RecordingBackend : iosvc::IBackend {
    bool ReadPort(std::uint16_t port, std::uint8_t& value) override {
        reads.push_back(port);
        value = static_cast<std::uint8_t>(port ^ 0x5A);
        return !fail;
    }
    bool WritePort(std::uint16_t port, std::uint8_t value) override {
        writes.push_back({port, value});
        return !fail;
    }
    bool MapWindow(std::uint32_t physical, std::uint32_t, int& fd, std::uint64_t& offset) override {
        maps.push_back(physical);
        fd = 42;
        offset = physical;
        return !fail;
    }
    std::string Describe() const override { return "recording"; }

    bool fail = false;
    std::vector<std::uint16_t> reads;
    std::vector<std::pair<std::uint16_t, std::uint8_t>> writes;
    std::vector<std::uint32_t> maps;
};

Request Make(std::uint32_t code, std::vector<std::uint32_t> words) {
    Request req{};
    req.magic = tvio::wire::kRequestMagic;
    req.version = tvio::wire::kVersion;
    req.size = sizeof req;
    req.seq = 77;
    req.code = code;
    req.inSize = static_cast<std::uint16_t>(4 * words.size());
    std::memcpy(req.in, words.data(), req.inSize);
    return req;
}

class IoServiceRequests : public ::testing::Test {
protected:
    Reply Call(const Request& req) {
        fd = -2;
        return server.Handle(req, fd);
    }
    RecordingBackend backend;
    iosvc::CIoServer server{backend};
    int fd = -2;
};

TEST(IoServiceRanges, OnlyTheBoardPortBlockAndItsWindowsAreAllowed) {
    EXPECT_FALSE(iosvc::PortAllowed(0x2FF));
    EXPECT_TRUE(iosvc::PortAllowed(0x300));
    EXPECT_TRUE(iosvc::PortAllowed(0x3FF));
    EXPECT_FALSE(iosvc::PortAllowed(0x400));
    EXPECT_FALSE(iosvc::PortAllowed(0x10300));

    EXPECT_TRUE(iosvc::WindowAllowed(0xC0000, 0x4000));
    EXPECT_TRUE(iosvc::WindowAllowed(0xEC000, 0x4000));
    EXPECT_FALSE(iosvc::WindowAllowed(0xBC000, 0x4000));
    EXPECT_FALSE(iosvc::WindowAllowed(0xF0000, 0x4000));
    EXPECT_FALSE(iosvc::WindowAllowed(0xC2000, 0x4000));
    EXPECT_FALSE(iosvc::WindowAllowed(0xC0000, 0x2000));
    EXPECT_FALSE(iosvc::WindowAllowed(0xE8000, 0x8000));
    EXPECT_FALSE(iosvc::WindowAllowed(0xFFFFC000, 0x4000));
}

TEST_F(IoServiceRequests, PortCallsReachTheBackendOnlyWhenAllowedAndWellFormed) {
    Reply r = Call(Make(tvio::IOCTL_READ_PORT_BYTE, {0x341}));
    EXPECT_EQ(r.status, tvio::wire::kOk);
    EXPECT_EQ(r.seq, 77u);
    EXPECT_EQ(r.magic, tvio::wire::kReplyMagic);
    ASSERT_EQ(r.outSize, 4u);
    std::uint32_t out;
    std::memcpy(&out, r.out, 4);
    EXPECT_EQ(out, (0x341u ^ 0x5A) & 0xFF) << "the byte, zero-extended";
    EXPECT_EQ(fd, -1);

    r = Call(Make(tvio::IOCTL_WRITE_PORT_BYTE, {0x342, 0x1A5}));
    EXPECT_EQ(r.status, tvio::wire::kOk);
    EXPECT_EQ(r.outSize, 0u);
    ASSERT_EQ(backend.writes.size(), 1u);
    EXPECT_EQ(backend.writes[0].first, 0x342);
    EXPECT_EQ(backend.writes[0].second, 0xA5) << "only the low byte is written";

    EXPECT_EQ(Call(Make(tvio::IOCTL_READ_PORT_BYTE, {0x2FF})).status, tvio::wire::kRefused);
    EXPECT_EQ(Call(Make(tvio::IOCTL_WRITE_PORT_BYTE, {0x400, 1})).status, tvio::wire::kRefused);
    EXPECT_EQ(Call(Make(tvio::IOCTL_READ_PORT_BYTE, {0x341, 0})).status, tvio::wire::kBadInput);
    EXPECT_EQ(Call(Make(tvio::IOCTL_WRITE_PORT_BYTE, {0x341})).status, tvio::wire::kBadInput);
    EXPECT_EQ(Call(Make(0xC3502010, {0x341})).status, tvio::wire::kUnknownCode);
    EXPECT_EQ(backend.reads.size(), 1u);
    EXPECT_EQ(backend.writes.size(), 1u);

    backend.fail = true;
    EXPECT_EQ(Call(Make(tvio::IOCTL_READ_PORT_BYTE, {0x341})).status, tvio::wire::kIoError);
    EXPECT_EQ(Call(Make(tvio::IOCTL_WRITE_PORT_BYTE, {0x341, 0})).status, tvio::wire::kIoError);
}

TEST_F(IoServiceRequests, MappingPassesTheBackendsDescriptorAndOffset) {
    Reply r = Call(Make(tvio::IOCTL_MAP_PHYSICAL_MEMORY, {0xD8000, 0x4000}));
    ASSERT_EQ(r.status, tvio::wire::kOk);
    EXPECT_EQ(fd, 42);
    ASSERT_EQ(r.outSize, sizeof(tvio::wire::MapAnswer));
    tvio::wire::MapAnswer a;
    std::memcpy(&a, r.out, sizeof a);
    EXPECT_EQ(a.offset, 0xD8000u);
    EXPECT_EQ(a.length, 0x4000u);

    for (auto bad :
         {std::vector<std::uint32_t>{0xF0000, 0x4000}, std::vector<std::uint32_t>{0xC2000, 0x4000},
          std::vector<std::uint32_t>{0xC0000, 0x1000}}) {
        r = Call(Make(tvio::IOCTL_MAP_PHYSICAL_MEMORY, bad));
        EXPECT_EQ(r.status, tvio::wire::kRefused) << std::hex << bad[0];
        EXPECT_EQ(fd, -1);
    }
    EXPECT_EQ(Call(Make(tvio::IOCTL_MAP_PHYSICAL_MEMORY, {0xD8000})).status, tvio::wire::kBadInput);
    EXPECT_EQ(backend.maps.size(), 1u);
    backend.fail = true;
    EXPECT_EQ(Call(Make(tvio::IOCTL_MAP_PHYSICAL_MEMORY, {0xD8000, 0x4000})).status,
              tvio::wire::kIoError);
    EXPECT_EQ(fd, -1) << "no descriptor goes with a failure";
}

TEST_F(IoServiceRequests, MessagesOfAnotherShapeOrVersionAreRejected) {
    Request req = Make(tvio::IOCTL_READ_PORT_BYTE, {0x341});
    req.magic = 0x12345678;
    EXPECT_EQ(Call(req).status, tvio::wire::kBadMessage);
    req = Make(tvio::IOCTL_READ_PORT_BYTE, {0x341});
    req.size = 20;
    EXPECT_EQ(Call(req).status, tvio::wire::kBadMessage);
    req = Make(tvio::IOCTL_READ_PORT_BYTE, {0x341});
    req.version = 1;  // before writes went unanswered
    EXPECT_EQ(Call(req).status, tvio::wire::kBadVersion);
    req = Make(tvio::IOCTL_READ_PORT_BYTE, {0x341});
    req.inSize = 0xFFFF;
    EXPECT_EQ(Call(req).status, tvio::wire::kBadInput);
    EXPECT_TRUE(backend.reads.empty());
}

}  // namespace

namespace {

// A client gets the simulated window's own descriptor: it must not be able to shrink or grow
// the memory under the firmware and the other clients.
TEST(IoServiceSimWindow, DescriptorsHandedOutKeepTheirSize) {
    sim::Scenario sc;
    std::string error;
    ASSERT_TRUE(sim::ParseScenario(R"({"board": {"port": "0x340", "window": "0xD8000"},
                                       "stations": []})",
                                   sc, error))
        << error;
    iosvc::CSimBackend backend(std::move(sc), false);
    ASSERT_TRUE(backend.Start());
    for (std::uint32_t physical : {0xD8000u, 0xC0000u}) {  // the board's window, an empty bus
        int fd = -1;
        std::uint64_t offset = 0;
        ASSERT_TRUE(backend.MapWindow(physical, tvio::kWindowSize, fd, offset));
        EXPECT_NE(::ftruncate(fd, 0), 0) << std::hex << physical;
        EXPECT_NE(::ftruncate(fd, 2 * tvio::kWindowSize), 0) << std::hex << physical;
    }
}

// A write sent with kNoAnswer is answered only when it fails; nothing else may go unanswered,
// and the answers that follow keep their order.
TEST(IoServiceNoAnswer, OnlyAFailedWriteIsAnswered) {
    struct Row {
        const char* what;
        std::uint32_t code;
        std::uint16_t flags;
        bool fail;
        std::vector<std::uint32_t> seqs;  // of the answers sent
        std::uint32_t status;             // of the first answer
        std::size_t reached;              // accesses that reached the backend
    };
    const Row rows[] = {
        {"write that went well",
         tvio::IOCTL_WRITE_PORT_BYTE,
         tvio::wire::kNoAnswer,
         false,
         {2},
         tvio::wire::kOk,
         2},
        // The service hangs up: the read the client sent after it never reaches the board.
        {"write that failed",
         tvio::IOCTL_WRITE_PORT_BYTE,
         tvio::wire::kNoAnswer,
         true,
         {1},
         tvio::wire::kIoError,
         1},
        {"read",
         tvio::IOCTL_READ_PORT_BYTE,
         tvio::wire::kNoAnswer,
         false,
         {1, 2},
         tvio::wire::kBadInput,
         1},
        {"unknown flag", tvio::IOCTL_WRITE_PORT_BYTE, 4, false, {1, 2}, tvio::wire::kBadInput, 1},
        {"write carrying a write",
         tvio::IOCTL_WRITE_PORT_BYTE,
         tvio::wire::kThenWrite,
         false,
         {1, 2},
         tvio::wire::kBadInput,
         1},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        RecordingBackend backend;
        backend.fail = row.fail;
        iosvc::CIoServer server(backend);
        Request first = Make(row.code, row.code == tvio::IOCTL_READ_PORT_BYTE
                                           ? std::vector<std::uint32_t>{0x341}
                                           : std::vector<std::uint32_t>{0x342, 1});
        first.seq = 1;
        first.flags = row.flags;
        Request then = Make(tvio::IOCTL_READ_PORT_BYTE, {0x340});
        then.seq = 2;
        std::uint8_t bytes[2 * sizeof(Request)];
        std::memcpy(bytes, &first, sizeof first);
        std::memcpy(bytes + sizeof first, &then, sizeof then);
        const std::vector<Reply> replies = server.ServeBytes(bytes, sizeof bytes);
        std::vector<std::uint32_t> seqs;
        for (const Reply& r : replies) seqs.push_back(r.seq);
        EXPECT_EQ(seqs, row.seqs);
        ASSERT_FALSE(replies.empty());
        EXPECT_EQ(replies[0].status, row.status);
        EXPECT_EQ(backend.reads.size() + backend.writes.size(), row.reached);
    }
}

// A read carrying a write: the write is made only when none of the mask's bits read 1, only to
// a board port other than the control port, and the answer says whether it was made.
TEST_F(IoServiceRequests, AReadCarriesItsWriteOnlyWhenTheMaskReadsClear) {
    struct Row {
        const char* what;
        std::vector<std::uint32_t> in;  // port, mask, then, value
        std::uint32_t status;
        std::uint32_t wrote;  // second output word
        std::size_t reads, writes;
    };
    // The backend reads port ^ 0x5A: 0x1A at 0x340.
    const Row rows[] = {
        {"clear", {0x340, 0x01, 0x342, 1}, tvio::wire::kOk, 1, 1, 1},
        {"set", {0x340, 0x02, 0x342, 1}, tvio::wire::kOk, 0, 1, 0},
        {"control port", {0x340, 0x01, 0x350, 0xC0}, tvio::wire::kBadInput, 0, 0, 0},
        {"outside the board", {0x340, 0x01, 0x100, 1}, tvio::wire::kRefused, 0, 0, 0},
        {"short input", {0x340, 0x01}, tvio::wire::kBadInput, 0, 0, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        backend.reads.clear();
        backend.writes.clear();
        Request req = Make(tvio::IOCTL_READ_PORT_BYTE, row.in);
        req.flags = tvio::wire::kThenWrite;
        const Reply r = Call(req);
        EXPECT_EQ(r.status, row.status);
        EXPECT_EQ(backend.reads.size(), row.reads);
        EXPECT_EQ(backend.writes.size(), row.writes);
        if (row.status != tvio::wire::kOk) continue;
        std::uint32_t out[2];
        ASSERT_EQ(r.outSize, sizeof out);
        std::memcpy(out, r.out, sizeof out);
        EXPECT_EQ(out[0], 0x1Au);
        EXPECT_EQ(out[1], row.wrote);
    }
}

}  // namespace
