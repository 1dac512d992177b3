// The QMCOM class, its class factory, type information and the four server exports.
#include "qmrrcom.h"

#include <atomic>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "QMRR.h"
#include "qm/platform/library.h"

namespace qm::qmrrcom {

namespace {

// Live objects and factories, LockServer locks and type-information references: while any is
// held the library must stay loaded.
std::atomic<long> g_moduleLocks{0};

long LockModule(int delta) { return g_moduleLocks.fetch_add(delta) + delta; }

constexpr std::int32_t kNothingOpen = -1;  // the channel's own "nothing open"
constexpr std::int32_t kBadArguments = -5;  // the channel's own "bad arguments"
// The largest piece a script may ask for at once; the channel's pieces are far smaller.
constexpr std::int32_t kMaxReadCount = 16 * 1024 * 1024;

void SetBool(VARIANT* v, int value) {
    VariantInit(v);
    v->vt = VT_BOOL;
    v->boolVal = static_cast<VARIANT_BOOL>(value);
}

void SetInt(VARIANT* v, std::int32_t value) {
    VariantInit(v);
    v->vt = VT_I4;
    v->lVal = value;
}

HRESULT TextArg(const VARIANT& v, std::string* out) {
    VARIANT t;
    VariantInit(&t);
    HRESULT hr = VariantChangeType(&t, &v, 0, VT_BSTR);
    if (Failed(hr)) return hr;
    *out = BstrToAnsi(t.bstrVal);
    VariantClear(&t);
    return S_OK;
}

HRESULT IntArg(const VARIANT& v, std::int32_t* out) {
    VARIANT t;
    VariantInit(&t);
    HRESULT hr = VariantChangeType(&t, &v, 0, VT_I4);
    if (Succeeded(hr)) *out = t.lVal;
    return hr;
}

class QmCom final : public IQMCOM {
public:
    QmCom() {
        LockModule(+1);
        VariantInit(&lastMode_);
        VariantInit(&lastData_);
        VariantInit(&lastInt_);
    }
    ~QmCom() {
        ReleaseIntrinsics();
        VariantClear(&lastMode_);
        VariantClear(&lastData_);
        VariantClear(&lastInt_);
        Unbind();
        LockModule(-1);
    }

    HRESULT QueryInterface(const IID& iid, void** out) override {
        if (!out) return E_POINTER;
        if (iid == IID_IUnknown || iid == IID_IDispatch || iid == IID_IQMCOM) {
            *out = static_cast<IQMCOM*>(this);
            AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG AddRef() override { return ++refs_; }
    ULONG Release() override {
        ULONG n = --refs_;
        if (n == 0) delete this;
        return n;
    }

    HRESULT GetTypeInfoCount(UINT* count) override;
    HRESULT GetTypeInfo(UINT index, LCID, ITypeInfo** out) override;
    HRESULT GetIDsOfNames(const IID& iid, OLECHAR** names, UINT count, LCID,
                          DISPID* ids) override;
    HRESULT Invoke(DISPID id, const IID& iid, LCID, WORD flags, DISPPARAMS* params,
                   VARIANT* result, EXCEPINFO* excep, UINT* argErr) override;

    HRESULT OnStartPage(IUnknown* context) override;
    HRESULT OnEndPage() override;
    HRESULT ShMemInit(VARIANT installPath, VARIANT* vaBool) override;
    HRESULT ShMemOpen(VARIANT serviceData, VARIANT* vaBool) override;
    HRESULT ShMemWrite(VARIANT mode, VARIANT sendCount, VARIANT sendData, VARIANT* vaInt) override;
    HRESULT ShMemRead(VARIANT* pmode, VARIANT maxCount, VARIANT* getData, VARIANT* vaInt) override;
    HRESULT ShMemClose(VARIANT* vaBool) override;
    HRESULT GetReadData(VARIANT* vaGetData) override;
    HRESULT GetReadPmode(VARIANT* vaPmode) override;
    HRESULT GetReadInt(VARIANT* vaInt) override;

private:
    void ReleaseIntrinsics() {
        for (IDispatch*& p : intrinsics_) {
            if (p) p->Release();
            p = nullptr;
        }
        started_ = false;
    }
    void Unbind() {
        open_ = nullptr;
        write_ = nullptr;
        read_ = nullptr;
        close_ = nullptr;
        if (lib_) platform::FreeLibraryHandle(lib_);
        lib_ = nullptr;
    }
    bool Bound() const { return open_ && write_ && read_ && close_; }

    std::atomic<ULONG> refs_{1};
    // Request, Response, Server, Session, Application.
    IDispatch* intrinsics_[5] = {};
    bool started_ = false;
    platform::LibraryHandle lib_ = nullptr;
    ShMemOpenFn open_ = nullptr;
    ShMemWriteFn write_ = nullptr;
    ShMemReadFn read_ = nullptr;
    ShMemCloseFn close_ = nullptr;
    VARIANT lastMode_, lastData_, lastInt_;
};

// --- IDispatch through the type information -------------------------------------------------

constexpr ParamDesc kStartParams[] = {{"piUnk", VT_UNKNOWN, kParamIn}};
constexpr ParamDesc kInitParams[] = {{"vaInstallPath", VT_VARIANT, kParamIn},
                                     {"vaBool", VT_VARIANT, kParamOut | kParamRetval}};
constexpr ParamDesc kOpenParams[] = {{"service_data", VT_VARIANT, kParamIn},
                                     {"vaBool", VT_VARIANT, kParamOut | kParamRetval}};
constexpr ParamDesc kWriteParams[] = {{"mode", VT_VARIANT, kParamIn},
                                      {"send_count", VT_VARIANT, kParamIn},
                                      {"send_data", VT_VARIANT, kParamIn},
                                      {"vaInt", VT_VARIANT, kParamOut | kParamRetval}};
constexpr ParamDesc kReadParams[] = {{"pmode", VT_VARIANT, kParamOut},
                                     {"max_count", VT_VARIANT, kParamIn},
                                     {"get_data", VT_VARIANT, kParamOut},
                                     {"vaInt", VT_VARIANT, kParamOut | kParamRetval}};
constexpr ParamDesc kCloseParams[] = {{"vaBool", VT_VARIANT, kParamOut | kParamRetval}};
constexpr ParamDesc kDataParams[] = {{"vaGetData", VT_VARIANT, kParamOut | kParamRetval}};
constexpr ParamDesc kPmodeParams[] = {{"vaPmode", VT_VARIANT, kParamOut | kParamRetval}};
constexpr ParamDesc kIntParams[] = {{"vaInt", VT_VARIANT, kParamOut | kParamRetval}};

IQMCOM* Self(void* o) { return static_cast<IQMCOM*>(o); }

const FuncDesc kFuncs[] = {
    {1, "OnStartPage", kStartParams, 1,
     [](void* o, VARIANT** a) { return Self(o)->OnStartPage(a[0]->punkVal); }},
    {2, "OnEndPage", nullptr, 0, [](void* o, VARIANT**) { return Self(o)->OnEndPage(); }},
    {3, "ShMemInit", kInitParams, 2,
     [](void* o, VARIANT** a) { return Self(o)->ShMemInit(*a[0], a[1]); }},
    {4, "ShMemOpen", kOpenParams, 2,
     [](void* o, VARIANT** a) { return Self(o)->ShMemOpen(*a[0], a[1]); }},
    {5, "ShMemWrite", kWriteParams, 4,
     [](void* o, VARIANT** a) { return Self(o)->ShMemWrite(*a[0], *a[1], *a[2], a[3]); }},
    {6, "ShMemRead", kReadParams, 4,
     [](void* o, VARIANT** a) { return Self(o)->ShMemRead(a[0], *a[1], a[2], a[3]); }},
    {7, "ShMemClose", kCloseParams, 1, [](void* o, VARIANT** a) { return Self(o)->ShMemClose(a[0]); }},
    {8, "GetReadData", kDataParams, 1,
     [](void* o, VARIANT** a) { return Self(o)->GetReadData(a[0]); }},
    {9, "GetReadPmode", kPmodeParams, 1,
     [](void* o, VARIANT** a) { return Self(o)->GetReadPmode(a[0]); }},
    {10, "GetReadInt", kIntParams, 1,
     [](void* o, VARIANT** a) { return Self(o)->GetReadInt(a[0]); }},
};

StaticTypeInfo g_typeInfo(IID_IQMCOM, "IQMCOM", kFuncs, 10, &LockModule);

HRESULT QmCom::GetTypeInfoCount(UINT* count) {
    if (!count) return E_POINTER;
    *count = 1;
    return S_OK;
}

HRESULT QmCom::GetTypeInfo(UINT index, LCID, ITypeInfo** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (index != 0) return DISP_E_BADINDEX;
    g_typeInfo.AddRef();
    *out = &g_typeInfo;
    return S_OK;
}

HRESULT QmCom::GetIDsOfNames(const IID& iid, OLECHAR** names, UINT count, LCID, DISPID* ids) {
    if (!(iid == IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
    return g_typeInfo.GetIDsOfNames(names, count, ids);
}

HRESULT QmCom::Invoke(DISPID id, const IID& iid, LCID, WORD flags, DISPPARAMS* params,
                      VARIANT* result, EXCEPINFO* excep, UINT* argErr) {
    if (!(iid == IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
    // Keeps the object alive should the script's call release the last other reference.
    AddRef();
    HRESULT hr = g_typeInfo.Invoke(static_cast<IQMCOM*>(this), id, flags, params, result, excep,
                                   argErr);
    Release();
    return hr;
}

// --- The methods ----------------------------------------------------------------------------

HRESULT QmCom::OnStartPage(IUnknown* context) {
    if (!context) return E_POINTER;
    ReleaseIntrinsics();
    IScriptingContext* ctx = nullptr;
    HRESULT hr = context->QueryInterface(IID_IScriptingContext, reinterpret_cast<void**>(&ctx));
    if (Failed(hr)) return hr;
    if (!ctx) return E_NOINTERFACE;
    using Accessor = HRESULT (IScriptingContext::*)(IDispatch**);
    static constexpr Accessor kAccessors[5] = {
        &IScriptingContext::get_Request, &IScriptingContext::get_Response,
        &IScriptingContext::get_Server, &IScriptingContext::get_Session,
        &IScriptingContext::get_Application};
    for (int i = 0; i < 5; ++i) {
        hr = (ctx->*kAccessors[i])(&intrinsics_[i]);
        if (Failed(hr)) {
            intrinsics_[i] = nullptr;  // a failing accessor's out value is not ours to release
            ReleaseIntrinsics();
            ctx->Release();
            return hr;
        }
    }
    ctx->Release();
    started_ = true;
    return S_OK;
}

HRESULT QmCom::OnEndPage() {
    ReleaseIntrinsics();
    return S_OK;
}

HRESULT QmCom::ShMemInit(VARIANT installPath, VARIANT* vaBool) {
    if (!vaBool) return E_POINTER;
    std::string folder;
    HRESULT hr = TextArg(installPath, &folder);
    if (Failed(hr)) return hr;
    // A second initialisation replaces the first binding rather than leaking it.
    Unbind();
    lib_ = platform::LoadLibraryInFolder(folder, "QMRR.dll");
    if (lib_) {
        open_ = reinterpret_cast<ShMemOpenFn>(platform::LibrarySymbol(lib_, "ShMemOpen"));
        if (open_) write_ = reinterpret_cast<ShMemWriteFn>(platform::LibrarySymbol(lib_, "ShMemWrite"));
        if (write_) read_ = reinterpret_cast<ShMemReadFn>(platform::LibrarySymbol(lib_, "ShMemRead"));
        if (read_) close_ = reinterpret_cast<ShMemCloseFn>(platform::LibrarySymbol(lib_, "ShMemClose"));
    }
    // A half-bound library is as good as none: no call may reach a missing entry point.
    if (!Bound()) Unbind();
    SetBool(vaBool, Bound() ? 1 : 0);
    return S_OK;
}

HRESULT QmCom::ShMemOpen(VARIANT serviceData, VARIANT* vaBool) {
    if (!vaBool) return E_POINTER;
    std::string text;
    HRESULT hr = TextArg(serviceData, &text);
    if (Failed(hr)) return hr;
    SetBool(vaBool, Bound() ? open_(text.c_str()) : 0);
    return S_OK;
}

HRESULT QmCom::ShMemWrite(VARIANT mode, VARIANT sendCount, VARIANT sendData, VARIANT* vaInt) {
    if (!vaInt) return E_POINTER;
    std::int32_t m = 0, count = 0;
    std::string data;
    HRESULT hr = IntArg(mode, &m);
    if (Succeeded(hr)) hr = IntArg(sendCount, &count);
    if (Succeeded(hr)) hr = TextArg(sendData, &data);
    if (Failed(hr)) return hr;
    if (!Bound()) {
        SetInt(vaInt, kNothingOpen);
    } else if (count < 0 || static_cast<std::size_t>(count) > data.size()) {
        // The library would read past the end of the text.
        SetInt(vaInt, kBadArguments);
    } else {
        SetInt(vaInt, write_(m, count, data.c_str()));
    }
    return S_OK;
}

HRESULT QmCom::ShMemRead(VARIANT* pmode, VARIANT maxCount, VARIANT* getData, VARIANT* vaInt) {
    if (!pmode || !getData || !vaInt) return E_POINTER;
    std::int32_t capacity = 0;
    HRESULT hr = IntArg(maxCount, &capacity);
    if (Failed(hr)) return hr;
    int mode = 0;
    std::int32_t n;
    BSTR text = nullptr;
    if (!Bound()) {
        n = kNothingOpen;
    } else if (capacity <= 0 || capacity > kMaxReadCount) {
        n = kBadArguments;
    } else {
        // One byte more than the library may fill, so that a full piece still ends in NUL.
        std::unique_ptr<char[]> buffer(new (std::nothrow) char[static_cast<std::size_t>(capacity) + 1]());
        if (!buffer) return E_OUTOFMEMORY;
        n = read_(&mode, capacity, buffer.get());
        // The data goes to the script as text: it ends at the first NUL byte.
        text = AnsiToBstr(std::string_view(buffer.get(), std::strlen(buffer.get())));
        if (!text) return E_OUTOFMEMORY;
    }
    if (!text) text = AnsiToBstr("");
    if (!text) return E_OUTOFMEMORY;

    VariantClear(&lastMode_);
    VariantClear(&lastData_);
    VariantClear(&lastInt_);
    SetInt(&lastMode_, mode);
    lastData_.vt = VT_BSTR;
    lastData_.bstrVal = text;
    SetInt(&lastInt_, n);

    SetInt(pmode, mode);
    VariantInit(getData);
    hr = VariantCopy(getData, &lastData_);
    if (Failed(hr)) return hr;
    SetInt(vaInt, n);
    return S_OK;
}

HRESULT QmCom::ShMemClose(VARIANT* vaBool) {
    if (!vaBool) return E_POINTER;
    SetBool(vaBool, Bound() ? close_() : 0);
    return S_OK;
}

HRESULT QmCom::GetReadData(VARIANT* vaGetData) {
    if (!vaGetData) return E_POINTER;
    VariantInit(vaGetData);
    return VariantCopy(vaGetData, &lastData_);
}

HRESULT QmCom::GetReadPmode(VARIANT* vaPmode) {
    if (!vaPmode) return E_POINTER;
    VariantInit(vaPmode);
    return VariantCopy(vaPmode, &lastMode_);
}

HRESULT QmCom::GetReadInt(VARIANT* vaInt) {
    if (!vaInt) return E_POINTER;
    VariantInit(vaInt);
    return VariantCopy(vaInt, &lastInt_);
}

// --- Class factory --------------------------------------------------------------------------

class Factory final : public IClassFactory {
public:
    Factory() { LockModule(+1); }
    ~Factory() { LockModule(-1); }
    HRESULT QueryInterface(const IID& iid, void** out) override {
        if (!out) return E_POINTER;
        if (iid == IID_IUnknown || iid == IID_IClassFactory) {
            *out = static_cast<IClassFactory*>(this);
            AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG AddRef() override { return ++refs_; }
    ULONG Release() override {
        ULONG n = --refs_;
        if (n == 0) delete this;
        return n;
    }
    HRESULT CreateInstance(IUnknown* outer, const IID& iid, void** out) override {
        if (!out) return E_POINTER;
        *out = nullptr;
        if (outer) return CLASS_E_NOAGGREGATION;
        auto* obj = new (std::nothrow) QmCom();
        if (!obj) return E_OUTOFMEMORY;
        HRESULT hr = obj->QueryInterface(iid, out);
        obj->Release();
        return hr;
    }
    HRESULT LockServer(int lock) override {
        LockModule(lock ? +1 : -1);
        return S_OK;
    }

private:
    std::atomic<ULONG> refs_{1};
};

// Written into HKEY_CLASSES_ROOT by DllRegisterServer (format in qm/com's classes.cc).
constexpr const char* kRegistrationScript = R"(
!Haldor.QMCOM.1 = 'QMCOM Class'
Haldor.QMCOM.1\CLSID = '{5D1C2A40-3B7E-4F19-9C62-7A0B44E1D2F3}'
!Haldor.QMCOM = 'QMCOM Class'
Haldor.QMCOM\CLSID = '{5D1C2A40-3B7E-4F19-9C62-7A0B44E1D2F3}'
Haldor.QMCOM\CurVer = 'Haldor.QMCOM.1'
!CLSID\{5D1C2A40-3B7E-4F19-9C62-7A0B44E1D2F3} = 'QMCOM Class'
CLSID\{5D1C2A40-3B7E-4F19-9C62-7A0B44E1D2F3}\ProgID = 'Haldor.QMCOM.1'
CLSID\{5D1C2A40-3B7E-4F19-9C62-7A0B44E1D2F3}\VersionIndependentProgID = 'Haldor.QMCOM'
CLSID\{5D1C2A40-3B7E-4F19-9C62-7A0B44E1D2F3}\Programmable = ''
CLSID\{5D1C2A40-3B7E-4F19-9C62-7A0B44E1D2F3}\InprocServer32 = '%MODULE%'
CLSID\{5D1C2A40-3B7E-4F19-9C62-7A0B44E1D2F3}\InprocServer32 @ThreadingModel = 'Apartment'
CLSID\{5D1C2A40-3B7E-4F19-9C62-7A0B44E1D2F3}\TypeLib = '{5D1C2A32-3B7E-4F19-9C62-7A0B44E1D2F3}'
!TypeLib\{5D1C2A32-3B7E-4F19-9C62-7A0B44E1D2F3}\1.0 = 'qmrrcom 1.0 Type Library'
TypeLib\{5D1C2A32-3B7E-4F19-9C62-7A0B44E1D2F3}\1.0\0\win32 = '%MODULE%'
TypeLib\{5D1C2A32-3B7E-4F19-9C62-7A0B44E1D2F3}\1.0\FLAGS = '0'
TypeLib\{5D1C2A32-3B7E-4F19-9C62-7A0B44E1D2F3}\1.0\HELPDIR = '%MODULEDIR%'
TypeLib\{5D1C2A32-3B7E-4F19-9C62-7A0B44E1D2F3}\1.0\Name @Project = 'Qmrrcom'
!TypeLib\{5D1C2A32-3B7E-4F19-9C62-7A0B44E1D2F3} = 'QMRRCOMLib'
!Interface\{5D1C2A3F-3B7E-4F19-9C62-7A0B44E1D2F3} = 'IQMCOM Interface'
Interface\{5D1C2A3F-3B7E-4F19-9C62-7A0B44E1D2F3}\ProxyStubClsid32 = '{00020424-0000-0000-C000-000000000046}'
Interface\{5D1C2A3F-3B7E-4F19-9C62-7A0B44E1D2F3}\TypeLib = '{5D1C2A32-3B7E-4F19-9C62-7A0B44E1D2F3}'
Interface\{5D1C2A3F-3B7E-4F19-9C62-7A0B44E1D2F3}\TypeLib @Version = '1.0'
)";

HRESULT UpdateRegistry(bool doRegister) {
    std::string module = ModulePathOf(reinterpret_cast<const void*>(&LockModule));
    if (module.empty()) return SELFREG_E_CLASS;
    return UpdateRegistryFromScript(kRegistrationScript, module, doRegister);
}

}  // namespace

}  // namespace qm::qmrrcom

using namespace qm::qmrrcom;

extern "C" HRESULT DllCanUnloadNow(void) { return g_moduleLocks.load() == 0 ? S_OK : S_FALSE; }

extern "C" HRESULT DllGetClassObject(const CLSID& clsid, const IID& iid, void** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (!(clsid == CLSID_QMCOM)) return CLASS_E_CLASSNOTAVAILABLE;
    auto* factory = new (std::nothrow) Factory();
    if (!factory) return E_OUTOFMEMORY;
    HRESULT hr = factory->QueryInterface(iid, out);
    factory->Release();
    return hr;
}

extern "C" HRESULT DllRegisterServer(void) { return UpdateRegistry(true); }

extern "C" HRESULT DllUnregisterServer(void) { return UpdateRegistry(false); }
