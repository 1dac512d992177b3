// The least of COM that an in-process automation server and its script host need on Linux:
// IUnknown, IClassFactory, IDispatch with type information, VARIANT, BSTR, and creation of a
// class by CLSID or ProgID from the classes registered in our registry (HKEY_CLASSES_ROOT).
//
// Contract: interfaces are C++ classes whose virtual functions sit in the documented slot
// order (single inheritance, so the layout is that of a COM vtable); no method throws. Text
// crosses interfaces as BSTR: UTF-16 code units after a 32-bit byte count, NUL-terminated,
// allocated and freed only through SysAllocString*/SysFreeString. The ANSI code page of this
// platform is UTF-8; bytes that are not UTF-8 become the code units U+DC80..U+DCFF on the way
// in and the same bytes on the way out, so any byte string survives a round trip. Objects are
// apartment-threaded: each is used by the thread that made it. Creation functions may be
// called from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace qm::com {

using HRESULT = std::int32_t;
using ULONG = std::uint32_t;
using UINT = std::uint32_t;
using WORD = std::uint16_t;
using OLECHAR = char16_t;
using BSTR = OLECHAR*;
using VARIANT_BOOL = std::int16_t;
using VARTYPE = std::uint16_t;
using DISPID = std::int32_t;
using LCID = std::uint32_t;

struct GUID {
    std::uint32_t Data1;
    std::uint16_t Data2;
    std::uint16_t Data3;
    std::uint8_t Data4[8];
};
using IID = GUID;
using CLSID = GUID;

inline bool operator==(const GUID& a, const GUID& b) {
    if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3) return false;
    for (int i = 0; i < 8; ++i)
        if (a.Data4[i] != b.Data4[i]) return false;
    return true;
}

constexpr HRESULT Hr(std::uint32_t v) { return static_cast<HRESULT>(v); }
inline constexpr HRESULT S_OK = 0;
inline constexpr HRESULT S_FALSE = 1;
inline constexpr HRESULT E_NOTIMPL = Hr(0x80004001);
inline constexpr HRESULT E_NOINTERFACE = Hr(0x80004002);
inline constexpr HRESULT E_POINTER = Hr(0x80004003);
inline constexpr HRESULT E_FAIL = Hr(0x80004005);
inline constexpr HRESULT E_OUTOFMEMORY = Hr(0x8007000E);
inline constexpr HRESULT E_INVALIDARG = Hr(0x80070057);
inline constexpr HRESULT CLASS_E_NOAGGREGATION = Hr(0x80040110);
inline constexpr HRESULT CLASS_E_CLASSNOTAVAILABLE = Hr(0x80040111);
inline constexpr HRESULT REGDB_E_CLASSNOTREG = Hr(0x80040154);
inline constexpr HRESULT CO_E_CLASSSTRING = Hr(0x800401F3);
inline constexpr HRESULT CO_E_DLLNOTFOUND = Hr(0x8004018F);
inline constexpr HRESULT CO_E_ERRORINDLL = Hr(0x800401F9);
inline constexpr HRESULT SELFREG_E_CLASS = Hr(0x80040201);
inline constexpr HRESULT DISP_E_MEMBERNOTFOUND = Hr(0x80020003);
inline constexpr HRESULT DISP_E_TYPEMISMATCH = Hr(0x80020005);
inline constexpr HRESULT DISP_E_UNKNOWNNAME = Hr(0x80020006);
inline constexpr HRESULT DISP_E_NONAMEDARGS = Hr(0x80020007);
inline constexpr HRESULT DISP_E_BADINDEX = Hr(0x8002000B);
inline constexpr HRESULT DISP_E_BADPARAMCOUNT = Hr(0x8002000E);
inline constexpr HRESULT DISP_E_UNKNOWNINTERFACE = Hr(0x80020001);

inline bool Succeeded(HRESULT hr) { return hr >= 0; }
inline bool Failed(HRESULT hr) { return hr < 0; }

enum : VARTYPE {
    VT_EMPTY = 0,
    VT_NULL = 1,
    VT_I2 = 2,
    VT_I4 = 3,
    VT_BSTR = 8,
    VT_DISPATCH = 9,
    VT_ERROR = 10,
    VT_BOOL = 11,
    VT_VARIANT = 12,
    VT_UNKNOWN = 13,
    VT_UI1 = 17,
    VT_UI4 = 19,
    VT_INT = 22,
    VT_BYREF = 0x4000,
};

class IUnknown;
class IDispatch;

struct VARIANT {
    VARTYPE vt;
    WORD reserved1, reserved2, reserved3;
    union {
        std::int32_t lVal;
        std::int16_t iVal;
        std::uint8_t bVal;
        std::uint32_t ulVal;
        std::int32_t intVal;
        VARIANT_BOOL boolVal;
        HRESULT scode;
        BSTR bstrVal;
        IUnknown* punkVal;
        IDispatch* pdispVal;
        VARIANT* pvarVal;
        void* byref;
    };
};

// Arguments of IDispatch::Invoke, the last argument first.
struct DISPPARAMS {
    VARIANT* rgvarg;
    DISPID* rgdispidNamedArgs;
    UINT cArgs;
    UINT cNamedArgs;
};

struct EXCEPINFO {
    WORD wCode;
    WORD reserved;
    BSTR bstrSource;
    BSTR bstrDescription;
    BSTR bstrHelpFile;
    std::uint32_t dwHelpContext;
    void* pvReserved;
    void* pfnDeferredFillIn;
    HRESULT scode;
};

inline constexpr WORD DISPATCH_METHOD = 1;
inline constexpr WORD DISPATCH_PROPERTYGET = 2;
inline constexpr DISPID DISPID_UNKNOWN = -1;

extern const IID IID_IUnknown;       // {00000000-0000-0000-C000-000000000046}
extern const IID IID_IClassFactory;  // {00000001-0000-0000-C000-000000000046}
extern const IID IID_IDispatch;      // {00020400-0000-0000-C000-000000000046}
extern const IID IID_ITypeInfo;      // {00020401-0000-0000-C000-000000000046}
extern const IID IID_NULL;

class IUnknown {
public:
    virtual HRESULT QueryInterface(const IID& iid, void** out) = 0;
    virtual ULONG AddRef() = 0;
    virtual ULONG Release() = 0;

protected:
    ~IUnknown() = default;
};

class IClassFactory : public IUnknown {
public:
    virtual HRESULT CreateInstance(IUnknown* outer, const IID& iid, void** out) = 0;
    virtual HRESULT LockServer(int lock) = 0;

protected:
    ~IClassFactory() = default;
};

// What one method of a dispatch interface looks like to a script.
struct ParamDesc {
    const char* name;
    VARTYPE vt;      // VT_VARIANT, or VT_UNKNOWN for an interface pointer
    unsigned flags;  // kParamIn, kParamOut, kParamRetval
};
inline constexpr unsigned kParamIn = 1;
inline constexpr unsigned kParamOut = 2;
inline constexpr unsigned kParamRetval = 8;

// Calls the method on `object` (the interface the type information describes) with one VARIANT
// pointer per declared parameter, in declared order.
using MethodInvoker = HRESULT (*)(void* object, VARIANT** args);

struct FuncDesc {
    DISPID memid;
    const char* name;
    const ParamDesc* params;
    int paramCount;  // declared parameters, the retval included
    MethodInvoker invoke;
};

// The part of ITypeInfo that dispatching by name needs: the interface's identity, its
// methods, name lookup and the call itself.
class ITypeInfo : public IUnknown {
public:
    virtual HRESULT GetGuid(IID* out) = 0;
    virtual HRESULT GetInterfaceName(BSTR* out) = 0;
    virtual UINT GetFuncCount() = 0;
    virtual HRESULT GetFuncDesc(UINT index, const FuncDesc** out) = 0;
    virtual HRESULT GetIDsOfNames(OLECHAR** names, UINT count, DISPID* ids) = 0;
    virtual HRESULT Invoke(void* object, DISPID id, WORD flags, DISPPARAMS* params,
                           VARIANT* result, EXCEPINFO* excep, UINT* argErr) = 0;

protected:
    ~ITypeInfo() = default;
};

class IDispatch : public IUnknown {
public:
    virtual HRESULT GetTypeInfoCount(UINT* count) = 0;
    virtual HRESULT GetTypeInfo(UINT index, LCID lcid, ITypeInfo** out) = 0;
    virtual HRESULT GetIDsOfNames(const IID& iid, OLECHAR** names, UINT count, LCID lcid,
                                  DISPID* ids) = 0;
    virtual HRESULT Invoke(DISPID id, const IID& iid, LCID lcid, WORD flags, DISPPARAMS* params,
                           VARIANT* result, EXCEPINFO* excep, UINT* argErr) = 0;

protected:
    ~IDispatch() = default;
};

// Type information over a fixed table of methods. Instances are static objects of the module
// that describes its interface; each reference handed out holds that module in memory through
// `moduleLocks` (what DllCanUnloadNow counts).
class StaticTypeInfo final : public ITypeInfo {
public:
    StaticTypeInfo(const IID& iid, const char* name, const FuncDesc* funcs, int count,
                   long (*lockModule)(int delta))
        : iid_(iid), name_(name), funcs_(funcs), count_(count), lock_(lockModule) {}
    HRESULT QueryInterface(const IID& iid, void** out) override;
    ULONG AddRef() override;
    ULONG Release() override;
    HRESULT GetGuid(IID* out) override;
    HRESULT GetInterfaceName(BSTR* out) override;
    UINT GetFuncCount() override { return static_cast<UINT>(count_); }
    HRESULT GetFuncDesc(UINT index, const FuncDesc** out) override;
    HRESULT GetIDsOfNames(OLECHAR** names, UINT count, DISPID* ids) override;
    HRESULT Invoke(void* object, DISPID id, WORD flags, DISPPARAMS* params, VARIANT* result,
                   EXCEPINFO* excep, UINT* argErr) override;

private:
    IID iid_;
    const char* name_;
    const FuncDesc* funcs_;
    int count_;
    long (*lock_)(int delta);
};

}  // namespace qm::com

extern "C" {
// BSTR: NULL is the empty text everywhere.
qm::com::BSTR SysAllocString(const qm::com::OLECHAR* text);
qm::com::BSTR SysAllocStringLen(const qm::com::OLECHAR* text, qm::com::UINT length);
void SysFreeString(qm::com::BSTR text);
qm::com::UINT SysStringLen(qm::com::BSTR text);

void VariantInit(qm::com::VARIANT* v);
// Frees what the VARIANT owns (text, interface reference) and leaves it VT_EMPTY.
qm::com::HRESULT VariantClear(qm::com::VARIANT* v);
qm::com::HRESULT VariantCopy(qm::com::VARIANT* dest, const qm::com::VARIANT* src);
// Conversions among VT_EMPTY, VT_I2, VT_I4, VT_INT, VT_UI1, VT_BOOL and VT_BSTR (decimal text);
// anything else is DISP_E_TYPEMISMATCH. `dest` may equal `src`.
qm::com::HRESULT VariantChangeType(qm::com::VARIANT* dest, const qm::com::VARIANT* src,
                                   qm::com::WORD flags, qm::com::VARTYPE vt);

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" (braces required, any case) <-> GUID.
qm::com::HRESULT CLSIDFromString(const qm::com::OLECHAR* text, qm::com::CLSID* out);
int StringFromGUID2(const qm::com::GUID& guid, qm::com::OLECHAR* out, int capacity);

// HKCR\<progid>\CLSID, else the class of HKCR\<progid>\CurVer. REGDB_E_CLASSNOTREG /
// CO_E_CLASSSTRING when there is none.
qm::com::HRESULT CLSIDFromProgID(const qm::com::OLECHAR* progId, qm::com::CLSID* out);
// Loads the server registered under HKCR\CLSID\{clsid}\InprocServer32 (once per process) and
// asks its DllGetClassObject.
qm::com::HRESULT CoGetClassObject(const qm::com::CLSID& clsid, const qm::com::IID& iid,
                                  void** out);
qm::com::HRESULT CoCreateInstance(const qm::com::CLSID& clsid, qm::com::IUnknown* outer,
                                  const qm::com::IID& iid, void** out);
// Unloads every loaded server whose DllCanUnloadNow says S_OK.
void CoFreeUnusedLibraries(void);
}

namespace qm::com {

// ANSI (UTF-8, see above) <-> BSTR. AnsiToBstr returns nullptr only when out of memory.
BSTR AnsiToBstr(std::string_view ansi);
std::string BstrToAnsi(const OLECHAR* text, std::size_t length);
inline std::string BstrToAnsi(BSTR text) { return BstrToAnsi(text, SysStringLen(text)); }
std::string GuidText(const GUID& guid);
bool ParseGuid(std::string_view text, GUID* out);

// A VARIANT that clears itself, for callers that build arguments and take results.
class OwnedVariant {
public:
    VARIANT v;
    OwnedVariant() { VariantInit(&v); }
    explicit OwnedVariant(std::string_view text) {
        VariantInit(&v);
        v.vt = VT_BSTR;
        v.bstrVal = AnsiToBstr(text);
    }
    explicit OwnedVariant(std::int32_t n) {
        VariantInit(&v);
        v.vt = VT_I4;
        v.lVal = n;
    }
    ~OwnedVariant() { VariantClear(&v); }
    OwnedVariant(const OwnedVariant&) = delete;
    OwnedVariant& operator=(const OwnedVariant&) = delete;
    VARIANT* get() { return &v; }
    std::string Text() const { return v.vt == VT_BSTR ? BstrToAnsi(v.bstrVal) : "<not text>"; }
};

// Writes or removes the registry entries of a registration script (see registrar.cc for the
// format), with "%MODULE%" standing for `modulePath` and "%MODULEDIR%" for its folder. S_OK, or
// SELFREG_E_CLASS when the script is malformed or the registry cannot be written.
HRESULT UpdateRegistryFromScript(std::string_view script, const std::string& modulePath,
                                 bool doRegister);

// The full path of the shared library that holds `address`; "" when unknown.
std::string ModulePathOf(const void* address);

}  // namespace qm::com
