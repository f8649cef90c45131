// The configuration file: its exact bytes, round trips, and every way a load can fail.
#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <thread>

#include "config/address.h"
#include "config/doc.h"
#include "framework/archive.h"
#include "tarvosub/header.h"
#include "test_support.h"

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

namespace {

class TempDir {
public:
    TempDir() {
        char tmpl[] = "/tmp/qxdoc-XXXXXX";
        path = ::mkdtemp(tmpl);
    }
    ~TempDir() { fs::remove_all(path); }
    std::string File(const std::string& name) const { return path + "/" + name; }
    std::string path;
};

Bytes ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

void WriteAll(const std::string& path, const Bytes& b) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
}

// The bytes the header section writes, measured by serialising a header alone.
std::size_t HeaderSize() {
    CMemFile f;
    CArchive ar(&f, CArchive::store);
    CTarvoHeader h(3);
    h.SetDesc("Quorix.Dll");
    h.Serialize(ar);
    ar.Close();
    return f.Data().size();
}

std::unique_ptr<CStationInfo> Station(const char* name, int no, int cpu) {
    auto s = std::make_unique<CStationInfo>();
    s->m_strName = name;
    s->m_nStationNo = no;
    s->m_nCpuType = cpu;
    return s;
}

std::unique_ptr<CCommBlock> Block(int cpu, const char* address, int words, int period) {
    auto b = std::make_unique<CCommBlock>();
    b->m_strAddress = address;
    EXPECT_EQ(
        ParseBlockAddress(cpu, b->m_strAddress, b->m_nDevice, b->m_nStartWord, b->m_nAreaCode), 1);
    b->m_nWordCount = words;
    b->m_nPeriod = period;
    return b;
}

std::set<std::string> Listing(const std::string& folder) {
    std::set<std::string> names;
    for (const auto& e : fs::directory_iterator(folder)) names.insert(e.path().filename());
    return names;
}

constexpr uid_t kNobody = 65534;

// A second user: root writes into any folder and over any file, so a test run as root hands
// such saves to the unprivileged user nobody; a test run as a user plays both parts itself.
uid_t Other() { return ::geteuid() == 0 ? kNobody : ::geteuid(); }

// What a save did: bit 0 it succeeded, bit 1 it showed box 2005, bit 2 it showed another box.
int SaveOutcome(CQuorixDoc& doc) {
    BoxCapture boxes;
    int outcome = doc.Save() ? 1 : 0;
    for (const auto& b : boxes.boxes) outcome |= b.id == 2005u ? 2 : 4;
    return outcome;
}

int SaveAsOther(CQuorixDoc& doc) {
    if (::geteuid() != 0) return SaveOutcome(doc);
    pid_t pid = ::fork();
    if (pid == 0) {
        bool dropped =
            ::setgroups(0, nullptr) == 0 && ::setgid(kNobody) == 0 && ::setuid(kNobody) == 0;
        ::_exit(dropped ? SaveOutcome(doc) : 8);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 16;
}

}  // namespace

TEST(ConfigFile, WorkedExampleBytesAfterTheHeader) {
    TempDir dir;
    CQuorixDoc doc;
    doc.SetPath(dir.File("a.cfg"));
    doc.Stations().push_back(Station("A", 1, 0));
    doc.Stations()[0]->m_blocks.push_back(Block(0, "D0100", 32, 1000));
    ASSERT_TRUE(doc.Save());
    Bytes all = ReadAll(dir.File("a.cfg"));
    Bytes body(all.begin() + static_cast<long>(HeaderSize()), all.end());
    Bytes expected = {0x01, 0x00, 0x01, 0x41, 0x04, 0x00, 0x00, 0x00, 0x06, 0x00,
                      0x00, 0x00, 0x01, 0x00, 0xFF, 0xFF, 0x01, 0x00, 0x0C, 0x00};
    for (char c : std::string("CStationInfo")) expected.push_back(static_cast<std::uint8_t>(c));
    for (int b : {0x01, 0x41, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00,
                  0xFF, 0xFF, 0x01, 0x00, 0x0A, 0x00})
        expected.push_back(static_cast<std::uint8_t>(b));
    for (char c : std::string("CCommBlock")) expected.push_back(static_cast<std::uint8_t>(c));
    expected.push_back(0x05);
    for (char c : std::string("D0100")) expected.push_back(static_cast<std::uint8_t>(c));
    for (int b : {0x20, 0, 0, 0, 0xE8, 0x03, 0, 0, 0x07, 0, 0, 0, 0x64, 0, 0, 0, 0x72, 0x07, 0, 0})
        expected.push_back(static_cast<std::uint8_t>(b));
    EXPECT_EQ(body, expected);
}

TEST(ConfigFile, EmptyDocument) {
    TempDir dir;
    CQuorixDoc doc;
    doc.SetPath(dir.File("empty.cfg"));
    ASSERT_TRUE(doc.Save());
    Bytes all = ReadAll(dir.File("empty.cfg"));
    Bytes body(all.begin() + static_cast<long>(HeaderSize()), all.end());
    EXPECT_EQ(body, (Bytes{0, 0, 4, 0, 0, 0, 6, 0, 0, 0, 0, 0}));
}

TEST(ConfigFile, RoundTripKeepsEveryStoredField) {
    TempDir dir;
    CQuorixDoc doc;
    doc.SetPath(dir.File("plant.cfg"));
    doc.Port().m_nIoIndex = 15;
    doc.Port().m_nMemIndex = 0;
    doc.Stations().push_back(Station("PLC1", 3, 0));
    doc.Stations()[0]->m_strDesc = K("1라인 프레스");
    doc.Stations()[0]->m_blocks.push_back(Block(0, "D0100", 32, 1000));
    doc.Stations()[0]->m_blocks.push_back(Block(0, "M0000", 16, 699));
    doc.Stations().push_back(Station("PLC2", 31, 3));
    doc.Stations()[1]->m_strDesc = std::string(300, 'd');  // long text form
    doc.Stations()[1]->m_blocks.push_back(Block(3, "D9950", 50, 0));
    ASSERT_TRUE(doc.Save());
    EXPECT_EQ(doc.GetTitle(), "plant");

    CQuorixDoc back;
    ASSERT_EQ(back.Load(dir.File("plant.cfg")), 1);
    EXPECT_EQ(back.Header().GetDesc(), "Quorix.Dll");
    EXPECT_EQ(back.StationNames(), (std::vector<std::string>{"PLC1", "PLC2"}));
    EXPECT_EQ(back.Port().m_nIoIndex, 15);
    EXPECT_EQ(back.Port().m_nMemIndex, 0);
    ASSERT_EQ(back.Stations().size(), 2u);
    const CStationInfo& s1 = *back.Stations()[0];
    EXPECT_EQ(s1.m_strDesc, K("1라인 프레스"));
    EXPECT_EQ(s1.m_nStationNo, 3);
    ASSERT_EQ(s1.m_blocks.size(), 2u);
    EXPECT_EQ(s1.m_blocks[1]->m_strAddress, "M0000");
    EXPECT_EQ(s1.m_blocks[1]->m_nPeriod, 699);
    EXPECT_EQ(s1.m_blocks[1]->m_nAreaCode, 0x773);
    const CStationInfo& s2 = *back.Stations()[1];
    EXPECT_EQ(s2.m_nCpuType, 3);
    EXPECT_EQ(s2.m_strDesc.size(), 300u);
    EXPECT_EQ(s2.m_blocks[0]->m_nStartWord, 9950);
    // Saving what was loaded gives the same bytes.
    back.SetPath(dir.File("again.cfg"));
    ASSERT_TRUE(back.Save());
    EXPECT_EQ(ReadAll(dir.File("again.cfg")), ReadAll(dir.File("plant.cfg")));
}

TEST(ConfigFile, StationNameListIsRebuiltOnSave) {
    TempDir dir;
    CQuorixDoc doc;
    doc.SetPath(dir.File("n.cfg"));
    doc.Stations().push_back(Station("A", 1, 0));
    ASSERT_TRUE(doc.Save());
    // Replace the stored name "A" by "Z": the list disagrees with the station, and still loads.
    Bytes b = ReadAll(dir.File("n.cfg"));
    std::size_t at = HeaderSize() + 3;
    ASSERT_EQ(b[at], 'A');
    b[at] = 'Z';
    WriteAll(dir.File("n.cfg"), b);
    CQuorixDoc back;
    ASSERT_EQ(back.Load(dir.File("n.cfg")), 1);
    EXPECT_EQ(back.StationNames()[0], "Z");
    back.SetPath(dir.File("n.cfg"));
    ASSERT_TRUE(back.Save());
    CQuorixDoc again;
    ASSERT_EQ(again.Load(dir.File("n.cfg")), 1);
    EXPECT_EQ(again.StationNames()[0], "A");
}

TEST(ConfigLoad, EveryTruncationFailsCleanly) {
    TempDir dir;
    CQuorixDoc doc;
    doc.SetPath(dir.File("full.cfg"));
    doc.Stations().push_back(Station("A", 1, 0));
    doc.Stations()[0]->m_blocks.push_back(Block(0, "D0100", 32, 1000));
    doc.Stations()[0]->m_blocks.push_back(Block(0, "D0200", 8, 500));
    ASSERT_TRUE(doc.Save());
    Bytes full = ReadAll(dir.File("full.cfg"));
    for (std::size_t n = 0; n < full.size(); ++n) {
        WriteAll(dir.File("cut.cfg"), Bytes(full.begin(), full.begin() + static_cast<long>(n)));
        CQuorixDoc cut;
        EXPECT_EQ(cut.Load(dir.File("cut.cfg")), 0) << "cut at " << n;
    }
}

TEST(ConfigLoad, DamagedContentFails) {
    TempDir dir;
    CQuorixDoc doc;
    doc.SetPath(dir.File("ok.cfg"));
    doc.Stations().push_back(Station("A", 1, 0));
    doc.Stations()[0]->m_blocks.push_back(Block(0, "D0100", 32, 1000));
    ASSERT_TRUE(doc.Save());
    const Bytes ok = ReadAll(dir.File("ok.cfg"));
    const std::size_t h = HeaderSize();
    const std::size_t stationRecord = h + 2 + 2 + 8 + 2;  // names, board settings, count

    auto loads = [&](const Bytes& b) {
        WriteAll(dir.File("bad.cfg"), b);
        CQuorixDoc d;
        return d.Load(dir.File("bad.cfg"));
    };
    ASSERT_EQ(loads(ok), 1);
    Bytes b = ok;
    b[stationRecord + 2] = 2;  // schema 2
    EXPECT_EQ(loads(b), 0);
    b = ok;
    b[stationRecord + 6] = 'X';  // class "XStationInfo"
    EXPECT_EQ(loads(b), 0);
    b = ok;
    b[0] ^= 0xFF;  // not a host file
    EXPECT_EQ(loads(b), 0);
    // A station list claiming 0xFFFFFFFF entries: fails at the end of the data.
    b = Bytes(ok.begin(), ok.begin() + static_cast<long>(h + 12));
    for (int x : {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}) b.push_back(static_cast<std::uint8_t>(x));
    EXPECT_EQ(loads(b), 0);
    // A station name claiming 4 GB.
    b = Bytes(ok.begin(), ok.begin() + static_cast<long>(h));
    for (int x : {0x01, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, int('A')})
        b.push_back(static_cast<std::uint8_t>(x));
    EXPECT_EQ(loads(b), 0);
    // The block list refers to a class number that was never read (9).
    b = ok;
    std::size_t blockRecord = stationRecord + 2 + 2 + 2 + 12 + 2 + 1 + 8 + 2;
    ASSERT_EQ(b[blockRecord], 0xFF);
    b[blockRecord] = 0x09;
    b[blockRecord + 1] = 0x80;
    EXPECT_EQ(loads(b), 0);
    // A station record where a block belongs.
    b = ok;
    b[blockRecord] = 0x01;
    b[blockRecord + 1] = 0x80;
    EXPECT_EQ(loads(b), 0);
    // A missing file.
    CQuorixDoc d;
    EXPECT_EQ(d.Load(dir.File("nothing.cfg")), 0);
}

TEST(ConfigSave, FailureKeepsTheOldFileAndShows2005) {
    TempDir dir;
    std::string path = dir.File("keep.cfg");
    CQuorixDoc doc;
    doc.SetPath(path);
    doc.Stations().push_back(Station("A", 1, 0));
    ASSERT_TRUE(doc.Save());
    const Bytes before = ReadAll(path);

    // The write itself fails part way: the file size limit stops it.
    for (int i = 0; i < 20; ++i) {
        doc.Stations().push_back(Station(("S" + std::to_string(i)).c_str(), i + 2, 0));
        doc.Stations().back()->m_strDesc = std::string(200, 'x');
    }
    BoxCapture boxes;
    struct rlimit old {};
    ::getrlimit(RLIMIT_FSIZE, &old);
    auto oldHandler = ::signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = old;
    small.rlim_cur = 512;
    ::setrlimit(RLIMIT_FSIZE, &small);
    bool saved = doc.Save();
    ::setrlimit(RLIMIT_FSIZE, &old);
    ::signal(SIGXFSZ, oldHandler);

    EXPECT_FALSE(saved);
    EXPECT_EQ(ReadAll(path), before);
    EXPECT_EQ(Listing(dir.path), std::set<std::string>{"keep.cfg"});
    ASSERT_EQ(boxes.boxes.size(), 1u);
    EXPECT_EQ(boxes.boxes[0].kind, CBoxRequest::error);
    EXPECT_EQ(boxes.boxes[0].id, 2005u);
    EXPECT_NE(boxes.boxes[0].text.find(path), std::string::npos);
}

// A save replaces the content only: the file keeps its mode, owner and links, a folder that takes
// no new file still lets a writable file be saved, and only a real failure shows 2005.
TEST(ConfigSave, ReplacesTheContentAndKeepsTheFile) {
    struct Case {
        const char* name;
        mode_t folderMode, fileMode;
        bool fileOfOther, savedByOther, linked, saves, ownerAfterOther, rootOnly;
    } cases[] = {
        {"mode kept", 0755, 0664, false, false, false, true, false, false},
        {"through a link", 0755, 0640, false, false, true, true, false, false},
        {"read-only folder, writable file", 0555, 0666, true, true, false, true, true, false},
        {"write-protected file", 0777, 0444, true, true, false, false, true, false},
        {"owner kept", 0755, 0640, true, false, false, true, true, true},
        {"owner not ours to keep", 0777, 0666, false, true, false, true, true, true},
    };
    TempDir dir;
    ::chmod(dir.path.c_str(), 0755);
    CQuorixDoc oldDoc, newDoc;
    oldDoc.Stations().push_back(Station("OLD", 1, 0));
    newDoc.Stations().push_back(Station("NEW", 2, 0));
    oldDoc.SetPath(dir.File("old.cfg"));
    ASSERT_TRUE(oldDoc.Save());
    const Bytes oldBytes = ReadAll(dir.File("old.cfg"));

    int i = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.rootOnly && ::geteuid() != 0) continue;  // a second user is needed to arrange it
        std::string folder = dir.File("c" + std::to_string(++i));
        std::string file = folder + "/a.cfg";
        fs::create_directory(folder);
        WriteAll(file, oldBytes);
        ::chmod(file.c_str(), c.fileMode);
        if (c.fileOfOther && ::geteuid() == 0) {
            ASSERT_EQ(::chown(file.c_str(), kNobody, kNobody), 0);
        }
        ::chmod(folder.c_str(), c.folderMode);
        std::string savePath = file;
        if (c.linked) {
            savePath = dir.File("link" + std::to_string(i));
            fs::create_symlink("c" + std::to_string(i) + "/a.cfg", savePath);
        }
        newDoc.SetPath(savePath);

        EXPECT_EQ(c.savedByOther ? SaveAsOther(newDoc) : SaveOutcome(newDoc), c.saves ? 1 : 2);
        CQuorixDoc back;
        ASSERT_EQ(back.Load(file), 1);
        EXPECT_EQ(back.Stations()[0]->m_strName, c.saves ? "NEW" : "OLD");
        struct stat st {};
        ::stat(file.c_str(), &st);
        EXPECT_EQ(st.st_mode & 07777, c.fileMode);
        EXPECT_EQ(st.st_uid, c.ownerAfterOther ? Other() : ::geteuid());
        EXPECT_TRUE(!c.linked || fs::is_symlink(savePath));
        EXPECT_EQ(Listing(folder), std::set<std::string>{"a.cfg"});
        ::chmod(folder.c_str(), 0755);
    }
}

// Two documents saving the same path over and over never leave a file that fails to load.
TEST(ConfigSave, ConcurrentSavesLeaveALoadableFile) {
    TempDir dir;
    const std::string path = dir.File("c.cfg");
    std::atomic<int> boxes{0}, failedSaves{0}, running{2};
    CBoxHandler previous = AfxSetBoxHandler([&](const CBoxRequest&) {
        ++boxes;
        return IDOK;
    });
    auto saver = [&](int stations) {
        CQuorixDoc doc;
        doc.SetPath(path);
        for (int i = 0; i < stations; ++i) {
            doc.Stations().push_back(Station(("S" + std::to_string(i)).c_str(), i % 32, 0));
            doc.Stations().back()->m_strDesc = std::string(200, 'x');  // several buffers
        }
        for (int n = 0; n < 100; ++n) failedSaves += doc.Save() ? 0 : 1;
        --running;
    };
    {
        CQuorixDoc first;
        first.SetPath(path);
        ASSERT_TRUE(first.Save());
    }
    std::thread a(saver, 1), b(saver, 40);
    int failedLoads = 0;
    while (running > 0) {
        CQuorixDoc back;
        failedLoads += back.Load(path) == 1 ? 0 : 1;
    }
    a.join();
    b.join();
    AfxSetBoxHandler(previous);
    EXPECT_EQ(failedSaves, 0);
    EXPECT_EQ(failedLoads, 0);
    EXPECT_EQ(boxes, 0);
    EXPECT_EQ(Listing(dir.path), std::set<std::string>{"c.cfg"});
}

TEST(ConfigSave, UnwritableFolderShows2005) {
    BoxCapture boxes;
    CQuorixDoc doc;
    doc.SetPath("/nonexistent-folder/x.cfg");
    EXPECT_FALSE(doc.Save());
    ASSERT_EQ(boxes.boxes.size(), 1u);
    EXPECT_EQ(boxes.boxes[0].id, 2005u);
}

TEST(Configure, LoadFailureShows2002AndMissingFileIsNoError) {
    TempDir dir;
    int runs = 0;
    CQuorixDoc::SetDialogRunner([&](CQuorixDoc& d) {
        ++runs;
        return d.Stations().empty() ? 0 : 1;
    });
    {
        BoxCapture boxes;
        CQuorixDoc doc;
        EXPECT_EQ(doc.Configure(dir.File("new.cfg")), 0);
        EXPECT_EQ(runs, 1);
        EXPECT_TRUE(boxes.boxes.empty());
        EXPECT_EQ(doc.GetTitle(), "new");
        EXPECT_FALSE(fs::exists(dir.File("new.cfg")));
    }
    {
        WriteAll(dir.File("junk.cfg"), Bytes{1, 2, 3});
        BoxCapture boxes;
        CQuorixDoc doc;
        EXPECT_EQ(doc.Configure(dir.File("junk.cfg")), 0);
        EXPECT_EQ(runs, 1);  // no dialog
        ASSERT_EQ(boxes.boxes.size(), 1u);
        EXPECT_EQ(boxes.boxes[0].id, 2002u);
        EXPECT_NE(boxes.boxes[0].text.find("junk.cfg"), std::string::npos);
    }
    CQuorixDoc::SetDialogRunner(nullptr);
}
