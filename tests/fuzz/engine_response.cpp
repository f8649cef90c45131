// What a faulty board answers to the engine's block polls, group polls and write batches: a
// document and tags built from the input, then cycles on the fake board and the fake clock in
// which the input decides which slots are answered, with what error and which data, what the
// host writes and how much time passes.
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "comm/dlucomm.h"
#include "comm/tag_binding.h"
#include "config/address.h"
#include "config/doc.h"
#include "dezudur/output.h"
#include "driver/hostlibs.h"
#include "fake_dlu.h"
#include "fuzz_input.h"
#include "platform/fakes.h"
#include "tarvodbm/tagdb.h"
#include "tarvosub/tagval.h"

namespace {

void AddStations(fuzz::Input& in, CQuorixDoc& doc) {
    const int stations = 1 + in.U8() % 2;
    for (int i = 0; i < stations; ++i) {
        auto s = std::make_unique<CStationInfo>();
        s->m_strName = "S" + std::to_string(i);
        s->m_nStationNo = in.U8() % 32;
        s->m_nCpuType = in.U8() % kCpuTypeCount;
        const int blocks = in.U8() % 4;
        for (int b = 0; b < blocks; ++b) {
            auto block = std::make_unique<CCommBlock>();
            block->m_nDevice = in.U8() % kDeviceCount;
            block->m_nStartWord = in.U16() % (WordLimit(s->m_nCpuType, block->m_nDevice) + 1);
            block->m_nWordCount = 1 + in.U8() % 64;
            block->m_nPeriod = 100 * (in.U8() % 4);
            block->m_nAreaCode = AreaCode(s->m_nCpuType, block->m_nDevice);
            if (CheckBlockRange(s->m_nCpuType, block->m_nDevice, block->m_nStartWord,
                                block->m_nWordCount)) {
                s->m_blocks.push_back(std::move(block));
            }
        }
        doc.Stations().push_back(std::move(s));
    }
}

std::vector<std::int32_t> RegisterTags(fuzz::Input& in, CQuorixDoc& doc, CDluComm& engine) {
    std::vector<std::int32_t> handles;
    const int tags = in.U8() % 24;
    for (int i = 0; i < tags; ++i) {
        CStationInfo* s = doc.Stations()[in.U8() % doc.Stations().size()].get();
        char address[16];
        std::snprintf(address, sizeof address, "%c%04u", kDeviceLetters[in.U8() % kDeviceCount],
                      in.U16() % 10000u);
        std::string text = address;
        TagBinding b;
        b.dataType = static_cast<std::uint16_t>(in.U8() % (DT_STRING + 1));
        b.sizeOrBit = in.U8();
        if (b.dataType == DT_BIT) text += "." + std::to_string(b.sizeOrBit % 16);
        b.tagId = CTagDatabase::Instance().AddTag("t" + std::to_string(i));
        std::int32_t device = 0, word = 0;
        if (!ParseTagAddress(s->m_nCpuType, text, device, word, b)) continue;
        std::int32_t h = engine.RegisterTag(s, text, device, word, b);
        if (h >= 0) handles.push_back(h);
    }
    return handles;
}

void Write(fuzz::Input& in, CDluComm& engine, const std::vector<std::int32_t>& handles) {
    if (handles.empty()) return;
    const int writes = in.U8() % 8;
    for (int i = 0; i < writes; ++i) {
        CTagVal v;
        const std::uint8_t how = in.U8();
        if (how & 1) {
            v.SetVal(in.Text(40).c_str());
        } else {
            v.SetVal(static_cast<double>(static_cast<std::int32_t>(in.U32())) / (how >> 1 | 1));
        }
        engine.WriteTag(handles[in.U8() % handles.size()], v);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const bool once = [] {
        hostlibs::LoadRuntimeLibraries();
        DezSetSink([](std::int32_t, std::int32_t, const std::string&) {});
        return true;
    }();
    (void)once;
    fuzz::Input in(data, size);
    plat::FakeClock clock{1000};
    plat::ScopedClock scopedClock{&clock};
    fake::DluDevice board;
    plat::ScopedDevice scopedDevice{&board};
    CTagDatabase::Instance().Clear();
    {
        CQuorixDoc doc;
        AddStations(in, doc);
        CDluComm engine(&doc);
        if (engine.Start() == 0) {
            const std::vector<std::int32_t> handles = RegisterTags(in, doc, engine);
            engine.BuildGroupRequests();
            engine.ResetFrames();
            engine.BeginPolling();
            for (int cycle = 0; cycle < 32 && in.Left(); ++cycle) {
                const std::uint8_t step = in.U8();
                if (step & 1) Write(in, engine, handles);
                engine.RunCycle(clock.Now());
                // Now and then long enough for the board's time-outs.
                clock.Advance(step & 2 ? 5000 : CDluComm::kCycleMs);
                for (int slot : board.Pending()) {
                    const std::uint8_t how = in.U8();
                    if (how & 1) continue;  // left unanswered
                    std::uint8_t answer[128] = {};
                    const std::string bytes = in.Bytes(in.U8() % 129);
                    std::copy(bytes.begin(), bytes.end(), answer);
                    board.Answer(slot, in.U8(), answer, how >> 1);
                }
                engine.ReceiveResponses();
                engine.DeliverQueued();
            }
        }
    }
    CTagDatabase::Instance().Clear();
    return 0;
}
