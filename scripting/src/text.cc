// BSTR, VARIANT and GUID basics, and the ANSI <-> wide conversions.
#include <cstdlib>
#include <cstring>
#include <new>

#include "qm/com/com.h"

using namespace qm::com;

namespace {

// A BSTR points just past its 32-bit byte count.
struct BstrHeader {
    std::uint32_t bytes;
};

std::uint32_t* CountOf(BSTR s) { return reinterpret_cast<std::uint32_t*>(s) - 1; }

}  // namespace

extern "C" BSTR SysAllocStringLen(const OLECHAR* text, UINT length) {
    // Lengths past 1 G code units would overflow the byte count.
    if (length > 0x3FFFFFFFu) return nullptr;
    const std::size_t bytes = sizeof(BstrHeader) + (std::size_t(length) + 1) * sizeof(OLECHAR);
    auto* raw = static_cast<unsigned char*>(std::malloc(bytes));
    if (!raw) return nullptr;
    auto* header = reinterpret_cast<BstrHeader*>(raw);
    header->bytes = length * sizeof(OLECHAR);
    BSTR s = reinterpret_cast<BSTR>(raw + sizeof(BstrHeader));
    if (text) std::memcpy(s, text, length * sizeof(OLECHAR));
    else std::memset(s, 0, length * sizeof(OLECHAR));
    s[length] = 0;
    return s;
}

extern "C" BSTR SysAllocString(const OLECHAR* text) {
    if (!text) return nullptr;
    UINT n = 0;
    while (text[n]) ++n;
    return SysAllocStringLen(text, n);
}

extern "C" void SysFreeString(BSTR text) {
    if (text) std::free(CountOf(text));
}

extern "C" UINT SysStringLen(BSTR text) {
    return text ? *CountOf(text) / sizeof(OLECHAR) : 0;
}

extern "C" void VariantInit(VARIANT* v) {
    if (!v) return;
    std::memset(v, 0, sizeof *v);
    v->vt = VT_EMPTY;
}

extern "C" HRESULT VariantClear(VARIANT* v) {
    if (!v) return E_INVALIDARG;
    switch (v->vt) {
        case VT_BSTR: SysFreeString(v->bstrVal); break;
        case VT_UNKNOWN:
        case VT_DISPATCH:
            if (v->punkVal) v->punkVal->Release();
            break;
        default: break;
    }
    VariantInit(v);
    return S_OK;
}

extern "C" HRESULT VariantCopy(VARIANT* dest, const VARIANT* src) {
    if (!dest || !src) return E_INVALIDARG;
    if (dest == src) return S_OK;
    VARIANT copy = *src;
    if (src->vt == VT_BSTR && src->bstrVal) {
        copy.bstrVal = SysAllocStringLen(src->bstrVal, SysStringLen(src->bstrVal));
        if (!copy.bstrVal) return E_OUTOFMEMORY;
    } else if ((src->vt == VT_UNKNOWN || src->vt == VT_DISPATCH) && src->punkVal) {
        src->punkVal->AddRef();
    }
    VariantClear(dest);
    *dest = copy;
    return S_OK;
}

namespace {

bool ToInt(const VARIANT& v, long long* out) {
    switch (v.vt) {
        case VT_EMPTY: *out = 0; return true;
        case VT_I2: *out = v.iVal; return true;
        case VT_I4:
        case VT_INT: *out = v.lVal; return true;
        case VT_UI1: *out = v.bVal; return true;
        case VT_UI4: *out = v.ulVal; return true;
        case VT_BOOL: *out = v.boolVal ? -1 : 0; return true;
        case VT_BSTR: {
            std::string text = BstrToAnsi(v.bstrVal);
            const char* p = text.c_str();
            while (*p == ' ') ++p;
            if (!*p) return false;
            char* end = nullptr;
            errno = 0;
            long long n = std::strtoll(p, &end, 10);
            while (*end == ' ') ++end;
            if (*end || errno) return false;
            *out = n;
            return true;
        }
        default: return false;
    }
}

}  // namespace

extern "C" HRESULT VariantChangeType(VARIANT* dest, const VARIANT* src, WORD, VARTYPE vt) {
    if (!dest || !src) return E_INVALIDARG;
    VARIANT out;
    VariantInit(&out);
    out.vt = vt;
    long long n = 0;
    switch (vt) {
        case VT_BSTR:
            if (src->vt == VT_BSTR) {
                return VariantCopy(dest, src);
            }
            if (!ToInt(*src, &n)) return DISP_E_TYPEMISMATCH;
            out.bstrVal = AnsiToBstr(src->vt == VT_EMPTY ? std::string() : std::to_string(n));
            if (!out.bstrVal) return E_OUTOFMEMORY;
            break;
        case VT_I4:
        case VT_INT:
            if (!ToInt(*src, &n) || n < INT32_MIN || n > INT32_MAX) return DISP_E_TYPEMISMATCH;
            out.lVal = static_cast<std::int32_t>(n);
            break;
        case VT_I2:
            if (!ToInt(*src, &n) || n < INT16_MIN || n > INT16_MAX) return DISP_E_TYPEMISMATCH;
            out.iVal = static_cast<std::int16_t>(n);
            break;
        case VT_UI1:
            if (!ToInt(*src, &n) || n < 0 || n > 255) return DISP_E_TYPEMISMATCH;
            out.bVal = static_cast<std::uint8_t>(n);
            break;
        case VT_BOOL:
            if (!ToInt(*src, &n)) return DISP_E_TYPEMISMATCH;
            out.boolVal = n ? -1 : 0;
            break;
        default: return DISP_E_TYPEMISMATCH;
    }
    VariantClear(dest);
    *dest = out;
    return S_OK;
}

namespace qm::com {

const IID IID_IUnknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
const IID IID_IClassFactory = {0x00000001, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
const IID IID_IDispatch = {0x00020400, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
const IID IID_ITypeInfo = {0x00020401, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
const IID IID_NULL = {0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};

BSTR AnsiToBstr(std::string_view ansi) {
    std::u16string w;
    w.reserve(ansi.size());
    const auto* p = reinterpret_cast<const unsigned char*>(ansi.data());
    const std::size_t n = ansi.size();
    for (std::size_t i = 0; i < n;) {
        unsigned c = p[i];
        int len = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
        char32_t cp = 0;
        bool ok = len > 0 && i + len <= n;
        if (ok) {
            cp = len == 1 ? c : c & (0x7F >> len);
            for (int k = 1; k < len; ++k) {
                if ((p[i + k] & 0xC0) != 0x80) {
                    ok = false;
                    break;
                }
                cp = (cp << 6) | (p[i + k] & 0x3F);
            }
        }
        // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
        static constexpr char32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
        if (ok && (cp < kMin[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))) ok = false;
        if (!ok) {
            w.push_back(static_cast<char16_t>(0xDC00 + c));  // keeps the byte for the way back
            ++i;
            continue;
        }
        if (cp >= 0x10000) {
            cp -= 0x10000;
            w.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            w.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            w.push_back(static_cast<char16_t>(cp));
        }
        i += static_cast<std::size_t>(len);
    }
    return SysAllocStringLen(w.data(), static_cast<UINT>(w.size()));
}

std::string BstrToAnsi(const OLECHAR* text, std::size_t length) {
    std::string out;
    if (!text) return out;
    out.reserve(length);
    auto put = [&](char32_t cp) {
        if (cp < 0x80) {
            out.push_back(static_cast<char>(cp));
        } else if (cp < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else if (cp < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        }
    };
    for (std::size_t i = 0; i < length; ++i) {
        char16_t u = text[i];
        if (u >= 0xD800 && u <= 0xDBFF && i + 1 < length && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF) {
            put(0x10000 + ((char32_t(u) - 0xD800) << 10) + (text[i + 1] - 0xDC00));
            ++i;
        } else if (u >= 0xDC80 && u <= 0xDCFF) {
            out.push_back(static_cast<char>(u - 0xDC00));  // a byte that was not UTF-8
        } else if (u >= 0xD800 && u <= 0xDFFF) {
            out.push_back('?');  // a lone surrogate has no ANSI form
        } else {
            put(u);
        }
    }
    return out;
}

std::string GuidText(const GUID& g) {
    char buf[40];
    std::snprintf(buf, sizeof buf, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  g.Data1, g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3],
                  g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
    return buf;
}

bool ParseGuid(std::string_view t, GUID* out) {
    if (t.size() != 38 || t.front() != '{' || t.back() != '}') return false;
    auto hex = [&](std::size_t at, int digits, std::uint64_t* v) {
        *v = 0;
        for (int i = 0; i < digits; ++i) {
            char c = t[at + static_cast<std::size_t>(i)];
            int d = c >= '0' && c <= '9'   ? c - '0'
                    : c >= 'a' && c <= 'f' ? c - 'a' + 10
                    : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                           : -1;
            if (d < 0) return false;
            *v = (*v << 4) | static_cast<unsigned>(d);
        }
        return true;
    };
    if (t[9] != '-' || t[14] != '-' || t[19] != '-' || t[24] != '-') return false;
    std::uint64_t a, b, c, v;
    if (!hex(1, 8, &a) || !hex(10, 4, &b) || !hex(15, 4, &c)) return false;
    GUID g{static_cast<std::uint32_t>(a), static_cast<std::uint16_t>(b),
           static_cast<std::uint16_t>(c), {}};
    static constexpr std::size_t kAt[] = {20, 22, 25, 27, 29, 31, 33, 35};
    for (int i = 0; i < 8; ++i) {
        if (!hex(kAt[i], 2, &v)) return false;
        g.Data4[i] = static_cast<std::uint8_t>(v);
    }
    *out = g;
    return true;
}

}  // namespace qm::com

extern "C" HRESULT CLSIDFromString(const OLECHAR* text, CLSID* out) {
    if (!text || !out) return E_INVALIDARG;
    UINT n = 0;
    while (text[n] && n < 64) ++n;
    return ParseGuid(BstrToAnsi(text, n), out) ? S_OK : CO_E_CLASSSTRING;
}

extern "C" int StringFromGUID2(const GUID& guid, OLECHAR* out, int capacity) {
    std::string t = GuidText(guid);
    if (!out || capacity < static_cast<int>(t.size()) + 1) return 0;
    for (std::size_t i = 0; i < t.size(); ++i) out[i] = static_cast<OLECHAR>(t[i]);
    out[t.size()] = 0;
    return static_cast<int>(t.size()) + 1;
}
