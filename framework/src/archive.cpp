#include "framework/archive.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

// --- files --------------------------------------------------------------------------------------

std::size_t CMemFile::Read(void* buf, std::size_t n) {
    std::size_t take = std::min(n, data_.size() - pos_);
    if (take == 0) return 0;  // an empty file has no data pointer to copy from
    std::memcpy(buf, data_.data() + pos_, take);
    pos_ += take;
    return take;
}

void CMemFile::Write(const void* buf, std::size_t n) {
    auto p = static_cast<const std::uint8_t*>(buf);
    data_.insert(data_.end(), p, p + n);
}

CDiskFile::~CDiskFile() { Close(); }

bool CDiskFile::Open(const std::string& path, Mode mode) {
    Close();
    if (mode == readShared) {
        fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    } else {
        fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (fd_ >= 0 && (::flock(fd_, LOCK_EX | LOCK_NB) != 0 || ::ftruncate(fd_, 0) != 0)) Close();
    }
    return fd_ >= 0;
}

bool CDiskFile::CreateUnique(const std::string& prefix, std::string& created) {
    Close();
    // Process id and a counter make the name unique; O_EXCL guards against a name someone else
    // took anyway.
    static std::atomic<unsigned> counter{0};
    for (int attempt = 0; attempt < 100; ++attempt) {
        char suffix[32];
        std::snprintf(suffix, sizeof suffix, "%x-%x", static_cast<unsigned>(::getpid()),
                      counter.fetch_add(1));
        std::string name = prefix + suffix;
        fd_ = ::open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd_ >= 0) {
            created = std::move(name);
            return true;
        }
        if (errno != EEXIST) return false;
    }
    return false;
}

std::size_t CDiskFile::Read(void* buf, std::size_t n) {
    for (;;) {
        ssize_t r = ::read(fd_, buf, n);
        if (r >= 0) return static_cast<std::size_t>(r);
        if (errno != EINTR) throw CArchiveException(CArchiveException::genericError, "read failed");
    }
}

void CDiskFile::Write(const void* buf, std::size_t n) {
    auto p = static_cast<const char*>(buf);
    while (n > 0) {
        ssize_t w = ::write(fd_, p, n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) throw CArchiveException(CArchiveException::writeFailed, std::strerror(errno));
        p += w;
        n -= static_cast<std::size_t>(w);
    }
}

void CDiskFile::Flush() {
    if (fd_ >= 0 && ::fsync(fd_) != 0)
        throw CArchiveException(CArchiveException::writeFailed, std::strerror(errno));
}

void CDiskFile::Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

// --- archive ------------------------------------------------------------------------------------

CArchive::CArchive(CFile* file, Mode mode, std::size_t bufSize)
    : file_(file), mode_(mode), buf_(std::max<std::size_t>(bufSize, 16)) {}

CArchive::~CArchive() {
    if (!closed_ && IsStoring()) {
        try {
            FlushBuffer();
        } catch (...) {
        }
    }
}

void CArchive::Close() {
    if (closed_) return;
    closed_ = true;
    if (IsStoring()) FlushBuffer();
}

void CArchive::FlushBuffer() {
    if (pos_ > 0) file_->Write(buf_.data(), pos_);
    pos_ = 0;
}

void CArchive::FillBuffer() {
    len_ = file_->Read(buf_.data(), buf_.size());
    pos_ = 0;
    if (len_ == 0) throw CArchiveException(CArchiveException::endOfFile, "unexpected end of file");
}

void CArchive::Write(const void* data, std::size_t n) {
    auto p = static_cast<const std::uint8_t*>(data);
    while (n > 0) {
        if (pos_ == buf_.size()) FlushBuffer();
        std::size_t take = std::min(n, buf_.size() - pos_);
        std::memcpy(buf_.data() + pos_, p, take);
        pos_ += take;
        p += take;
        n -= take;
    }
}

void CArchive::Read(void* data, std::size_t n) {
    auto p = static_cast<std::uint8_t*>(data);
    while (n > 0) {
        if (pos_ == len_) FillBuffer();
        std::size_t take = std::min(n, len_ - pos_);
        std::memcpy(p, buf_.data() + pos_, take);
        pos_ += take;
        p += take;
        n -= take;
    }
}

void CArchive::WriteWord(std::uint16_t v) {
    std::uint8_t b[2] = {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8)};
    Write(b, 2);
}

void CArchive::WriteDword(std::uint32_t v) {
    std::uint8_t b[4];
    for (int i = 0; i < 4; ++i) b[i] = static_cast<std::uint8_t>(v >> (8 * i));
    Write(b, 4);
}

std::uint8_t CArchive::ReadByte() {
    std::uint8_t b;
    Read(&b, 1);
    return b;
}

std::uint16_t CArchive::ReadWord() {
    std::uint8_t b[2];
    Read(b, 2);
    return static_cast<std::uint16_t>(b[0] | (b[1] << 8));
}

std::uint32_t CArchive::ReadDword() {
    std::uint8_t b[4];
    Read(b, 4);
    return std::uint32_t(b[0]) | (std::uint32_t(b[1]) << 8) | (std::uint32_t(b[2]) << 16) |
           (std::uint32_t(b[3]) << 24);
}

void CArchive::WriteCount(std::uint32_t count) {
    if (count < 0xFFFF) {
        WriteWord(static_cast<std::uint16_t>(count));
    } else {
        WriteWord(0xFFFF);
        WriteDword(count);
    }
}

std::uint32_t CArchive::ReadCount() {
    std::uint16_t w = ReadWord();
    return w != 0xFFFF ? w : ReadDword();
}

void CArchive::WriteString(const std::string& text) {
    std::size_t n = text.size();
    if (n < 0xFF) {
        WriteByte(static_cast<std::uint8_t>(n));
    } else if (n < 0xFFFE) {
        WriteByte(0xFF);
        WriteWord(static_cast<std::uint16_t>(n));
    } else {
        WriteByte(0xFF);
        WriteWord(0xFFFF);
        WriteDword(static_cast<std::uint32_t>(n));
    }
    Write(text.data(), n);
}

std::string CArchive::ReadString() {
    std::uint32_t n = ReadByte();
    if (n == 0xFF) {
        n = ReadWord();
        if (n == 0xFFFF) n = ReadDword();
    }
    // Grow with the data actually read, so a length claimed by a damaged file costs nothing.
    std::string text;
    char chunk[4096];
    while (n > 0) {
        std::size_t take = std::min<std::size_t>(n, sizeof chunk);
        Read(chunk, take);
        text.append(chunk, take);
        n -= static_cast<std::uint32_t>(take);
    }
    return text;
}

void CArchive::WriteClassRef(std::uint32_t number) {
    if (number < wBigObjectTag) {
        WriteWord(static_cast<std::uint16_t>(wClassTag | number));
    } else {
        WriteWord(wBigObjectTag);
        WriteDword(dwBigClassTag | number);
    }
}

void CArchive::WriteObject(const CObject* obj) {
    if (!obj) {
        WriteWord(wNullTag);
        return;
    }
    auto known = storeMap_.find(obj);
    if (known != storeMap_.end()) {  // an object written before: a back reference
        if (known->second < wBigObjectTag) {
            WriteWord(static_cast<std::uint16_t>(known->second));
        } else {
            WriteWord(wBigObjectTag);
            WriteDword(known->second);
        }
        return;
    }
    const CRuntimeClass* cls = obj->GetRuntimeClass();
    auto cit = storeMap_.find(cls);
    if (cit != storeMap_.end()) {
        WriteClassRef(cit->second);
    } else {
        std::size_t len = std::strlen(cls->m_lpszClassName);
        WriteWord(wNewClassTag);
        WriteWord(cls->m_wSchema);
        WriteWord(static_cast<std::uint16_t>(len));
        Write(cls->m_lpszClassName, len);
        storeMap_[cls] = mapCount_++;
    }
    storeMap_[obj] = mapCount_++;
    const_cast<CObject*>(obj)->Serialize(*this);
}

std::unique_ptr<CObject> CArchive::ReadObject(const CRuntimeClass* required) {
    std::uint16_t tag = ReadWord();
    const CRuntimeClass* cls = nullptr;
    if (tag == wNewClassTag) {
        std::uint16_t schema = ReadWord();
        std::uint16_t len = ReadWord();
        std::string name(len, '\0');
        Read(name.data(), len);
        cls = CRuntimeClass::FromName(name, required);
        if (!cls || !cls->m_pfnCreateObject)
            throw CArchiveException(CArchiveException::badClass, "unknown class " + name);
        if (schema != cls->m_wSchema)
            throw CArchiveException(CArchiveException::badSchema, "schema mismatch for " + name);
        loadMap_.push_back({cls});
    } else {
        std::uint32_t number;
        bool isClassRef;
        if (tag == wBigObjectTag) {
            std::uint32_t big = ReadDword();
            isClassRef = (big & dwBigClassTag) != 0;
            number = big & ~dwBigClassTag;
        } else {
            isClassRef = (tag & wClassTag) != 0;
            number = tag & ~std::uint32_t(wClassTag);
        }
        // Null objects and back references would put one object in two owned lists.
        if (!isClassRef || number == 0 || number >= loadMap_.size() || !loadMap_[number].cls)
            throw CArchiveException(CArchiveException::badIndex, "bad object reference");
        cls = loadMap_[number].cls;
    }
    if (!cls->IsDerivedFrom(required))
        throw CArchiveException(CArchiveException::badClass, "unexpected class");
    std::unique_ptr<CObject> obj(cls->CreateObject());
    if (!obj) throw CArchiveException(CArchiveException::badClass, "class cannot be created");
    loadMap_.push_back({nullptr});
    obj->Serialize(*this);
    return obj;
}

void CArchive::SerializeInt(std::int32_t& v) {
    if (IsStoring())
        WriteDword(static_cast<std::uint32_t>(v));
    else
        v = static_cast<std::int32_t>(ReadDword());
}

void CArchive::SerializeString(std::string& s) {
    if (IsStoring())
        WriteString(s);
    else
        s = ReadString();
}
