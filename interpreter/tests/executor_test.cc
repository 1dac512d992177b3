// Running compiled pages: blocks, output statements, variables and the error lines.
#include <gtest/gtest.h>

#include "page_reader.h"
#include "record_writer.h"
#include "test_util.h"

namespace qm::intpr::test {
namespace {

TEST(ExecutorBlocks, TheCompileExampleRuns) {
    EXPECT_EQ(RunText("<P>[% $N = 0 %][% WHILE ($N < 3) %]x[% $N = $N + 1 %][% ENDWHILE %]</P>"), "<P>xxx</P>");
}

TEST(ExecutorBlocks, IfElseAndNesting) {
    const char* page =
        "[% IF ($A == 1) %]one[% IF ($B) %]+b[% ELSE %]-b[% ENDIF %][% ELSE %]other"
        "[% ENDIF %].";
    EXPECT_EQ(RunText(page, {{"$A", "1"}, {"$B", ""}}), "other.");  // "1" is a text, never 1
    EXPECT_EQ(RunText("[% $A = 1 %][% $B = 0 %]" + std::string(page)), "one-b.");
    // A branch that is not taken is only skipped, endless loops and unknown names included.
    EXPECT_EQ(RunText("[% IF (0) %][% WHILE (1) %][% OUTHTML($NONE) %][% ENDWHILE %][% ENDIF %]ok"), "ok");
    EXPECT_EQ(RunText("[% $A = 1 %][% $B = \"\" %]" + std::string(page)), "one+b.");
    // Operators apply strictly left to right: ((1 == 1) | 0) == 2 is false.
    EXPECT_EQ(RunText("[% IF (1 == 1 | 0 == 2) %]y[% ELSE %]n[% ENDIF %]"), "n");
    EXPECT_EQ(RunText("[% $X = 2 + 3 * 4 %][% OUTHTML($X) %]"), "20");
}

TEST(ExecutorBlocks, SwitchRunsOneSection) {
    const std::string sw =
        "[% SWITCH ($S) %]skipped[% CASE 1 %]one[% CASE \"two\" %]two[% DEFAULT %]dflt[% CASE 3 %]three"
        "[% ENDSWITCH %].";
    EXPECT_EQ(RunText("[% $S = 1 %]" + sw), "one.");
    EXPECT_EQ(RunText("[% $S = \"two\" %]" + sw), "two.");
    EXPECT_EQ(RunText("[% $S = 3 %]" + sw), "dflt.");  // a DEFAULT before the match wins
    EXPECT_EQ(RunText("[% $S = 9 %][% SWITCH ($S) %][% CASE 1 %]one[% ENDSWITCH %]."), ".");
    EXPECT_EQ(RunText("[% SWITCH (1) %][% CASE 1 %]a[% CASE 1 %]b[% ENDSWITCH %]"), "a");
}

TEST(ExecutorBlocks, UnbalancedBlocksEndThePage) {
    EXPECT_EQ(RunText("a[% IF (1) %]b"), "abENDIF Not Found !");
    EXPECT_EQ(RunText("a[% IF (0) %]b"), "aENDIF Not Found !");
    EXPECT_EQ(RunText("a[% WHILE (0) %]b"), "aENDWHILE Not Found !");
    EXPECT_EQ(RunText("[% SWITCH (1) %][% ENDIF %]"), "SWITCH Syntax Error !");
    EXPECT_EQ(RunText("[% SWITCH (1) %][% CASE 1 %]x"), "xENDSWITCH Not Found !");
    // An error inside a taken branch also reports the block it ends.
    EXPECT_EQ(RunText("[% IF (1) %][% OUTHTML($NOPE) %][% ENDIF %]after"), "$NOPE Not Found !ENDIF Not Found !");
    EXPECT_EQ(RunText("[% ENDIF %]after"), "");
}

TEST(ExecutorBlocks, HostStopsAnEndlessLoop) {
    Capture capture;
    capture.stopAfter = 1000;
    PageContext context{PageOutput(&capture, &Capture::Callback), nullptr, {}};
    bool ok = false;
    const std::string page = CompileText("[% WHILE (1) %]tick[% ENDWHILE %]after", {}, nullptr, &ok);
    ASSERT_TRUE(ok);
    RunPage(context, page);
    EXPECT_EQ(capture.text.size(), 1000u);
    EXPECT_EQ(capture.text.find("after"), std::string::npos);
}

TEST(ExecutorOutput, BuiltInStatements) {
    EXPECT_EQ(RunText("[% OUTENCODEHTML(\"a b/c\") %]"), "a+b%2Fc");
    EXPECT_EQ(RunText("[% OUTDECODEHTML(\"a+b%2Fc%41\") %]"), "a b/cA");
    EXPECT_EQ(RunText("[% OUTDECODEHTML(\"x%4\") %]|[% OUTDECODEHTML(\"y%\") %]"), "x%4|y%");
    EXPECT_EQ(RunText("[% OUTHEXHTML(\"AZ\", 12) %]"), "415A3132");
    EXPECT_EQ(RunText("[% outhtml(1, \"-\", $ERROR_TAG_LEVEL, 2) %]"), "1-2");
    EXPECT_EQ(RunText("[% OUTPUT(1) %]"), "OUTPUT Not Found !");
    EXPECT_EQ(RunText("[% $V = OUTHTML(\"side\") %][% OUTHTML($V.TAG) %]"), "side5");
}

TEST(ExecutorOutput, EscapedTextNeverBecomesMarkup) {
    // Request values reach the page as text, in content and in quoted attributes alike.
    EXPECT_EQ(RunText("[% OUTESCAPEHTML($G) %]", {{"$G", "<b onclick='x'>\"A&B\"</b>"}}),
              "&lt;b onclick=&#39;x&#39;&gt;&quot;A&amp;B&quot;&lt;/b&gt;");
    // Integers, several arguments, NULL (nothing) and the lower-case name like the others.
    EXPECT_EQ(RunText("[% outescapehtml(-4, \"<\", $ERROR_TAG_LEVEL, \">\") %]"), "-4&lt;&gt;");
    // UTF-8 and Shift-JIS bytes pass unchanged; a text ends at its first NUL byte (printers pad).
    EXPECT_EQ(RunText("[% OUTESCAPEHTML($T) %]", {{"$T", "\xe5\x8d\xb0&\x88\xf3"}}), "\xe5\x8d\xb0&amp;\x88\xf3");
    EXPECT_EQ(RunText("[% OUTESCAPEHTML($P) %]|", {{"$P", std::string("RAM\0\0<", 6)}}), "RAM|");
}

TEST(ExecutorVariables, LookupTypesAndErrors) {
    EXPECT_EQ(RunText("[% $x = 1 %][% $X = $X + 1 %][% OUTHTML($x, %X) %]"), "2%X Not Found !");
    EXPECT_EQ(RunText("[% OUTHTML($N.TAG, $S.TAG, 1.TAG) %]", {{"$S", "t"}}),
              "COMPILE: main.htm: OUTHTML($N.TAG, $S.TAG, 1.TAG)  Syntax Error !");
    EXPECT_EQ(RunText("[% $N = $U %]"), "$U Not Found !");
    EXPECT_EQ(RunText("[% $T = \"x\" %][% OUTHTML($T[0]) %]"), "$T Syntax Error !");
    // NULL may be indexed: everything in it is NULL, whose type tag is 5.
    EXPECT_EQ(RunText("[% $E = $ERROR_TAG_LEVEL %][% OUTHTML($E[3][4].TAG, $E.TAG) %]"), "55");
}

TEST(ExecutorRecords, OversizedOrTruncatedRecordsStopExecution) {
    std::string page;
    AppendRecord(page, QM_REC_HEADER, QM_PAGE_MARK_SEALED);
    AppendRecord(page, QM_REC_TEXT, "ok");
    AppendRecord(page, QM_REC_TEXT, std::string(QM_RECORD_MAX_DATA + 1, 'x'));
    AppendRecord(page, QM_REC_TEXT, "never");
    Capture capture;
    PageContext context{PageOutput(&capture, &Capture::Callback), nullptr, {}};
    RunPage(context, page);
    EXPECT_EQ(capture.text, "ok");

    // A record of exactly the limit still runs; one cut short by the end of the page does not.
    std::string full;
    AppendRecord(full, QM_REC_TEXT, std::string(QM_RECORD_MAX_DATA, 'y'));
    AppendRecord(full, QM_REC_TEXT, "tail");
    full.pop_back();
    Capture c2;
    PageContext ctx2{PageOutput(&c2, &Capture::Callback), nullptr, {}};
    RunPage(ctx2, full);
    EXPECT_EQ(c2.text, std::string(QM_RECORD_MAX_DATA, 'y'));

    // Garbage records never crash: an unknown operand code simply ends the page.
    std::string junk;
    AppendRecord(junk, QM_REC_VARIABLE, "$A");
    AppendRecord(junk, 'z');
    Capture c3;
    PageContext ctx3{PageOutput(&c3, &Capture::Callback), nullptr, {}};
    RunPage(ctx3, junk);
    EXPECT_EQ(c3.text, "");
}

TEST(ExecutorCalls, WithoutLibrariesACallIsAnInitializeError) {
    EXPECT_EQ(RunText("a[% QMTAG.TAGX(1) %]b"), "aQMTAG Initialize Error !");
}

// Pages deeper than the compiler writes (a damaged or foreign cache file) are refused, never
// run into the end of the stack.
TEST(ExecutorRecords, PagesNestedTooDeeplyAreRefused) {
    auto run = [](const std::string& page) {
        Capture capture;
        PageContext context{PageOutput(&capture, &Capture::Callback), nullptr, {}};
        context.variables.Define("$X", Value::Integer(1));
        RunPage(context, page);
        return capture.text;
    };
    auto ifs = [](int depth, char block) {
        std::string page;
        for (int i = 0; i < depth; ++i) {
            AppendRecord(page, block);
            AppendIntegerRecord(page, 1);
            AppendRecord(page, QM_REC_END);
        }
        AppendRecord(page, QM_REC_TEXT, "INSIDE");
        for (int i = 0; i < depth; ++i) AppendRecord(page, block == QM_REC_IF ? QM_REC_ENDIF : QM_REC_ENDSWITCH);
        return page;
    };
    EXPECT_EQ(run(ifs(QM_PAGE_MAX_BLOCK_DEPTH, QM_REC_IF)), "INSIDE");
    const std::string deep = run(ifs(100000, QM_REC_IF));
    EXPECT_EQ(deep.substr(0, 18), "Nesting Too Deep !");
    EXPECT_EQ(deep.find("INSIDE"), std::string::npos);
    // Skipped blocks are bounded the same way: a false IF around a deep nest.
    std::string skipped;
    AppendRecord(skipped, QM_REC_IF);
    AppendIntegerRecord(skipped, 0);
    AppendRecord(skipped, QM_REC_END);
    skipped += ifs(100000, QM_REC_SWITCH);
    AppendRecord(skipped, QM_REC_ENDIF);
    EXPECT_EQ(run(skipped).substr(0, 18), "Nesting Too Deep !");

    // Expressions: $X[$X[...]] one inside the other, evaluated and skipped.
    std::string expr;
    for (int i = 0; i < 100000; ++i) AppendRecord(expr, QM_REC_VARIABLE, "$X");
    AppendIntegerRecord(expr, 0);
    std::string page;
    AppendRecord(page, QM_REC_VARIABLE, "$A");
    page += expr;
    EXPECT_EQ(run(page), "Nesting Too Deep !");
    std::string skip;
    AppendRecord(skip, QM_REC_WHILE);
    AppendIntegerRecord(skip, 0);
    AppendRecord(skip, QM_REC_END);
    AppendRecord(skip, QM_REC_VARIABLE, "$A");
    skip += expr;
    EXPECT_EQ(run(skip).substr(0, 18), "Nesting Too Deep !");
}

}  // namespace
}  // namespace qm::intpr::test
