// A document with stations and blocks, an engine on the fake board and the fake clock, the
// host's tag database, and the messages the module reports.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "comm/dlucomm.h"
#include "config/address.h"
#include "config/doc.h"
#include "dezudur/output.h"
#include "driver/hostlibs.h"
#include "driver/texts.h"
#include "fake_dlu.h"
#include "platform/fakes.h"
#include "tarvodbm/tagdb.h"

namespace enginetest {

struct Message {
    int n = 0;  // the message number the text matches, 0 if none
    std::int32_t classWord = 0;
    std::string raw;
};

// The CP949 text of message n with its arguments.
inline std::string MessageText(int n, const char* a1 = nullptr, const char* a2 = nullptr) {
    const std::string& f = MessageFormat(n);
    std::string out = kMessagePrefix;
    const char* args[2] = {a1, a2};
    int next = 0;
    for (std::size_t i = 0; i < f.size(); ++i) {
        if (f[i] == '%' && i + 1 < f.size() && f[i + 1] == 's') {
            if (next < 2 && args[next]) out += args[next];
            ++next;
            ++i;
        } else {
            out += f[i];
        }
    }
    return out;
}

class EngineTest : public ::testing::Test {
protected:
    void SetUp() override {
        hostlibs::LoadRuntimeLibraries();
        DezSetSink([this](std::int32_t, std::int32_t classWord, const std::string& raw) {
            std::lock_guard<std::mutex> lock(mu_);
            messages_.push_back({0, classWord, raw});
        });
        CTagDatabase::Instance().Clear();
    }
    void TearDown() override {
        engine_.reset();
        DezSetSink(nullptr);
    }

    CStationInfo* AddStation(const std::string& name, int number, int cpu = CPU_K1000) {
        auto s = std::make_unique<CStationInfo>();
        s->m_strName = name;
        s->m_nStationNo = number;
        s->m_nCpuType = cpu;
        doc_.Stations().push_back(std::move(s));
        return doc_.Stations().back().get();
    }
    // A block of device `dev` ("PMLKFTCDS" index) on the station's CPU.
    CCommBlock* AddBlock(CStationInfo* s, int dev, int start, int words, int periodMs = 1000) {
        auto b = std::make_unique<CCommBlock>();
        b->m_nDevice = dev;
        b->m_nStartWord = start;
        b->m_nWordCount = words;
        b->m_nPeriod = periodMs;
        b->m_nAreaCode = AreaCode(s->m_nCpuType, dev);
        s->m_blocks.push_back(std::move(b));
        return s->m_blocks.back().get();
    }

    // Creates and starts the engine; the board comes up on the fake device at once.
    CDluComm& StartEngine() {
        engine_ = std::make_unique<CDluComm>(&doc_);
        EXPECT_EQ(engine_->Start(), 0);
        ClearMessages();
        return *engine_;
    }
    // What SetActive(1) does before it starts the threads, for driving cycles by hand.
    void Activate() {
        engine_->ResetFrames();
        engine_->BeginPolling();
    }
    void Cycle() {
        engine_->RunCycle(clock_.Now());
        clock_.Advance(CDluComm::kCycleMs);
    }

    std::int32_t Register(CStationInfo* s, const std::string& address, std::uint16_t type,
                          std::uint16_t size, std::int32_t tagId) {
        TagBinding b;
        b.tagId = tagId;
        b.dataType = type;
        b.sizeOrBit = size;
        std::int32_t dev = 0, word = 0;
        if (!ParseTagAddress(s->m_nCpuType, address, dev, word, b)) return -2;
        return engine_->RegisterTag(s, address, dev, word, b);
    }
    std::int32_t Tag(const std::string& name) { return CTagDatabase::Instance().AddTag(name); }
    // The value the host holds after the queue was delivered.
    CTagVal Value(std::int32_t tagId) {
        CTagVal v;
        CTagDatabase::Instance().GetValue(tagId, v);
        return v;
    }
    std::uint64_t Updates(std::int32_t tagId) { return CTagDatabase::Instance().Updates(tagId); }

    std::vector<std::string> Messages() {
        std::lock_guard<std::mutex> lock(mu_);
        std::vector<std::string> out;
        for (const auto& m : messages_) out.push_back(m.raw);
        return out;
    }
    int CountMessages(const std::string& text) {
        int n = 0;
        for (const auto& m : Messages()) n += m == text;
        return n;
    }
    void ClearMessages() {
        std::lock_guard<std::mutex> lock(mu_);
        messages_.clear();
    }

    plat::FakeClock clock_{1000};
    plat::ScopedClock scopedClock_{&clock_};
    fake::DluDevice dev_;
    plat::ScopedDevice scopedDevice_{&dev_};
    CQuorixDoc doc_;
    std::unique_ptr<CDluComm> engine_;

private:
    std::mutex mu_;
    std::vector<Message> messages_;
};

// 128 bytes of response data with little-endian words.
struct Data {
    std::uint8_t b[128] = {};
    Data& W(int word, std::uint16_t v) {
        b[2 * word] = static_cast<std::uint8_t>(v);
        b[2 * word + 1] = static_cast<std::uint8_t>(v >> 8);
        return *this;
    }
    Data& Bytes(int at, std::initializer_list<std::uint8_t> bytes) {
        for (std::uint8_t x : bytes) b[at++] = x;
        return *this;
    }
};

}  // namespace enginetest
