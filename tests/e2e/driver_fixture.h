// A fixture that boots the whole road: configuration written by tarvo, tvioctrld on a simulated
// board in a private device folder, libQuorix.so through DrvFuncTable, the host's tag database.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <set>
#include <string>

#include "framework/codepage.h"
#include "harness.h"
#include "tarvodbm/tagdb.h"
#include "tarvosub/tagval.h"

namespace e2e {

// Type codes as the host passes them.
enum : int {
    T_SINT8 = 0,
    T_SINT16 = 1,
    T_SINT32 = 2,
    T_UINT8 = 3,
    T_UINT16 = 4,
    T_UINT32 = 5,
    T_SBCD8 = 6,
    T_SBCD16 = 7,
    T_SBCD32 = 8,
    T_BCD8 = 9,
    T_BCD16 = 10,
    T_BCD32 = 11,
    T_FLOAT = 12,
    T_BIT = 13,
    T_STRING = 14,
};

class DriverTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(dir_.Path().empty());
        ::setenv("QX_DEVICE_DIR", dir_.Path().c_str(), 1);
        CTagDatabase::Instance().Clear();
        std::string error;
        ASSERT_TRUE(module_.Load(error)) << error;
    }

    void TearDown() override {
        if (listener_) CTagDatabase::Instance().RemoveListener(listener_);
        listener_ = 0;
        if (module_.Loaded() && index_ >= 0) {
            module_.SetActive(index_, nullptr, 0);
            module_.Stop(index_);
        }
        module_.Unload();
        service_.Stop();
        CTagDatabase::Instance().Clear();
    }

    // Configuration and service; the instance is opened and started.
    void Boot(const std::string& configJson, const std::string& scenarioJson) {
        std::string error;
        ASSERT_TRUE(MakeConfig(configJson, dir_ / "plant.cfg", error)) << error;
        if (!scenarioJson.empty()) {
            ASSERT_TRUE(service_.Start(dir_.Path(), scenarioJson, error)) << error;
        }
        index_ = module_.Open(dir_ / "plant.cfg");
        ASSERT_GE(index_, 0) << messages_.Dump();
        ASSERT_EQ(module_.Start(index_), 0) << messages_.Dump() << service_.Log();
        listener_ = CTagDatabase::Instance().AddListener([this](std::int32_t id, const CTagVal& v) {
            std::lock_guard<std::mutex> lock(seenMu_);
            if (v.IsSet() && !v.IsText()) seen_[id].insert(v.GetVal());
        });
    }

    std::int32_t Tag(const std::string& name, const std::string& device, const std::string& address,
                     int type, int size = 2) {
        std::int32_t id = CTagDatabase::Instance().AddTag(Utf8ToCp949(name));
        ids_[name] = id;
        std::int32_t h = module_.Register(index_, device, address, type, size, id);
        handles_[name] = h;
        return h;
    }

    void Activate() {
        EXPECT_EQ(module_.EndRegistration(index_), 0);
        module_.SetActive(index_, nullptr, 1);
    }

    CTagVal Value(const std::string& name) const {
        CTagVal v;
        CTagDatabase::Instance().GetValue(ids_.at(name), v);
        return v;
    }
    std::uint64_t Updates(const std::string& name) const {
        return CTagDatabase::Instance().Updates(ids_.at(name));
    }
    bool Is(const std::string& name, double want) const {
        CTagVal v = Value(name);
        return v.IsSet() && !v.IsText() && v.GetVal() == want;
    }
    bool IsText(const std::string& name, const std::string& want) const {
        CTagVal v = Value(name);
        return v.IsSet() && v.IsText() && v.Text() == want;
    }
    std::size_t DistinctValues(const std::string& name) {
        std::lock_guard<std::mutex> lock(seenMu_);
        return seen_[ids_.at(name)].size();
    }
    ::testing::AssertionResult WaitValue(const std::string& name, double want,
                                         int timeoutMs = 15000) {
        if (WaitFor([&] { return Is(name, want); }, timeoutMs))
            return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << name << " is " << Value(name).Describe()
                                             << ", expected " << want << "\nmessages:\n"
                                             << messages_.Dump();
    }
    void Write(const std::string& name, double v) {
        CTagVal val;
        val.SetVal(v);
        EXPECT_EQ(module_.Write(index_, handles_.at(name), val), 0);
    }
    void WriteText(const std::string& name, const std::string& text) {
        CTagVal val;
        val.SetVal(text.c_str());
        EXPECT_EQ(module_.Write(index_, handles_.at(name), val), 0);
    }
    Module::Stats Stats(const char* station, std::int32_t preset = 0) const {
        return module_.Statistics(index_, station, preset);
    }

    TempDir dir_;
    Service service_;
    MessageLog messages_;
    Module module_;
    std::int32_t index_ = -1;
    std::map<std::string, std::int32_t> ids_, handles_;
    int listener_ = 0;
    std::mutex seenMu_;
    std::map<std::int32_t, std::set<double>> seen_;
};

}  // namespace e2e
