// Test main: a QApplication on the offscreen platform, the module's string table registered,
// and the helpers of setup_fixture.h.
#include <QFont>
#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "config/address.h"
#include "driver/texts.h"
#include "framework/codepage.h"
#include "framework/resources.h"
#include "setup_fixture.h"

namespace setuptest {

BoxRecorder::BoxRecorder() {
    previous_ = AfxSetBoxHandler([this](const CBoxRequest& r) {
        boxes_.push_back(r);
        if (r.type != MB_YESNO) return IDOK;
        int a = IDNO;
        if (!answers_.empty()) {
            a = answers_.front();
            answers_.pop_front();
        }
        return a;
    });
}

BoxRecorder::~BoxRecorder() { AfxSetBoxHandler(std::move(previous_)); }

std::vector<std::uint32_t> BoxRecorder::Ids() const {
    std::vector<std::uint32_t> ids;
    for (const auto& b : boxes_) ids.push_back(b.id);
    return ids;
}

std::string TempDir() {
    static int counter = 0;
    const char* base = std::getenv("TEST_TMPDIR");
    std::string dir = std::string(base && *base ? base : "/tmp") + "/qx_setup_" +
                      std::to_string(::getpid()) + "_" + std::to_string(++counter);
    std::string cmd = "mkdir -p '" + dir + "'";
    if (std::system(cmd.c_str()) != 0) ADD_FAILURE() << "cannot create " << dir;
    return dir;
}

std::unique_ptr<CQuorixDoc> PlantDoc(const std::string& path) {
    std::ifstream in(QX_SOURCE_DIR "/examples/plant.json");
    EXPECT_TRUE(in.good()) << "examples/plant.json not found";
    nlohmann::json j = nlohmann::json::parse(in);
    auto doc = std::make_unique<CQuorixDoc>();
    doc->SetPath(path);
    auto hex = [](const nlohmann::json& v) {
        return static_cast<std::int32_t>(std::stoul(v.get<std::string>(), nullptr, 16));
    };
    doc->Port().m_nIoIndex = (hex(j["board"]["ioPort"]) - 0x300) / 0x10;
    doc->Port().m_nMemIndex = (hex(j["board"]["memoryWindow"]) - 0xC0000) / 0x4000;
    for (const auto& js : j["stations"]) {
        auto s = std::make_unique<CStationInfo>();
        s->m_strName = Utf8ToCp949(js["name"].get<std::string>());
        s->m_strDesc = Utf8ToCp949(js["description"].get<std::string>());
        s->m_nStationNo = js["stationNo"].get<int>();
        for (int c = 0; c < kCpuTypeCount; ++c)
            if (js["cpu"].get<std::string>() == CpuTypeName(c)) s->m_nCpuType = c;
        for (const auto& jb : js["blocks"]) {
            auto b = std::make_unique<CCommBlock>();
            b->m_strAddress = jb["address"].get<std::string>();
            b->m_nWordCount = jb["words"].get<int>();
            b->m_nPeriod = jb["periodMs"].get<int>();
            EXPECT_EQ(1, ParseBlockAddress(s->m_nCpuType, b->m_strAddress, b->m_nDevice,
                                           b->m_nStartWord, b->m_nAreaCode));
            s->m_blocks.push_back(std::move(b));
        }
        doc->Stations().push_back(std::move(s));
    }
    return doc;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return {};
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

int RunScript(QDialog& dialog, const DialogScript& script) {
    dialog.show();
    script(dialog);
    int result = dialog.result();
    dialog.hide();
    return result;
}

}  // namespace setuptest

int main(int argc, char** argv) {
    // Headless unless the caller chose a platform.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    AfxRegisterResourceModule(&ModuleResources());
    ::testing::InitGoogleTest(&argc, argv);
    int rc = RUN_ALL_TESTS();
    AfxUnregisterResourceModule(&ModuleResources());
    return rc;
}
