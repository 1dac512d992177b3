// The COM basics: wide text and its ANSI form, VARIANT conversions, identifiers, registration
// scripts and ProgID lookup in the registry.
#include <gtest/gtest.h>

#include "qm/com/com.h"
#include "qm/platform/registry.h"
#include "qm/testing/testing.h"

namespace qm::com {
namespace {

using platform::RegRoot;

std::string RoundTrip(std::string_view ansi) {
    BSTR b = AnsiToBstr(ansi);
    std::string back = BstrToAnsi(b);
    SysFreeString(b);
    return back;
}

TEST(ComText, AnsiIsUtf8AndAnyBytesSurviveTheRoundTrip) {
    BSTR b = AnsiToBstr("a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80");  // a é € 😀
    ASSERT_NE(b, nullptr);
    ASSERT_EQ(SysStringLen(b), 5u);
    EXPECT_EQ(b[0], u'a');
    EXPECT_EQ(b[1], 0x00E9);
    EXPECT_EQ(b[2], 0x20AC);
    EXPECT_EQ(b[3], 0xD83D);
    EXPECT_EQ(b[4], 0xDE00);
    EXPECT_EQ(b[5], 0) << "a BSTR ends in NUL";
    SysFreeString(b);
    // Binary data and broken sequences: a lone lead byte, a stray continuation byte, an
    // overlong slash, an encoded surrogate, and a sequence cut by the end of the text.
    for (std::string_view raw : {std::string_view("\xFF\x80\x01", 3), std::string_view("\xC0\xAF"),
                                 std::string_view("\xED\xA0\x80"), std::string_view("ok\xE2\x82")}) {
        EXPECT_EQ(RoundTrip(raw), raw);
    }
    EXPECT_EQ(RoundTrip(""), "");
    EXPECT_EQ(SysStringLen(nullptr), 0u);
    EXPECT_EQ(BstrToAnsi(nullptr), "");
    const char16_t lone[] = {u'x', 0xD800, u'y'};
    EXPECT_EQ(BstrToAnsi(lone, 3), "x?y") << "a lone surrogate has no UTF-8 form";
}

TEST(ComVariant, ConversionsAndOwnership) {
    VARIANT text, out;
    VariantInit(&text);
    VariantInit(&out);
    text.vt = VT_BSTR;
    text.bstrVal = AnsiToBstr(" 42 ");
    ASSERT_EQ(VariantChangeType(&out, &text, 0, VT_I4), S_OK);
    EXPECT_EQ(out.vt, VT_I4);
    EXPECT_EQ(out.lVal, 42);
    SysFreeString(text.bstrVal);
    text.bstrVal = AnsiToBstr("4x");
    EXPECT_EQ(VariantChangeType(&out, &text, 0, VT_I4), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(out.lVal, 42) << "a failed conversion leaves the target alone";
    SysFreeString(text.bstrVal);
    text.bstrVal = AnsiToBstr("99999999999");
    EXPECT_EQ(VariantChangeType(&out, &text, 0, VT_I4), DISP_E_TYPEMISMATCH);

    VARIANT n;
    VariantInit(&n);
    n.vt = VT_I4;
    n.lVal = 70000;
    EXPECT_EQ(VariantChangeType(&out, &n, 0, VT_I2), DISP_E_TYPEMISMATCH);
    ASSERT_EQ(VariantChangeType(&out, &n, 0, VT_BSTR), S_OK);
    EXPECT_EQ(BstrToAnsi(out.bstrVal), "70000");
    // Converting in place frees the old text.
    ASSERT_EQ(VariantChangeType(&out, &out, 0, VT_I4), S_OK);
    EXPECT_EQ(out.lVal, 70000);

    VARIANT copy;
    VariantInit(&copy);
    ASSERT_EQ(VariantCopy(&copy, &text), S_OK);
    EXPECT_NE(copy.bstrVal, text.bstrVal) << "a copy owns its own text";
    EXPECT_EQ(BstrToAnsi(copy.bstrVal), "99999999999");
    VariantClear(&copy);
    VariantClear(&text);
    EXPECT_EQ(text.vt, VT_EMPTY);
}

TEST(ComGuid, TextFormsParseAndPrint) {
    GUID g;
    ASSERT_TRUE(ParseGuid("{5d1c2a40-3B7E-4F19-9C62-7A0B44E1D2F3}", &g));
    EXPECT_EQ(g.Data1, 0x5D1C2A40u);
    EXPECT_EQ(g.Data4[7], 0xF3);
    EXPECT_EQ(GuidText(g), "{5D1C2A40-3B7E-4F19-9C62-7A0B44E1D2F3}");
    for (const char* bad : {"5D1C2A40-3B7E-4F19-9C62-7A0B44E1D2F3", "{5D1C2A40-3B7E-4F19-9C62-7A0B44E1D2F}",
                            "{5D1C2A40-3B7E-4F19-9C627A0B44E1D2F3a}", "{5D1C2A4G-3B7E-4F19-9C62-7A0B44E1D2F3}",
                            ""}) {
        EXPECT_FALSE(ParseGuid(bad, &g)) << bad;
    }
    OLECHAR wide[39];
    EXPECT_EQ(StringFromGUID2(g, wide, 39), 39);
    EXPECT_EQ(StringFromGUID2(g, wide, 38), 0) << "no room for the terminator";
    CLSID back;
    ASSERT_EQ(CLSIDFromString(wide, &back), S_OK);
    EXPECT_TRUE(back == g);
}

TEST(ComRegistry, ScriptsWriteOwnedKeysAndRemoveOnlyThose) {
    testing::TempRoot root;
    ASSERT_EQ(platform::RegSetString(RegRoot::ClassesRoot, "CLSID\\{other}", "", "Other", true), 0);
    constexpr const char* kScript = R"(
; a comment
!Test.Thing.1 = 'Thing'
Test.Thing.1\CLSID = '{00000000-0000-0000-0000-0000000000AB}'
!Test.Thing = 'Thing'
Test.Thing\CurVer = 'Test.Thing.1'
!CLSID\{00000000-0000-0000-0000-0000000000AB}\InprocServer32 = '%MODULE%'
CLSID\{00000000-0000-0000-0000-0000000000AB}\InprocServer32 @ThreadingModel = 'Apartment'
CLSID\{00000000-0000-0000-0000-0000000000AB}\HelpDir = '%MODULEDIR%'
)";
    ASSERT_EQ(UpdateRegistryFromScript(kScript, "/opt/q/bin/libthing.so", true), S_OK);
    const std::string server = "CLSID\\{00000000-0000-0000-0000-0000000000AB}\\InprocServer32";
    EXPECT_EQ(platform::RegReadText(RegRoot::ClassesRoot, server, ""), "/opt/q/bin/libthing.so");
    EXPECT_EQ(platform::RegReadText(RegRoot::ClassesRoot, server, "threadingmodel"), "Apartment");
    EXPECT_EQ(platform::RegReadText(RegRoot::ClassesRoot,
                                    "CLSID\\{00000000-0000-0000-0000-0000000000AB}\\HelpDir", ""),
              "/opt/q/bin");

    // The ProgID leads to the class through its current version.
    CLSID clsid;
    BSTR progId = AnsiToBstr("test.thing");
    ASSERT_EQ(CLSIDFromProgID(progId, &clsid), S_OK);
    SysFreeString(progId);
    EXPECT_EQ(clsid.Data4[7], 0xAB);

    ASSERT_EQ(UpdateRegistryFromScript(kScript, "/opt/q/bin/libthing.so", false), S_OK);
    EXPECT_NE(platform::RegOpenKey(RegRoot::ClassesRoot, "Test.Thing"), 0);
    EXPECT_NE(platform::RegOpenKey(RegRoot::ClassesRoot, server), 0);
    EXPECT_EQ(platform::RegOpenKey(RegRoot::ClassesRoot, "CLSID\\{other}"), 0)
        << "shared keys and other classes stay";
    progId = AnsiToBstr("Test.Thing");
    EXPECT_EQ(CLSIDFromProgID(progId, &clsid), REGDB_E_CLASSNOTREG);
    SysFreeString(progId);
    // Unregistering twice is no error; a malformed script changes nothing.
    EXPECT_EQ(UpdateRegistryFromScript(kScript, "/x", false), S_OK);
    EXPECT_EQ(UpdateRegistryFromScript("!A = unquoted", "/x", true), SELFREG_E_CLASS);
    EXPECT_NE(platform::RegOpenKey(RegRoot::ClassesRoot, "A"), 0);
}

TEST(ComRegistry, UnknownClassesAreNotCreated) {
    testing::TempRoot root;
    CLSID clsid{0x12345678, 1, 2, {1, 2, 3, 4, 5, 6, 7, 8}};
    void* out = &clsid;
    EXPECT_EQ(CoCreateInstance(clsid, nullptr, IID_IUnknown, &out), REGDB_E_CLASSNOTREG);
    EXPECT_EQ(out, nullptr);
    // A class whose server file does not exist.
    ASSERT_EQ(platform::RegSetString(RegRoot::ClassesRoot,
                                     "CLSID\\" + GuidText(clsid) + "\\InprocServer32", "",
                                     root.path() + "/bin/libnothere.so", true),
              0);
    EXPECT_EQ(CoCreateInstance(clsid, nullptr, IID_IUnknown, &out), CO_E_DLLNOTFOUND);
    BSTR bad = AnsiToBstr("..\\CLSID");
    EXPECT_EQ(CLSIDFromProgID(bad, &clsid), CO_E_CLASSSTRING);
    SysFreeString(bad);
}

}  // namespace
}  // namespace qm::com
