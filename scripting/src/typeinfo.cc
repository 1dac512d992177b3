// Dispatching by name over a fixed method table: what a dual interface's IDispatch half does
// with its type information.
#include <strings.h>

#include "qm/com/com.h"

namespace qm::com {

namespace {

// Scripts hand over variables by reference; in-parameters read through it.
const VARIANT* Deref(const VARIANT& v) {
    if (v.vt == (VT_BYREF | VT_VARIANT) && v.pvarVal) return v.pvarVal;
    return &v;
}

}  // namespace

HRESULT StaticTypeInfo::QueryInterface(const IID& iid, void** out) {
    if (!out) return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_ITypeInfo) {
        AddRef();
        *out = static_cast<ITypeInfo*>(this);
        return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
}

// The object itself is static; a reference only keeps its module loaded.
ULONG StaticTypeInfo::AddRef() { return static_cast<ULONG>(lock_ ? lock_(+1) : 1); }
ULONG StaticTypeInfo::Release() { return static_cast<ULONG>(lock_ ? lock_(-1) : 1); }

HRESULT StaticTypeInfo::GetGuid(IID* out) {
    if (!out) return E_POINTER;
    *out = iid_;
    return S_OK;
}

HRESULT StaticTypeInfo::GetInterfaceName(BSTR* out) {
    if (!out) return E_POINTER;
    *out = AnsiToBstr(name_);
    return *out ? S_OK : E_OUTOFMEMORY;
}

HRESULT StaticTypeInfo::GetFuncDesc(UINT index, const FuncDesc** out) {
    if (!out) return E_POINTER;
    if (index >= static_cast<UINT>(count_)) return DISP_E_BADINDEX;
    *out = &funcs_[index];
    return S_OK;
}

HRESULT StaticTypeInfo::GetIDsOfNames(OLECHAR** names, UINT count, DISPID* ids) {
    if (!names || !ids || count == 0) return E_INVALIDARG;
    for (UINT i = 0; i < count; ++i) ids[i] = DISPID_UNKNOWN;
    std::string member = names[0] ? BstrToAnsi(names[0], std::char_traits<char16_t>::length(names[0]))
                                  : std::string();
    const FuncDesc* f = nullptr;
    for (int i = 0; i < count_; ++i) {
        if (strcasecmp(funcs_[i].name, member.c_str()) == 0) f = &funcs_[i];
    }
    if (!f) return DISP_E_UNKNOWNNAME;
    ids[0] = f->memid;
    // Further names are parameter names of that member.
    HRESULT hr = S_OK;
    for (UINT i = 1; i < count; ++i) {
        std::string p = names[i] ? BstrToAnsi(names[i], std::char_traits<char16_t>::length(names[i]))
                                 : std::string();
        for (int k = 0; k < f->paramCount; ++k) {
            if (strcasecmp(f->params[k].name, p.c_str()) == 0) ids[i] = k;
        }
        if (ids[i] == DISPID_UNKNOWN) hr = DISP_E_UNKNOWNNAME;
    }
    return hr;
}

HRESULT StaticTypeInfo::Invoke(void* object, DISPID id, WORD flags, DISPPARAMS* params,
                               VARIANT* result, EXCEPINFO*, UINT* argErr) {
    if (!object) return E_INVALIDARG;
    const FuncDesc* f = nullptr;
    for (int i = 0; i < count_; ++i)
        if (funcs_[i].memid == id) f = &funcs_[i];
    if (!f) return DISP_E_MEMBERNOTFOUND;
    if ((flags & (DISPATCH_METHOD | DISPATCH_PROPERTYGET)) == 0) return DISP_E_MEMBERNOTFOUND;
    const UINT given = params ? params->cArgs : 0;
    if (params && params->cNamedArgs != 0) return DISP_E_NONAMEDARGS;
    if (given > 0 && !params->rgvarg) return E_INVALIDARG;

    constexpr int kMaxParams = 8;
    if (f->paramCount > kMaxParams) return E_FAIL;
    VARIANT* args[kMaxParams] = {};
    VARIANT temps[kMaxParams];
    for (auto& t : temps) VariantInit(&t);
    UINT visible = 0;
    for (int k = 0; k < f->paramCount; ++k)
        if (!(f->params[k].flags & kParamRetval)) ++visible;
    if (given != visible) return DISP_E_BADPARAMCOUNT;

    HRESULT hr = S_OK;
    UINT next = 0;  // script arguments arrive last first
    int retval = -1;
    for (int k = 0; k < f->paramCount && Succeeded(hr); ++k) {
        const ParamDesc& p = f->params[k];
        if (p.flags & kParamRetval) {
            retval = k;
            args[k] = &temps[k];
            continue;
        }
        VARIANT& a = params->rgvarg[given - 1 - next];
        ++next;
        if (p.flags & kParamOut) {
            if (a.vt == (VT_BYREF | VT_VARIANT) && a.pvarVal) {
                VariantClear(a.pvarVal);
                args[k] = a.pvarVal;
            } else {
                args[k] = &temps[k];  // passed by value: the result has nowhere to go
            }
            continue;
        }
        const VARIANT* v = Deref(a);
        if (p.vt == VT_UNKNOWN) {
            if (v->vt != VT_UNKNOWN && v->vt != VT_DISPATCH) hr = DISP_E_TYPEMISMATCH;
        } else if (p.vt != VT_VARIANT) {
            hr = VariantChangeType(&temps[k], v, 0, p.vt);
            v = &temps[k];
        }
        if (Failed(hr) && argErr) *argErr = next - 1;
        args[k] = const_cast<VARIANT*>(v);
    }
    if (Succeeded(hr)) hr = f->invoke(object, args);
    if (Succeeded(hr) && result && retval >= 0) {
        VariantClear(result);
        *result = temps[retval];
        VariantInit(&temps[retval]);
    }
    for (auto& t : temps) VariantClear(&t);
    return hr;
}

}  // namespace qm::com
