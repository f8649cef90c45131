// The framework's archive stream: counts, texts, integers and object records with the shared
// class/object numbering, over a file. Loading failures throw CArchiveException, which the
// callers that read files catch at their boundary.
#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <vector>

#include "framework/object.h"

class CArchiveException : public std::runtime_error {
public:
    enum Cause { endOfFile, badClass, badSchema, badIndex, badCount, writeFailed, genericError };
    CArchiveException(Cause cause, const std::string& what)
        : std::runtime_error(what), m_cause(cause) {}
    Cause m_cause;
};

// A byte stream the archive reads from or writes to.
class CFile {
public:
    virtual ~CFile() = default;
    // Reads up to n bytes; returns how many were read (0 at the end).
    virtual std::size_t Read(void* buf, std::size_t n) = 0;
    // Writes all n bytes or throws CArchiveException(writeFailed).
    virtual void Write(const void* buf, std::size_t n) = 0;
    virtual void Flush() {}
};

// An in-memory file, for tests and for building content before it is written out.
class CMemFile : public CFile {
public:
    CMemFile() = default;
    explicit CMemFile(std::vector<std::uint8_t> data) : data_(std::move(data)) {}
    std::size_t Read(void* buf, std::size_t n) override;
    void Write(const void* buf, std::size_t n) override;
    const std::vector<std::uint8_t>& Data() const { return data_; }

private:
    std::vector<std::uint8_t> data_;
    std::size_t pos_ = 0;
};

// A file on disk, opened through POSIX calls.
class CDiskFile : public CFile {
public:
    // createExclusive: opens (or creates) the file for writing, takes its lock and only then
    // empties it, so a second writer cannot cut what the first one is writing.
    enum Mode { readShared, createExclusive };
    CDiskFile() = default;
    ~CDiskFile() override;
    bool Open(const std::string& path, Mode mode);
    // Creates a file that did not exist, named prefix + a unique suffix, and gives its name in
    // `created`. On failure errno tells why.
    bool CreateUnique(const std::string& prefix, std::string& created);
    int Handle() const { return fd_; }
    std::size_t Read(void* buf, std::size_t n) override;
    void Write(const void* buf, std::size_t n) override;
    // Flushes to the device (fsync); throws on failure.
    void Flush() override;
    void Close();

private:
    int fd_ = -1;
};

class CArchive {
public:
    enum Mode { load = 1, store = 0 };
    static constexpr std::uint16_t wNullTag = 0;
    static constexpr std::uint16_t wNewClassTag = 0xFFFF;
    static constexpr std::uint16_t wClassTag = 0x8000;
    static constexpr std::uint16_t wBigObjectTag = 0x7FFF;
    static constexpr std::uint32_t dwBigClassTag = 0x80000000u;

    CArchive(CFile* file, Mode mode, std::size_t bufSize = 4096);
    ~CArchive();  // flushes a storing archive if Close was not called (errors ignored)
    CArchive(const CArchive&) = delete;
    CArchive& operator=(const CArchive&) = delete;

    bool IsLoading() const { return mode_ == load; }
    bool IsStoring() const { return mode_ == store; }
    void Close();  // flushes the buffer of a storing archive

    // Raw little-endian values.
    void Write(const void* data, std::size_t n);
    void Read(void* data, std::size_t n);
    void WriteByte(std::uint8_t v) { Write(&v, 1); }
    void WriteWord(std::uint16_t v);
    void WriteDword(std::uint32_t v);
    std::uint8_t ReadByte();
    std::uint16_t ReadWord();
    std::uint32_t ReadDword();

    void WriteCount(std::uint32_t count);
    std::uint32_t ReadCount();
    void WriteString(const std::string& text);
    std::string ReadString();

    // Object records. A loading archive creates the object from its class and reads its fields;
    // the class must be the required one or derive from it.
    void WriteObject(const CObject* obj);
    std::unique_ptr<CObject> ReadObject(const CRuntimeClass* required);

    // Both directions in one call, for Serialize operations.
    void SerializeInt(std::int32_t& v);
    void SerializeString(std::string& s);

private:
    void FillBuffer();
    void FlushBuffer();
    void WriteClassRef(std::uint32_t number);

    CFile* file_;
    Mode mode_;
    std::vector<std::uint8_t> buf_;
    std::size_t pos_ = 0, len_ = 0;
    bool closed_ = false;
    // Shared numbering of classes and objects, starting at 1.
    std::uint32_t mapCount_ = 1;
    std::unordered_map<const void*, std::uint32_t> storeMap_;
    struct LoadEntry {
        const CRuntimeClass* cls;  // set for a class entry, null for an object entry
    };
    std::vector<LoadEntry> loadMap_{LoadEntry{nullptr}};
};

// An owned object list: a count, then that many object records of class T (or derived).
template <class T>
void SerializeObList(CArchive& ar, std::vector<std::unique_ptr<T>>& list) {
    if (ar.IsStoring()) {
        ar.WriteCount(static_cast<std::uint32_t>(list.size()));
        for (const auto& p : list) ar.WriteObject(p.get());
        return;
    }
    std::uint32_t n = ar.ReadCount();
    for (std::uint32_t i = 0; i < n; ++i) {
        std::unique_ptr<CObject> obj = ar.ReadObject(T::GetThisClass());
        list.push_back(std::unique_ptr<T>(static_cast<T*>(obj.release())));
    }
}
