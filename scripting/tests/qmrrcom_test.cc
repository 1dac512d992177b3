// QMCOM in-process: registration, creation, reference counting, dispatching by name, the
// scripting context, and the ShMem methods over a channel library the test controls.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <vector>

#include "qm/platform/registry.h"
#include "qm/testing/testing.h"
#include "qmrrcom.h"

namespace qm::qmrrcom {
namespace {

namespace fs = std::filesystem;
using platform::RegRoot;

const std::string kClassKey = "CLSID\\{5D1C2A40-3B7E-4F19-9C62-7A0B44E1D2F3}";

std::string Reg(const std::string& key, const std::string& name = "") {
    return platform::RegReadText(RegRoot::ClassesRoot, key, name, "<missing>");
}

using Var = qm::com::OwnedVariant;

IQMCOM* Create() {
    IQMCOM* obj = nullptr;
    EXPECT_EQ(CoCreateInstance(CLSID_QMCOM, nullptr, IID_IQMCOM, reinterpret_cast<void**>(&obj)),
              S_OK);
    return obj;
}

class QmcomTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(DllRegisterServer(), S_OK); }
    void TearDown() override { EXPECT_EQ(DllCanUnloadNow(), S_OK) << "a reference leaked"; }

    // A folder holding `built` under the channel library's name.
    std::string ChannelFolder(const std::string& built) {
        std::string dir = root_ / "chan";
        fs::create_directories(dir);
        fs::copy_file(qm::testing::BuildBinFolder() + "/" + built, dir + "/libQMRR.so",
                      fs::copy_options::overwrite_existing);
        return dir;
    }

    qm::testing::TempRoot root_;
};

TEST_F(QmcomTest, RegistrationWritesTheClassAndUnregistrationRemovesIt) {
    EXPECT_EQ(Reg("Haldor.QMCOM.1"), "QMCOM Class");
    EXPECT_EQ(Reg("Haldor.QMCOM.1\\CLSID"), "{5D1C2A40-3B7E-4F19-9C62-7A0B44E1D2F3}");
    EXPECT_EQ(Reg("Haldor.QMCOM\\CurVer"), "Haldor.QMCOM.1");
    EXPECT_EQ(Reg(kClassKey), "QMCOM Class");
    EXPECT_EQ(Reg(kClassKey + "\\ProgID"), "Haldor.QMCOM.1");
    EXPECT_EQ(Reg(kClassKey + "\\VersionIndependentProgID"), "Haldor.QMCOM");
    EXPECT_EQ(platform::RegOpenKey(RegRoot::ClassesRoot, kClassKey + "\\Programmable"), 0);
    EXPECT_EQ(Reg(kClassKey + "\\InprocServer32", "ThreadingModel"), "Apartment");
    EXPECT_EQ(fs::path(Reg(kClassKey + "\\InprocServer32")).filename(), "libqmrrcom.so");
    EXPECT_TRUE(fs::exists(Reg(kClassKey + "\\InprocServer32")));
    EXPECT_EQ(Reg(kClassKey + "\\TypeLib"), "{5D1C2A32-3B7E-4F19-9C62-7A0B44E1D2F3}");
    EXPECT_EQ(Reg("TypeLib\\{5D1C2A32-3B7E-4F19-9C62-7A0B44E1D2F3}\\1.0"), "qmrrcom 1.0 Type Library");
    EXPECT_EQ(Reg("Interface\\{5D1C2A3F-3B7E-4F19-9C62-7A0B44E1D2F3}"), "IQMCOM Interface");

    ASSERT_EQ(platform::RegSetString(RegRoot::ClassesRoot, "CLSID\\{other}", "", "x", true), 0);
    ASSERT_EQ(DllUnregisterServer(), S_OK);
    for (const std::string key : {"Haldor.QMCOM.1", "Haldor.QMCOM", kClassKey.c_str(),
                                  "TypeLib\\{5D1C2A32-3B7E-4F19-9C62-7A0B44E1D2F3}",
                                  "Interface\\{5D1C2A3F-3B7E-4F19-9C62-7A0B44E1D2F3}"}) {
        EXPECT_NE(platform::RegOpenKey(RegRoot::ClassesRoot, key), 0) << key;
    }
    EXPECT_EQ(Reg("CLSID\\{other}"), "x");
    IUnknown* obj = nullptr;
    EXPECT_EQ(CoCreateInstance(CLSID_QMCOM, nullptr, IID_IUnknown, reinterpret_cast<void**>(&obj)),
              REGDB_E_CLASSNOTREG);
}

TEST_F(QmcomTest, CreatedByProgIdOrClsidWithOneIdentity) {
    for (const char* progId : {"Haldor.QMCOM", "haldor.qmcom.1"}) {
        BSTR name = AnsiToBstr(progId);
        CLSID clsid{};
        EXPECT_EQ(CLSIDFromProgID(name, &clsid), S_OK) << progId;
        SysFreeString(name);
        EXPECT_TRUE(clsid == CLSID_QMCOM) << progId;
    }
    IQMCOM* obj = Create();
    ASSERT_NE(obj, nullptr);
    IUnknown* unk = nullptr;
    IDispatch* disp = nullptr;
    ASSERT_EQ(obj->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&unk)), S_OK);
    ASSERT_EQ(obj->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&disp)), S_OK);
    EXPECT_EQ(static_cast<void*>(unk), static_cast<void*>(obj)) << "one identity";
    void* other = obj;
    EXPECT_EQ(obj->QueryInterface(IID_IClassFactory, &other), E_NOINTERFACE);
    EXPECT_EQ(other, nullptr);
    unk->Release();
    disp->Release();
    obj->Release();

    IClassFactory* factory = nullptr;
    ASSERT_EQ(DllGetClassObject(CLSID_QMCOM, IID_IClassFactory, reinterpret_cast<void**>(&factory)),
              S_OK);
    void* out = nullptr;
    EXPECT_EQ(factory->CreateInstance(reinterpret_cast<IUnknown*>(factory), IID_IUnknown, &out),
              CLASS_E_NOAGGREGATION);
    factory->Release();
    EXPECT_EQ(DllGetClassObject(IID_IQMCOM, IID_IClassFactory, &out), CLASS_E_CLASSNOTAVAILABLE);
}

TEST_F(QmcomTest, ReferencesKeepTheModuleLoaded) {
    ASSERT_EQ(DllCanUnloadNow(), S_OK);
    IQMCOM* obj = Create();
    ASSERT_NE(obj, nullptr);
    EXPECT_EQ(DllCanUnloadNow(), S_FALSE);
    EXPECT_EQ(obj->AddRef(), 2u);
    EXPECT_EQ(obj->Release(), 1u);
    ITypeInfo* info = nullptr;
    ASSERT_EQ(obj->GetTypeInfo(0, 0, &info), S_OK);
    EXPECT_EQ(obj->Release(), 0u);
    EXPECT_EQ(DllCanUnloadNow(), S_FALSE) << "the type information is still held";
    info->Release();
    EXPECT_EQ(DllCanUnloadNow(), S_OK);

    IClassFactory* factory = nullptr;
    ASSERT_EQ(DllGetClassObject(CLSID_QMCOM, IID_IClassFactory, reinterpret_cast<void**>(&factory)),
              S_OK);
    ASSERT_EQ(factory->LockServer(1), S_OK);
    factory->Release();
    EXPECT_EQ(DllCanUnloadNow(), S_FALSE);
    IClassFactory* again = nullptr;
    ASSERT_EQ(DllGetClassObject(CLSID_QMCOM, IID_IClassFactory, reinterpret_cast<void**>(&again)),
              S_OK);
    again->LockServer(0);
    again->Release();
    EXPECT_EQ(DllCanUnloadNow(), S_OK);
}

TEST_F(QmcomTest, TypeInformationDescribesTheSlotsAndDispatchesByName) {
    IQMCOM* obj = Create();
    ASSERT_NE(obj, nullptr);
    UINT count = 0;
    ASSERT_EQ(obj->GetTypeInfoCount(&count), S_OK);
    EXPECT_EQ(count, 1u);
    ITypeInfo* info = nullptr;
    ASSERT_EQ(obj->GetTypeInfo(0, 0, &info), S_OK);
    IID iid;
    info->GetGuid(&iid);
    EXPECT_TRUE(iid == IID_IQMCOM);
    const char* kOrder[] = {"OnStartPage", "OnEndPage",   "ShMemInit",   "ShMemOpen",
                            "ShMemWrite",  "ShMemRead",   "ShMemClose",  "GetReadData",
                            "GetReadPmode", "GetReadInt"};
    ASSERT_EQ(info->GetFuncCount(), 10u);
    for (UINT i = 0; i < 10; ++i) {
        const FuncDesc* f = nullptr;
        ASSERT_EQ(info->GetFuncDesc(i, &f), S_OK);
        EXPECT_STREQ(f->name, kOrder[i]);
    }
    const FuncDesc* none = nullptr;
    EXPECT_EQ(info->GetFuncDesc(10, &none), DISP_E_BADINDEX);
    info->Release();

    auto id = [&](const char* name) {
        BSTR b = AnsiToBstr(name);
        DISPID d = 0;
        HRESULT hr = obj->GetIDsOfNames(IID_NULL, &b, 1, 0, &d);
        SysFreeString(b);
        return hr == S_OK ? d : DISPID_UNKNOWN;
    };
    EXPECT_EQ(id("shmeminit"), id("ShMemInit")) << "scripts ignore case";
    EXPECT_NE(id("ShMemInit"), DISPID_UNKNOWN);
    EXPECT_EQ(id("ShMemInitX"), DISPID_UNKNOWN);

    // ShMemInit takes one argument: none, or two, is refused before the method runs.
    Var result;
    DISPPARAMS noArgs{nullptr, nullptr, 0, 0};
    EXPECT_EQ(obj->Invoke(id("ShMemInit"), IID_NULL, 0, DISPATCH_METHOD, &noArgs, &result.v,
                          nullptr, nullptr),
              DISP_E_BADPARAMCOUNT);
    Var two[2] = {Var("a"), Var("b")};
    VARIANT raw[2] = {two[0].v, two[1].v};
    DISPPARAMS twoArgs{raw, nullptr, 2, 0};
    EXPECT_EQ(obj->Invoke(id("ShMemInit"), IID_NULL, 0, DISPATCH_METHOD, &twoArgs, &result.v,
                          nullptr, nullptr),
              DISP_E_BADPARAMCOUNT);
    EXPECT_EQ(obj->Invoke(99, IID_NULL, 0, DISPATCH_METHOD, &noArgs, &result.v, nullptr, nullptr),
              DISP_E_MEMBERNOTFOUND);
    // A number where text is expected is converted, as a script expects.
    Var number(7);
    DISPPARAMS oneArg{&number.v, nullptr, 1, 0};
    ASSERT_EQ(obj->Invoke(id("ShMemInit"), IID_NULL, 0, DISPATCH_METHOD, &oneArg, &result.v,
                          nullptr, nullptr),
              S_OK);
    EXPECT_EQ(result.v.vt, VT_BOOL);
    EXPECT_EQ(result.v.boolVal, 0);
    obj->Release();
}

// The page's scripting context, counting the references it hands out.
class FakeIntrinsic final : public IDispatch {
public:
    HRESULT QueryInterface(const IID&, void**) override { return E_NOINTERFACE; }
    ULONG AddRef() override { return ++refs; }
    ULONG Release() override { return --refs; }
    HRESULT GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
    HRESULT GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT GetIDsOfNames(const IID&, OLECHAR**, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    HRESULT Invoke(DISPID, const IID&, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*,
                   UINT*) override {
        return E_NOTIMPL;
    }
    int refs = 0;
};

class FakeContext final : public IScriptingContext {
public:
    HRESULT QueryInterface(const IID& iid, void** out) override {
        if (iid == IID_IScriptingContext && !refuse) {
            *out = static_cast<IScriptingContext*>(this);
            ++refs;
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG AddRef() override { return ++refs; }
    ULONG Release() override { return --refs; }
    HRESULT GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
    HRESULT GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT GetIDsOfNames(const IID&, OLECHAR**, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    HRESULT Invoke(DISPID, const IID&, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*,
                   UINT*) override {
        return E_NOTIMPL;
    }
    HRESULT get_Request(IDispatch** out) override { return Give(0, out); }
    HRESULT get_Response(IDispatch** out) override { return Give(1, out); }
    HRESULT get_Server(IDispatch** out) override { return Give(2, out); }
    HRESULT get_Session(IDispatch** out) override { return Give(3, out); }
    HRESULT get_Application(IDispatch** out) override { return Give(4, out); }

    HRESULT Give(int i, IDispatch** out) {
        calls.push_back(i);
        if (i == failAt) {
            *out = reinterpret_cast<IDispatch*>(0x1);  // garbage a failing accessor may leave
            return E_FAIL;
        }
        objects[i].AddRef();
        *out = &objects[i];
        return S_OK;
    }
    int Held() const {
        int n = 0;
        for (const auto& o : objects) n += o.refs;
        return n;
    }

    FakeIntrinsic objects[5];
    std::vector<int> calls;
    int failAt = -1;
    bool refuse = false;
    int refs = 0;
};

TEST_F(QmcomTest, OnStartPageTakesTheFiveIntrinsicsAndGivesThemBack) {
    IQMCOM* obj = Create();
    ASSERT_NE(obj, nullptr);
    FakeContext ctx;
    ASSERT_EQ(obj->OnStartPage(&ctx), S_OK);
    EXPECT_EQ(ctx.calls, (std::vector<int>{0, 1, 2, 3, 4})) << "accessors in slot order";
    EXPECT_EQ(ctx.Held(), 5);
    EXPECT_EQ(ctx.refs, 0) << "the context itself is not kept";
    ASSERT_EQ(obj->OnEndPage(), S_OK);
    EXPECT_EQ(ctx.Held(), 0);

    // The third accessor fails: its error comes back, the first two are released.
    ctx.calls.clear();
    ctx.failAt = 2;
    EXPECT_EQ(obj->OnStartPage(&ctx), E_FAIL);
    EXPECT_EQ(ctx.calls, (std::vector<int>{0, 1, 2}));
    EXPECT_EQ(ctx.Held(), 0);
    EXPECT_EQ(ctx.refs, 0);

    ctx.refuse = true;
    EXPECT_EQ(obj->OnStartPage(&ctx), E_NOINTERFACE);
    EXPECT_EQ(obj->OnStartPage(nullptr), E_POINTER);

    // Intrinsics still held when the object goes are released with it.
    ctx.refuse = false;
    ctx.failAt = -1;
    ASSERT_EQ(obj->OnStartPage(&ctx), S_OK);
    obj->Release();
    EXPECT_EQ(ctx.Held(), 0);
}

TEST_F(QmcomTest, WithoutABoundLibraryNothingIsCalled) {
    IQMCOM* obj = Create();
    ASSERT_NE(obj, nullptr);
    std::string fake = ChannelFolder("libFakeChannel.so");
    void* h = dlopen((fake + "/libQMRR.so").c_str(), RTLD_NOW);
    ASSERT_NE(h, nullptr);
    auto log = reinterpret_cast<const char* (*)()>(dlsym(h, "FakeChannelLog"));

    // Before any ShMemInit, after one on a folder without the library, and after one on a
    // library that lacks the channel's calls.
    Var half;
    fs::create_directories(root_ / "half");
    fs::copy_file(qm::testing::BuildBinFolder() + "/libQmTestLibA.so", root_ / "half/libqmrr.so");
    for (const std::string& folder : {std::string(), root_ / "empty", root_ / "half"}) {
        SCOPED_TRACE(folder);
        if (!folder.empty()) {
            Var path(folder), ok;
            ASSERT_EQ(obj->ShMemInit(path.v, &ok.v), S_OK);
            EXPECT_EQ(ok.v.vt, VT_BOOL);
            EXPECT_EQ(ok.v.boolVal, 0);
        }
        Var req("x|qmintpr|"), opened, mode, cap(16), data, n, text("abc"), wmode(2), wcount(3),
            written, closed;
        ASSERT_EQ(obj->ShMemOpen(req.v, &opened.v), S_OK);
        EXPECT_EQ(opened.v.vt, VT_BOOL);
        EXPECT_EQ(opened.v.boolVal, 0);
        ASSERT_EQ(obj->ShMemWrite(wmode.v, wcount.v, text.v, &written.v), S_OK);
        EXPECT_EQ(written.v.lVal, -1);
        ASSERT_EQ(obj->ShMemRead(&mode.v, cap.v, &data.v, &n.v), S_OK);
        EXPECT_EQ(n.v.lVal, -1);
        EXPECT_EQ(data.Text(), "");
        ASSERT_EQ(obj->ShMemClose(&closed.v), S_OK);
        EXPECT_EQ(closed.v.boolVal, 0);
    }
    EXPECT_STREQ(log(), "") << "the library in another folder was never used";
    obj->Release();
    dlclose(h);
}

TEST_F(QmcomTest, ReadsKeepTheLastResultsAndCutDataAtTheFirstNul) {
    IQMCOM* obj = Create();
    ASSERT_NE(obj, nullptr);
    std::string dir = ChannelFolder("libFakeChannel.so");
    // The folder may be written the Windows way.
    Var path(dir + "\\"), ok;
    ASSERT_EQ(obj->ShMemInit(path.v, &ok.v), S_OK);
    ASSERT_EQ(ok.v.vt, VT_BOOL);
    ASSERT_EQ(ok.v.boolVal, 1);
    void* h = dlopen((dir + "/libQMRR.so").c_str(), RTLD_NOW);
    auto log = reinterpret_cast<const char* (*)()>(dlsym(h, "FakeChannelLog"));

    Var req(dir + "|qmintpr|TEMPLATE=caf\xC3\xA9.htm"), opened;
    ASSERT_EQ(obj->ShMemOpen(req.v, &opened.v), S_OK);
    EXPECT_EQ(opened.v.vt, VT_BOOL);
    EXPECT_EQ(opened.v.boolVal, 1);

    Var m2(2), c3(3), c9(9), data("abcdef"), w;
    ASSERT_EQ(obj->ShMemWrite(m2.v, c3.v, data.v, &w.v), S_OK);
    EXPECT_EQ(w.v.vt, VT_I4);
    EXPECT_EQ(w.v.lVal, 3);
    ASSERT_EQ(obj->ShMemWrite(m2.v, c9.v, data.v, &w.v), S_OK);
    EXPECT_EQ(w.v.lVal, -5) << "a count past the text is refused, not read past its end";

    struct Piece {
        int mode;
        std::string data;
        int count;
    };
    const Piece kExpected[] = {
        {1, "<p>text</p>\n", 12},
        {2, "GIF", 6},  // binary data ends at its first NUL byte
        {1, std::string(64, 'x'), 64},
        {1, "", 0},
    };
    for (const Piece& want : kExpected) {
        Var mode, cap(64), got, n;
        ASSERT_EQ(obj->ShMemRead(&mode.v, cap.v, &got.v, &n.v), S_OK);
        EXPECT_EQ(mode.v.vt, VT_I4);
        EXPECT_EQ(mode.v.lVal, want.mode);
        EXPECT_EQ(got.Text(), want.data);
        EXPECT_EQ(n.v.vt, VT_I4);
        EXPECT_EQ(n.v.lVal, want.count);
        Var lastData, lastMode, lastInt;
        ASSERT_EQ(obj->GetReadData(&lastData.v), S_OK);
        ASSERT_EQ(obj->GetReadPmode(&lastMode.v), S_OK);
        ASSERT_EQ(obj->GetReadInt(&lastInt.v), S_OK);
        EXPECT_EQ(lastData.Text(), want.data);
        EXPECT_NE(lastData.v.bstrVal, got.v.bstrVal) << "each result is the script's own copy";
        EXPECT_EQ(lastMode.v.lVal, want.mode);
        EXPECT_EQ(lastInt.v.lVal, want.count);
    }
    Var mode, zero(0), got, n;
    ASSERT_EQ(obj->ShMemRead(&mode.v, zero.v, &got.v, &n.v), S_OK);
    EXPECT_EQ(n.v.lVal, -5) << "no buffer of zero bytes is handed to the library";

    Var closed;
    ASSERT_EQ(obj->ShMemClose(&closed.v), S_OK);
    EXPECT_EQ(closed.v.vt, VT_BOOL);
    EXPECT_EQ(closed.v.boolVal, 1);
    EXPECT_EQ(std::string(log()), "open " + dir + "|qmintpr|TEMPLATE=caf\xC3\xA9.htm\n"
                                  "write 2 3 abc\n"
                                  "read 64\nread 64\nread 64\nread 64\n"
                                  "close\n");
    obj->Release();
    dlclose(h);
}

}  // namespace
}  // namespace qm::qmrrcom
