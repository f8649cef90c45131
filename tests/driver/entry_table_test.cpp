// The entry table as a host sees it: dlopen of libQuorix.so, the real host libraries beside it.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "config/address.h"
#include "config/doc.h"
#include "framework/resources.h"
#include "platform/platform.h"
#include "quorix/drv_api.h"
#include "tarvodbm/tagdb.h"
#include "test_support.h"

namespace fs = std::filesystem;

namespace {

class Module {
public:
    explicit Module(const std::string& path) {
        handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (handle) table = static_cast<void**>(::dlsym(handle, "DrvFuncTable"));
    }
    ~Module() {
        if (handle) ::dlclose(handle);
    }
    template <class F>
    F Get(int slot) const {
        return reinterpret_cast<F>(table[slot]);
    }
    void* handle = nullptr;
    void** table = nullptr;
};

std::string ModulePath() { return plat::ModuleDirectory() + "/libQuorix.so"; }

class EntryTable : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/qxentry-XXXXXX";
        dir = ::mkdtemp(tmpl);
        cfg = dir + "/plant.cfg";
        CQuorixDoc doc;
        doc.SetPath(cfg);
        auto s = std::make_unique<CStationInfo>();
        s->m_strName = "Station1";
        s->m_nStationNo = 7;
        s->m_strDesc = K("보일러");
        doc.Stations().push_back(std::move(s));
        ASSERT_TRUE(doc.Save());
        module = std::make_unique<Module>(ModulePath());
        ASSERT_NE(module->handle, nullptr) << ::dlerror();
        ASSERT_NE(module->table, nullptr);
    }
    void TearDown() override {
        module.reset();
        fs::remove_all(dir);
    }
    std::string dir, cfg;
    std::unique_ptr<Module> module;
};

}  // namespace

TEST_F(EntryTable, OnlyTheTableIsExportedAndItIsFilled) {
    for (int i = 0; i < drv::kSlotCount; ++i)
        EXPECT_EQ(module->table[i] != nullptr, i < drv::kEntryCount) << "slot " << i;
    EXPECT_EQ(::dlsym(module->handle, "ReportMessage"), nullptr);
    EXPECT_EQ(module->Get<drv::GetVersionFn>(drv::kGetVersion)(), 65536);
    const char* name = module->Get<drv::GetNameFn>(drv::kGetName)();
    EXPECT_STREQ(name, "Vuravo-V OZI");
    EXPECT_EQ(module->Get<drv::GetNameFn>(drv::kGetName)(), name);
    EXPECT_EQ(module->Get<drv::Entry8Fn>(drv::kEntry8)(), 0);
    EXPECT_EQ(module->Get<drv::Entry9Fn>(drv::kEntry9)(), 1);
    module->Get<drv::Entry10Fn>(drv::kEntry10)();
    module->Get<drv::Entry11Fn>(drv::kEntry11)();
    // The string table was registered at attach, so the host's error box finds it.
    std::string text;
    EXPECT_TRUE(AfxLoadString(2701, text));
    EXPECT_EQ(text, K("같은 이름의 스테이션이 이미 사용되었습니다."));
}

TEST_F(EntryTable, OpenAMissingFileReportsMessage4) {
    MessageCapture cap;
    auto open = module->Get<drv::OpenFn>(drv::kOpen);
    std::string missing = dir + "/missing.cfg";
    EXPECT_EQ(open(missing.c_str()), -1);
    ASSERT_EQ(cap.messages.size(), 1u);
    EXPECT_EQ(cap.messages[0].text,
              "[VURAVO-V OZI] " + K("지정된 파일[") + missing + K("]을 열 수 없습니다."));
    EXPECT_EQ(cap.messages[0].classWord, 0x100);
    // No instance was added: the first good open is index 0.
    EXPECT_EQ(open(cfg.c_str()), 0);
}

TEST_F(EntryTable, TwoOpensOfOnePathAreIndependentInstances) {
    MessageCapture cap;
    auto open = module->Get<drv::OpenFn>(drv::kOpen);
    ASSERT_EQ(open(cfg.c_str()), 0);
    ASSERT_EQ(open(cfg.c_str()), 1);
    auto setActive = module->Get<drv::SetActiveFn>(drv::kSetActive);
    auto info = module->Get<drv::GetStationInfoFn>(drv::kGetStationInfo);
    std::string number = "unchanged", desc = "unchanged";
    info(0, "STATION1", &number, &desc);  // found without regard to case
    EXPECT_EQ(number, "07");
    EXPECT_EQ(desc, K("보일러"));
    number = "unchanged";
    info(1, "nobody", &number, &desc);
    EXPECT_EQ(number, "unchanged");
    setActive(0, "station1", 0);  // no engine needed for a station's flag
}

TEST_F(EntryTable, InvalidIndexesDoNothing) {
    MessageCapture cap;
    auto open = module->Get<drv::OpenFn>(drv::kOpen);
    ASSERT_EQ(open(cfg.c_str()), 0);
    const int bad[] = {1, -1, 1000};
    for (int i : bad) {
        EXPECT_EQ(module->Get<drv::StartFn>(drv::kStart)(i), 0);
        EXPECT_EQ(module->Get<drv::EndRegistrationFn>(drv::kEndRegistration)(i), 0);
        EXPECT_EQ(module->Get<drv::StopFn>(drv::kStop)(i), 0);
        EXPECT_EQ(
            module->Get<drv::RegisterTagFn>(drv::kRegisterTag)(i, "DLU.Station1", "D0100", 1, 2, 1),
            -1);
        CTagVal v;
        v.SetVal(1.0);
        EXPECT_EQ(module->Get<drv::WriteTagFn>(drv::kWriteTag)(i, 0, &v), 0);
        std::int32_t c[4] = {5, 5, 5, 5};
        EXPECT_EQ(module->Get<drv::GetStatisticsFn>(drv::kGetStatistics)(i, nullptr, &c[0], &c[1],
                                                                         &c[2], &c[3]),
                  -1);
        EXPECT_EQ(c[0] + c[1] + c[2] + c[3], 20);
        std::string n = "x";
        module->Get<drv::GetStationInfoFn>(drv::kGetStationInfo)(i, "Station1", &n, &n);
        EXPECT_EQ(n, "x");
        module->Get<drv::SetActiveFn>(drv::kSetActive)(i, nullptr, 1);
        module->Get<drv::ResetStatisticsFn>(drv::kResetStatistics)(i, nullptr);
    }
    EXPECT_TRUE(cap.messages.empty());
}

TEST_F(EntryTable, RegistrationMatchesStationNamesWithCase) {
    MessageCapture cap;
    auto open = module->Get<drv::OpenFn>(drv::kOpen);
    ASSERT_EQ(open(cfg.c_str()), 0);
    std::int32_t tag = CTagDatabase::Instance().AddTag("Boiler.Temp");
    auto reg = module->Get<drv::RegisterTagFn>(drv::kRegisterTag);
    // Before DrvStart there is no engine to register with.
    EXPECT_EQ(reg(0, "DLU.Station1", "D0100", 1, 2, tag), -1);
    EXPECT_TRUE(cap.messages.empty());
    // Without a board the start fails, but the instance stays usable for registration.
    setenv("QX_DEVICE_DIR", dir.c_str(), 1);
    EXPECT_NE(module->Get<drv::StartFn>(drv::kStart)(0), 0);
    unsetenv("QX_DEVICE_DIR");
    cap.messages.clear();
    EXPECT_EQ(reg(0, "DLU.STATION1", "D0100", 1, 2, tag), -1);
    ASSERT_EQ(cap.messages.size(), 1u);
    EXPECT_EQ(cap.messages[0].text,
              "[VURAVO-V OZI] " + K("태그[Boiler.Temp]에 설정된 I/O 디바이스[DLU.STATION1]가 "
                                    "통신드라이버에 등록되지 않았습니다."));
    EXPECT_EQ(reg(0, "DLU.Station1", "D99999", 1, 2, tag), -1);
    ASSERT_EQ(cap.messages.size(), 2u);
    EXPECT_EQ(
        cap.messages[1].text,
        "[VURAVO-V OZI] " + K("태그[Boiler.Temp]의 I/O 어드레스[D99999]가 잘못 설정되었습니다."));
    // A data type beyond STRING (its low 16 bits) is a wrong tag too.
    for (std::int32_t type : {15, 99, 0xFFFF}) {
        EXPECT_EQ(reg(0, "DLU.Station1", "D0100", type, 2, tag), -1);
        EXPECT_EQ(cap.messages.back().text,
                  cap.messages[1].text.substr(0, cap.messages[1].text.find("D99999")) + "D0100" +
                      K("]가 잘못 설정되었습니다."));
    }
    // Two dots: the station is "A.B", which does not exist.
    EXPECT_EQ(reg(0, "X.A.B", "D0100", 1, 2, tag), -1);
    EXPECT_NE(cap.messages.back().text.find("X.A.B"), std::string::npos);
}

TEST_F(EntryTable, SetupWithoutTheProjectLibraryShowsNothing) {
    // A copy of the module in a folder of its own: Project.dll is not beside it.
    std::string alone = dir + "/alone";
    fs::create_directory(alone);
    fs::copy_file(ModulePath(), alone + "/libQuorix.so");
    module.reset();
    Module copy(alone + "/libQuorix.so");
    ASSERT_NE(copy.table, nullptr) << ::dlerror();
    BoxCapture boxes;
    EXPECT_EQ(copy.Get<drv::SetupFn>(drv::kSetup)(cfg.c_str()), 0);
    EXPECT_TRUE(boxes.boxes.empty());
}
