// Serialisable objects: every class that can appear in an archive registers itself by name and
// schema, so that a loading archive can create it from the name it reads.
#pragma once

#include <cstdint>
#include <string_view>

class CArchive;
class CObject;

struct CRuntimeClass {
    const char* m_lpszClassName;
    std::uint16_t m_wSchema;
    CObject* (*m_pfnCreateObject)();
    const CRuntimeClass* m_pBaseClass;

    CObject* CreateObject() const { return m_pfnCreateObject ? m_pfnCreateObject() : nullptr; }
    bool IsDerivedFrom(const CRuntimeClass* base) const;
    // The serialisable class registered under this name, or null. With `base`, a class of
    // that name deriving from it is preferred: two modules may each carry a class of one name.
    static const CRuntimeClass* FromName(std::string_view name,
                                         const CRuntimeClass* base = nullptr);
};

// Registers a class for the lifetime of the module that defines it.
class CClassRegistration {
public:
    explicit CClassRegistration(const CRuntimeClass* cls);
    ~CClassRegistration();
    CClassRegistration(const CClassRegistration&) = delete;
    CClassRegistration& operator=(const CClassRegistration&) = delete;

private:
    const CRuntimeClass* cls_;
};

class CObject {
public:
    virtual const CRuntimeClass* GetRuntimeClass() const;
    virtual ~CObject() = default;
    virtual void Serialize(CArchive& ar);
    bool IsKindOf(const CRuntimeClass* cls) const { return GetRuntimeClass()->IsDerivedFrom(cls); }

    static const CRuntimeClass classCObject;
};

#define DECLARE_SERIAL(class_name)                                                       \
public:                                                                                  \
    static const CRuntimeClass class##class_name;                                        \
    static const CRuntimeClass* GetThisClass() { return &class##class_name; }            \
    const CRuntimeClass* GetRuntimeClass() const override { return &class##class_name; } \
    static CObject* CreateObject();

#define IMPLEMENT_SERIAL(class_name, base_class_name, schema)                                      \
    CObject* class_name::CreateObject() { return new class_name; }                                 \
    const CRuntimeClass class_name::class##class_name = {                                          \
        #class_name, schema, &class_name::CreateObject, &base_class_name::class##base_class_name}; \
    static CClassRegistration _init_##class_name(&class_name::class##class_name);
