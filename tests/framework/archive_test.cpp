// The archive's byte format: counts, texts, object records and their shared numbering.
#include "framework/archive.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

class CItemA : public CObject {
    DECLARE_SERIAL(CItemA)
public:
    std::int32_t value = 0;
    void Serialize(CArchive& ar) override { ar.SerializeInt(value); }
};
IMPLEMENT_SERIAL(CItemA, CObject, 1)

class CItemB : public CObject {
    DECLARE_SERIAL(CItemB)
public:
    std::string text;
    void Serialize(CArchive& ar) override { ar.SerializeString(text); }
};
IMPLEMENT_SERIAL(CItemB, CObject, 2)

template <class F>
Bytes Store(F body) {
    CMemFile file;
    {
        CArchive ar(&file, CArchive::store, 16);  // a small buffer exercises the flushing
        body(ar);
        ar.Close();
    }
    return file.Data();
}

template <class F>
void LoadFrom(const Bytes& bytes, F body) {
    CMemFile file(bytes);
    CArchive ar(&file, CArchive::load, 16);
    body(ar);
}

TEST(ArchiveFormat, CountsUseTheLongFormFromFFFF) {
    EXPECT_EQ(Store([](CArchive& ar) { ar.WriteCount(0xFFFE); }), (Bytes{0xFE, 0xFF}));
    EXPECT_EQ(Store([](CArchive& ar) { ar.WriteCount(0xFFFF); }),
              (Bytes{0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00}));
    EXPECT_EQ(Store([](CArchive& ar) { ar.WriteCount(0x12345); }),
              (Bytes{0xFF, 0xFF, 0x45, 0x23, 0x01, 0x00}));
    for (std::uint32_t n : {0u, 1u, 0xFFFEu, 0xFFFFu, 0x10000u, 0xFFFFFFFFu}) {
        Bytes b = Store([&](CArchive& ar) { ar.WriteCount(n); });
        LoadFrom(b, [&](CArchive& ar) { EXPECT_EQ(ar.ReadCount(), n); });
    }
}

TEST(ArchiveFormat, TextLengthPrefixes) {
    EXPECT_EQ(Store([](CArchive& ar) { ar.WriteString(""); }), (Bytes{0x00}));
    EXPECT_EQ(Store([](CArchive& ar) { ar.WriteString("AB"); }), (Bytes{0x02, 'A', 'B'}));
    // 254 bytes still fit the one-byte length; 255 take 0xFF + 16-bit.
    Bytes b254 = Store([](CArchive& ar) { ar.WriteString(std::string(254, 'x')); });
    EXPECT_EQ(b254[0], 0xFE);
    EXPECT_EQ(b254.size(), 255u);
    Bytes b255 = Store([](CArchive& ar) { ar.WriteString(std::string(255, 'x')); });
    EXPECT_EQ((Bytes(b255.begin(), b255.begin() + 3)), (Bytes{0xFF, 0xFF, 0x00}));
    // 0xFFFD bytes use the 16-bit form, 0xFFFE the 32-bit one.
    Bytes bMid = Store([](CArchive& ar) { ar.WriteString(std::string(0xFFFD, 'y')); });
    EXPECT_EQ((Bytes(bMid.begin(), bMid.begin() + 3)), (Bytes{0xFF, 0xFD, 0xFF}));
    Bytes bBig = Store([](CArchive& ar) { ar.WriteString(std::string(0xFFFE, 'z')); });
    EXPECT_EQ((Bytes(bBig.begin(), bBig.begin() + 7)),
              (Bytes{0xFF, 0xFF, 0xFF, 0xFE, 0xFF, 0x00, 0x00}));
    EXPECT_EQ(bBig.size(), 7u + 0xFFFE);
    const std::pair<const Bytes*, std::size_t> cases[] = {
        {&b254, 254}, {&b255, 255}, {&bMid, 0xFFFD}, {&bBig, 0xFFFE}};
    for (const auto& [bytes, length] : cases) {
        LoadFrom(*bytes, [&](CArchive& ar) {
            std::string s = ar.ReadString();
            ASSERT_EQ(s.size(), length);
            EXPECT_EQ(s, std::string(length, bytes->back()));
        });
    }
}

TEST(ArchiveFormat, ObjectRecordsShareOneCounterForClassesAndObjects) {
    CItemA a1, a2;
    CItemB b1;
    a1.value = 7;
    a2.value = 8;
    b1.text = "q";
    Bytes b = Store([&](CArchive& ar) {
        ar.WriteObject(&a1);  // class CItemA = 1, object 2
        ar.WriteObject(&b1);  // class CItemB = 3, object 4
        ar.WriteObject(&a2);  // known class 1, object 5
    });
    Bytes expected = {0xFF, 0xFF, 0x01, 0x00, 0x06, 0x00, 'C',  'I',
                      't',  'e',  'm',  'A',  0x07, 0x00, 0x00, 0x00,  //
                      0xFF, 0xFF, 0x02, 0x00, 0x06, 0x00, 'C',  'I',
                      't',  'e',  'm',  'B',  0x01, 'q',  //
                      0x01, 0x80, 0x08, 0x00, 0x00, 0x00};
    EXPECT_EQ(b, expected);
    LoadFrom(b, [](CArchive& ar) {
        auto o1 = ar.ReadObject(&CObject::classCObject);
        auto o2 = ar.ReadObject(&CObject::classCObject);
        auto o3 = ar.ReadObject(&CObject::classCObject);
        ASSERT_TRUE(o1->IsKindOf(CItemA::GetThisClass()));
        ASSERT_TRUE(o2->IsKindOf(CItemB::GetThisClass()));
        EXPECT_EQ(static_cast<CItemA*>(o1.get())->value, 7);
        EXPECT_EQ(static_cast<CItemB*>(o2.get())->text, "q");
        EXPECT_EQ(static_cast<CItemA*>(o3.get())->value, 8);
    });
}

TEST(ArchiveFormat, ClassNumbersFrom7FFFUseTheLongForm) {
    // 0x7FFE objects of A take numbers 1 (class) and 2..0x7FFF; class B then gets 0x8000.
    std::vector<std::unique_ptr<CItemA>> many;
    for (int i = 0; i < 0x7FFE; ++i) many.push_back(std::make_unique<CItemA>());
    CItemB b1, b2;
    Bytes b = Store([&](CArchive& ar) {
        for (auto& a : many) ar.WriteObject(a.get());
        ar.WriteObject(&b1);
        ar.WriteObject(&b2);
    });
    // The last record: 0x7FFF, then 0x80000000 | 0x8000, then B's empty text.
    Bytes tail(b.end() - 7, b.end());
    EXPECT_EQ(tail, (Bytes{0xFF, 0x7F, 0x00, 0x80, 0x00, 0x80, 0x00}));
    LoadFrom(b, [&](CArchive& ar) {
        for (int i = 0; i < 0x7FFE; ++i) ar.ReadObject(CItemA::GetThisClass());
        EXPECT_TRUE(ar.ReadObject(CItemB::GetThisClass())->IsKindOf(CItemB::GetThisClass()));
        EXPECT_TRUE(ar.ReadObject(CItemB::GetThisClass())->IsKindOf(CItemB::GetThisClass()));
    });
}

TEST(ArchiveFormat, ObjectListRoundTrip) {
    std::vector<std::unique_ptr<CItemA>> list;
    for (int i = 0; i < 3; ++i) {
        list.push_back(std::make_unique<CItemA>());
        list.back()->value = i * 10;
    }
    Bytes b = Store([&](CArchive& ar) { SerializeObList(ar, list); });
    std::vector<std::unique_ptr<CItemA>> back;
    LoadFrom(b, [&](CArchive& ar) { SerializeObList(ar, back); });
    ASSERT_EQ(back.size(), 3u);
    EXPECT_EQ(back[2]->value, 20);
}

// Every malformed stream ends in CArchiveException, never in a crash or a huge allocation.
TEST(ArchiveLoad, RejectsMalformedObjectRecords) {
    auto expectThrow = [](const Bytes& b, CArchiveException::Cause cause) {
        CMemFile file(b);
        CArchive ar(&file, CArchive::load);
        try {
            ar.ReadObject(CItemA::GetThisClass());
            ADD_FAILURE() << "no exception";
        } catch (const CArchiveException& e) {
            EXPECT_EQ(e.m_cause, cause);
        }
    };
    // unknown class name
    expectThrow({0xFF, 0xFF, 0x01, 0x00, 0x03, 0x00, 'X', 'Y', 'Z'}, CArchiveException::badClass);
    // wrong schema
    expectThrow({0xFF, 0xFF, 0x02, 0x00, 0x06, 0x00, 'C', 'I', 't', 'e', 'm', 'A', 0, 0, 0, 0},
                CArchiveException::badSchema);
    // a class that is not the required one
    expectThrow({0xFF, 0xFF, 0x02, 0x00, 0x06, 0x00, 'C', 'I', 't', 'e', 'm', 'B', 0x00},
                CArchiveException::badClass);
    // class references to numbers never read, null objects, back references
    expectThrow({0x01, 0x80}, CArchiveException::badIndex);
    expectThrow({0xFF, 0x7F, 0x05, 0x00, 0x00, 0x80}, CArchiveException::badIndex);
    expectThrow({0x00, 0x00}, CArchiveException::badIndex);
    expectThrow({0x02, 0x00}, CArchiveException::badIndex);
    // truncated inside the class name and inside the fields
    expectThrow({0xFF, 0xFF, 0x01, 0x00, 0x06, 0x00, 'C', 'I'}, CArchiveException::endOfFile);
    expectThrow({0xFF, 0xFF, 0x01, 0x00, 0x06, 0x00, 'C', 'I', 't', 'e', 'm', 'A', 0x07},
                CArchiveException::endOfFile);
}

TEST(ArchiveLoad, HugeClaimedLengthsFailAtTheEndOfTheData) {
    // A text claiming 4 GB with 3 bytes behind it.
    Bytes b = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 'a', 'b', 'c'};
    CMemFile file(b);
    CArchive ar(&file, CArchive::load);
    EXPECT_THROW(ar.ReadString(), CArchiveException);
    // A list claiming 4 billion entries with none behind it.
    std::vector<std::unique_ptr<CItemA>> list;
    CMemFile f2(Bytes{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF});
    CArchive ar2(&f2, CArchive::load);
    EXPECT_THROW(SerializeObList(ar2, list), CArchiveException);
    EXPECT_TRUE(list.empty());
}

}  // namespace
