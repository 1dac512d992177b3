// Template compiler: segmentation, tokenizer, statements, directives and their errors.
#include <gtest/gtest.h>

#include "compiler.h"
#include "test_util.h"

namespace qm::intpr::test {
namespace {

std::string Records(std::string_view text) {
    std::string errors;
    bool ok = false;
    std::string page = CompileText(text, {}, &errors, &ok);
    EXPECT_TRUE(ok) << errors;
    return Describe(page);
}

std::string Error(std::string_view text, const std::map<std::string, std::string>& files = {}) {
    std::string errors;
    bool ok = true;
    CompileText(text, files, &errors, &ok);
    EXPECT_FALSE(ok);
    return errors;
}

TEST(CompilerExample, CompilesToTheDocumentedBytes) {
    const std::string page =
        CompileText("<P>[% $N = 0 %][% WHILE ($N < 3) %]x[% $N = $N + 1 %][% ENDWHILE %]</P>");
    EXPECT_EQ(Describe(page),
              "@[<P>] 2[$N] 1[0] $ 6 2[$N] $ f[V] e[<] 1[3] $ @[x] 2[$N] 2[$N] $ f[V] e[+] 1[1] $ 7 @[</P>]");
    // Byte for byte: every record is code, 4-byte little-endian length, data.
    std::string expected;
    auto rec = [&](char code, std::string data = "") {
        expected.push_back(code);
        const uint32_t n = static_cast<uint32_t>(data.size());
        for (int i = 0; i < 4; ++i) expected.push_back(static_cast<char>((n >> (8 * i)) & 0xFF));
        expected += data;
    };
    auto integer = [&](int32_t v) {
        std::string d(4, '\0');
        for (int i = 0; i < 4; ++i) d[i] = static_cast<char>((static_cast<uint32_t>(v) >> (8 * i)) & 0xFF);
        rec('1', d);
    };
    rec('@', "<P>");
    rec('2', "$N"); integer(0); rec('$', "");
    rec('6'); rec('2', "$N"); rec('$', ""); rec('f', "V"); rec('e', "<"); integer(3); rec('$', "");
    rec('@', "x");
    rec('2', "$N"); rec('2', "$N"); rec('$', ""); rec('f', "V"); rec('e', "+"); integer(1); rec('$', "");
    rec('7'); rec('@', "</P>");
    EXPECT_EQ(page, expected);
    EXPECT_EQ(page.substr(0, 8), std::string("\x40\x03\x00\x00\x00<P>", 8));
}

TEST(CompilerSegments, TextIsCutAtChunksAndLineFeeds) {
    const std::string exact(4096, 'a');
    EXPECT_EQ(Records(exact), "@[" + exact + "]");

    // 5000 bytes with a line feed at 3000: the first chunk ends after that line feed, the rest
    // is the second record.
    std::string text(3000, 'b');
    text += "\n";
    text += std::string(1999, 'c');
    EXPECT_EQ(Records(text), "@[" + text.substr(0, 3001) + "] @[" + text.substr(3001) + "]");

    // With no line feed a chunk is cut at 4096 bytes.
    const std::string longText(5000, 'd');
    EXPECT_EQ(Records(longText), "@[" + longText.substr(0, 4096) + "] @[" + longText.substr(4096) + "]");
}

TEST(CompilerSegments, TagsAndComments) {
    EXPECT_EQ(Records("a[% %]b"), "@[a] @[b]");
    EXPECT_EQ(Records("a<!-- COMMENT: [% $X = 1 %] -->b"), "@[a] @[b]");
    // An ordinary comment reaches the page, tags inside it still run.
    EXPECT_EQ(Records("<!-- hi [% $X = 1 %] -->"), "@[<!-- hi ] 2[$X] 1[1] $ @[ -->]");
    EXPECT_EQ(Records("x<!--a<!--b"), "@[x] @[<!--a] @[<!--b]");
    EXPECT_EQ(Error("ab[% $X = 1"), "main.htm: %] Not Found !");
    EXPECT_EQ(Error("<!--COMMENT: no end"), "main.htm: --> Not Found !");
    // A tag must close within the 4096-byte chunk it starts.
    EXPECT_EQ(Error("[% $X = \"" + std::string(5000, 'z') + "\" %]"), "main.htm: %] Not Found !");
}

TEST(CompilerStatements, OperatorsIndicesAndSelectors) {
    EXPECT_EQ(Records("[% IF ($A == 1 | $B == 2) %]"),
              "3 2[$A] $ f[V] e[=] 1[1] e[|] 2[$B] $ f[V] e[=] 1[2] $");
    EXPECT_EQ(Records("[% $Y = $X[2] %]"), "2[$Y] 2[$X] 1[2] $ 1[1] $ $ f[V] $");
    EXPECT_EQ(Records("[% $Y = $X[2][0].TAG %]"), "2[$Y] 2[$X] 1[2] $ 1[0] $ $ f[T] $");
    EXPECT_EQ(Records("[% $Y = $X[1].OID %]"), "2[$Y] 2[$X] 1[1] $ 1[0] $ $ f[V] $");
    EXPECT_EQ(Records("[% $Y = $X[1].TYPE %]"), "2[$Y] 2[$X] 1[1] $ 1[1] $ $ f[T] $");
    EXPECT_EQ(Records("[% $A = 0x1F + \"ABC\" %]"), "2[$A] 1[31] e[+] 0[ABC] $");
    EXPECT_EQ(Records("[% $A = -5 - +3 %]"), "2[$A] 1[-5] e[-] 1[3] $");
    EXPECT_EQ(Records("[% $A = 4294967297 %]"), "2[$A] 1[1] $");  // wraps in 32 bits
    EXPECT_EQ(Records("[% $A = \"a\\\"b\\\\c\\n\" %]"), "2[$A] 0[a\"b\\c\\n] $");
    EXPECT_EQ(Records("[% $A = \"\" %]"), "2[$A] 0 $");
    EXPECT_EQ(Records("[% $A = %B != $c.value %]"), "2[$A] 2[%B] $ f[V] e[!] 2[$c] $ f[V] $");
}

TEST(CompilerStatements, CallsAndBlocks) {
    EXPECT_EQ(Records("[% OUTHTML(\"\") %]"), "c[.] d[OUTHTML] 0 $ $");
    EXPECT_EQ(Records("[% $R = QMTAG.TAGGetMIBData($K, 1) %]"),
              "2[$R] c[QMTAG] d[TAGGetMIBData] 2[$K] $ f[V] $ 1[1] $ $ $");
    EXPECT_EQ(Records("[% case 1 %][% CASE \"x\" %][% default %][%endswitch%]"), "9 1[1] 9 0[x] a b");
    EXPECT_EQ(Records("[% switch ($S) %][% else %][% endif %][% while(1) %][% endwhile %]"),
              "8 2[$S] $ f[V] $ 4 5 6 1[1] $ 7");
}

TEST(CompilerStatements, SyntaxErrors) {
    for (const char* tag : {"OUTHTML()", "CASE (1)", "ENDIF x", "$A = 1 =", "IF ($A = 1)",
                            "IF ($A <= 1)", "IF $A", "1 = $A", "FOO", "$A[1] = 2", "$A.TAG = 1",
                            "IF (1", "OUTHTML(1,)", "$A = IF", "$A == 1", "X.(1)", "$A = 1 2"}) {
        EXPECT_EQ(Error(std::string("[% ") + tag + "%]"), std::string("main.htm: ") + tag + " Syntax Error !")
            << tag;
    }
    // The target name must be shorter than 64 bytes; the body in the message is cut to 64.
    const std::string name = "$" + std::string(63, 'N');
    EXPECT_EQ(Error("[% " + name + " = 1%]"), "main.htm: " + (name + " = 1").substr(0, 64) + " Syntax Error !");
    EXPECT_EQ(Records("[% $" + std::string(62, 'N') + " = 1 %]"), "2[$" + std::string(62, 'N') + "] 1[1] $");
    // Nothing after the failing tag is translated.
    bool ok = true;
    std::string errors;
    EXPECT_EQ(Describe(CompileText("a[% ENDIF x %]b", {}, &errors, &ok)), "@[a]");
}

TEST(CompilerDirectives, DefineAppliesFromThereOnIncludesToo) {
    const std::map<std::string, std::string> files = {{"inc.htm", "inc NAME"}};
    bool ok = false;
    std::string errors;
    const auto page = CompileText("NAME [% #DEFINE NAME \"Bob\" %]NAME [% #INCLUDE inc.htm %]", files, &errors, &ok);
    ASSERT_TRUE(ok) << errors;
    EXPECT_EQ(Describe(page), "@[NAME ] @[Bob ] @[inc Bob]");
    // Later macros see the output of earlier ones; the replacement is not rescanned.
    EXPECT_EQ(Records("[%#DEFINE A AB%][%#DEFINE B C%]A"), "@[AC]");
    EXPECT_EQ(Records("[%#define X XX%]XX"), "@[XXXX]");
    EXPECT_EQ(Records("[% #DEFINE V $X %][% OUTHTML(V) %]"), "c[.] d[OUTHTML] 2[$X] $ f[V] $ $");
}

TEST(CompilerDirectives, Errors) {
    EXPECT_EQ(Error("[% #INCLUDE%]"), "main.htm: #INCLUDE Macro Error !");
    EXPECT_EQ(Error("[% #DEFINE A%]"), "main.htm: #DEFINE A Macro Error !");
    EXPECT_EQ(Error("[% #DEFINE A B C%]"), "main.htm: #DEFINE A B C Macro Error !");
    EXPECT_EQ(Error("[% #PRAGMA%]"), "main.htm: #PRAGMA Macro Error !");
    EXPECT_EQ(Error("[% #INCLUDE gone.htm %]"), "gone.htm Not Found !");
    // A quoted name keeps its quotes, so it names a different file.
    EXPECT_EQ(Error("[% #INCLUDE \"a.htm\" %]", {{"a.htm", "x"}}), "\"a.htm\" Not Found !");
    // Errors inside an include name the included file.
    EXPECT_EQ(Error("[% #INCLUDE a.htm %]", {{"a.htm", "[% ENDIF 1%]"}}), "a.htm: ENDIF 1 Syntax Error !");
    // A cycle ends at the depth bound with the including file's Macro Error.
    EXPECT_EQ(Error("[% #INCLUDE a.htm %]", {{"a.htm", "[% #INCLUDE b.htm %]"}, {"b.htm", "[% #INCLUDE a.htm%]"}}),
              "b.htm: #INCLUDE a.htm Macro Error !");
    // Macros that double the text each time run out of room instead of memory.
    std::string bomb = "[% #DEFINE A AA %]";
    std::string text;
    for (int i = 0; i < 40; ++i) text += bomb;
    EXPECT_EQ(Error(text + "A"), "main.htm: makeTemporary() Out of memory !");
    // Tags that macros blow up to nearly the size limit and that then vanish as white space
    // cost that much once per macro and tag; all of a run's substitution is bounded, so a few
    // kilobytes of template cannot keep a compile busy for minutes.
    // (T18T becomes 2^18 tabs.)
    std::string tabs;
    for (int i = 18; i >= 1; --i) {
        const std::string n = std::to_string(i), m = std::to_string(i - 1);
        tabs += "[% #DEFINE T" + n + "T T" + m + "TT" + m + "T %]";
    }
    tabs += "[% #DEFINE T0T \"\t\" %]";
    std::string tags;
    for (int i = 0; i < 200; ++i) tags += "[%T18T%]";
    EXPECT_EQ(Error(tabs + tags), "main.htm: makeTemporary() Out of memory !");
    EXPECT_EQ(Error(tabs + "[% #INCLUDE t.htm t.htm t.htm t.htm %]", {{"t.htm", tags.substr(0, 400)}}),
              "t.htm: makeTemporary() Out of memory !");
    // Far below that, the same tags compile to nothing.
    EXPECT_EQ(Records(tabs + tags.substr(0, 80)), "");
    // The macro list is bounded too.
    std::string many;
    for (int i = 0; i < 1100; ++i) many += "[%#DEFINE N" + std::to_string(i) + "N x%]";
    EXPECT_EQ(Error(many), "main.htm: #DEFINE N1022N x Macro Error !");  // two macros are built in
}

TEST(CompilerDirectives, QuotedWordsInUtf8AndShiftJis) {
    // A three-byte UTF-8 character used to carry the closing quote away as its "second byte".
    EXPECT_EQ(Records("[% #DEFINE \"\xE5\x90\x8D\" \"x\" %]a\xE5\x90\x8D" "b"), "@[axb]");
    EXPECT_EQ(Records("[% #DEFINE N \"\xE2\x82\xAC\" %]N"), "@[\xE2\x82\xAC]");
    // In Shift-JIS text a lead byte carries the next byte, so a second byte that is a backslash
    // or a quote never escapes or closes the word.
    EXPECT_EQ(Records("[% #DEFINE N \"\x83\x5C\" %]N"), "@[\x83\x5C]");
    EXPECT_EQ(Records("[% #DEFINE N \"a\x83\x22" "b\" %]N"), "@[a\x83\x22" "b]");
}

TEST(CompilerDirectives, IncludesCompileInOrder) {
    const std::map<std::string, std::string> files = {{"a.htm", "A"}, {"b.htm", "B[% #INCLUDE c.htm %]"}, {"c.htm", "C"}};
    bool ok = false;
    const auto page = CompileText("<[% #INCLUDE a.htm b.htm %]>", files, nullptr, &ok);
    ASSERT_TRUE(ok);
    EXPECT_EQ(Describe(page), "@[<] @[A] @[B] @[C] @[>]");
}

// Macros that double a text 15 times: 32,768 brackets inside each other from a 300-byte template.
std::string DoublingDefines(const std::string& open, const std::string& close) {
    std::string text;
    for (int i = 15; i >= 1; --i) {
        const std::string n = std::to_string(i), m = std::to_string(i - 1);
        text += "[% #DEFINE O" + n + "O O" + m + "OO" + m + "O %][% #DEFINE C" + n + "C C" + m + "CC" + m + "C %]";
    }
    return text + "[% #DEFINE O0O " + open + " %][% #DEFINE C0C " + close + " %]";
}

TEST(CompilerLimits, DeepExpressionsFailNamingTheLine) {
    // Index expressions and call arguments nest up to the limit, and no further.
    auto nested = [](int depth) {
        std::string e = "1";
        for (int i = 1; i < depth; ++i) e = "$X[" + e + "]";
        return "[% $A = " + e + " %]";
    };
    std::string errors;
    CompileText(nested(QM_PAGE_MAX_EXPRESSION_DEPTH), {}, &errors);
    EXPECT_EQ(errors, "");
    EXPECT_EQ(Error("a\nb\n" + nested(QM_PAGE_MAX_EXPRESSION_DEPTH + 1)).substr(0, 40),
              "main.htm line 3: $A = $X[$X[$X[$X[$X[$X[");
    EXPECT_NE(Error(nested(QM_PAGE_MAX_EXPRESSION_DEPTH + 1)).find("Nesting Too Deep !"), std::string::npos);
    std::string calls = "1";
    for (int i = 0; i < 100; ++i) calls = "QMTAG.TAGX(" + calls + ")";
    EXPECT_NE(Error("[% " + calls + " %]").find("main.htm line 1: QMTAG.TAGX("), std::string::npos);
    // The macro bomb of 32,768 nested brackets (it used to exhaust the stack).
    const std::string defines = DoublingDefines("$X[", "]");
    const std::string error = Error(defines + "\n[% $A = O15O 1 C15C %]");
    EXPECT_EQ(error.substr(0, 17), "main.htm line 2: ") << error;
    EXPECT_NE(error.find("Nesting Too Deep !"), std::string::npos) << error;
    // Inside an include the line is the included file's.
    EXPECT_EQ(Error("\n\n[% #INCLUDE a.htm %]", {{"a.htm", "x\n" + nested(100)}}).substr(0, 14), "a.htm line 2: ");
}

TEST(CompilerLimits, DeepBlocksFailNamingTheLine) {
    // Blocks nest across tags and files; 60,000 IFs inside each other are refused at the first
    // IF past the limit.
    std::string ifs;
    for (int i = 0; i < 60000; ++i) ifs += "[% IF (1) %]\n";
    EXPECT_EQ(Error(ifs), "main.htm line " + std::to_string(QM_PAGE_MAX_BLOCK_DEPTH + 1) +
                              ": IF (1)  Nesting Too Deep !");
    // Closed blocks do not count: as many blocks as you like one after the other.
    std::string flat, deepest;
    for (int i = 0; i < 1000; ++i) flat += "[% WHILE (0) %][% SWITCH (1) %][% ENDSWITCH %][% ENDWHILE %]";
    for (int i = 0; i < QM_PAGE_MAX_BLOCK_DEPTH; ++i) deepest = "[% IF (1) %]" + deepest + "[% ENDIF %]";
    EXPECT_EQ(RunText(flat + deepest + "done"), "done");
    // Includes share the count.
    std::string half;
    for (int i = 0; i < QM_PAGE_MAX_BLOCK_DEPTH / 2 + 1; ++i) half += "[% WHILE (1) %]";
    EXPECT_EQ(Error(half + "[% #INCLUDE a.htm %]", {{"a.htm", half}}),
              "a.htm line 1: WHILE (1)  Nesting Too Deep !");
}

TEST(CompilerLimits, NothingLongerThanARecordIsWritten) {
    // Text that macros make longer than one record holds was refused by the executor, which
    // ended the page without a word; now the compile fails.
    EXPECT_EQ(Error("[% #DEFINE X \"" + std::string(2000, 'x') + "\" %]\n[% $A = 1 %]XXXXXXX"),
              "main.htm line 2: Record Too Long !");
    std::string errors;
    CompileText("[% #DEFINE X \"" + std::string(2000, 'x') + "\" %]\nXXXXXX", {}, &errors);
    EXPECT_EQ(errors, "");  // 12,000 bytes still fit
    // The same for a literal or a name inside a tag.
    EXPECT_EQ(Error("[% #DEFINE X \"" + std::string(4000, 'x') + "\" %]\n[% OUTHTML(\"XXXX\") %]").substr(0, 18),
              "main.htm line 2: O");
    EXPECT_NE(Error("[% #DEFINE X \"" + std::string(4000, 'x') + "\" %][% $A = $XXXX %]").find("Record Too Long !"),
              std::string::npos);
}

}  // namespace
}  // namespace qm::intpr::test
