// Whole sessions over the real channel library: QMCOM against a channel server of the test's
// own root, and the script host reading a page from the interpreter through a real qmhttpd.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <thread>

#include "qm/rrchannel/server.h"
#include "qm/testing/testing.h"
#include "qmrrcom.h"

namespace qm::qmrrcom {
namespace {

using namespace std::chrono_literals;

using Var = qm::com::OwnedVariant;

using qm::testing::FreePort;

// Runs a command and returns its standard output and exit status.
std::string RunCommand(const std::string& command, int* status) {
    std::string out;
    if (FILE* p = popen(command.c_str(), "r")) {
        char buf[4096];
        std::size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
        int rc = pclose(p);
        *status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    } else {
        *status = -1;
    }
    return out;
}

// The binary piece of an answer reaches a script up to its first NUL byte; the text pieces
// whole, in order, over the real channel library.
TEST(Session, QmcomReadsAnAnswerOverTheRealChannel) {
    testing::TempRoot root;
    rrchannel::Listener listener;
    ASSERT_EQ(listener.Open(root.path()), 0);
    std::string received;
    std::thread server([&] {
        for (int tries = 0; tries < 600; ++tries) {
            auto s = listener.Accept(100ms);
            if (!s) continue;
            rrchannel::RequestText req;
            std::string upload;
            if (!s->Receive(&req, &upload)) return;
            received = req.service + " " + req.parameters + " upload=" + upload;
            s->WriteData(rrchannel::kModeText, "<p>first</p>\n" + std::string(1500, 't'));
            s->WriteData(rrchannel::kModeBinary, std::string("GIF89a\0\0tail", 12));
            s->WriteEnd();
            return;
        }
    });

    ASSERT_EQ(DllRegisterServer(), S_OK);
    BSTR progId = AnsiToBstr("Haldor.QMCOM");
    CLSID clsid;
    ASSERT_EQ(CLSIDFromProgID(progId, &clsid), S_OK);
    SysFreeString(progId);
    IQMCOM* obj = nullptr;
    ASSERT_EQ(CoCreateInstance(clsid, nullptr, IID_IQMCOM, reinterpret_cast<void**>(&obj)), S_OK);
    Var dir(testing::BuildBinFolder()), ok;
    ASSERT_EQ(obj->ShMemInit(dir.v, &ok.v), S_OK);
    ASSERT_EQ(ok.v.boolVal, 1);
    Var req(testing::BuildBinFolder() + "|qmintpr|A=1|B=2"), opened;
    ASSERT_EQ(obj->ShMemOpen(req.v, &opened.v), S_OK);
    ASSERT_EQ(opened.v.boolVal, 1);
    Var mode(2), count(6), data("upload"), written;
    ASSERT_EQ(obj->ShMemWrite(mode.v, count.v, data.v, &written.v), S_OK);
    EXPECT_EQ(written.v.lVal, 6);
    Var end(0), empty(""), ended;
    ASSERT_EQ(obj->ShMemWrite(mode.v, end.v, empty.v, &ended.v), S_OK);
    EXPECT_EQ(ended.v.lVal, 0);

    std::string text, binary;
    for (int i = 0; i < 10; ++i) {
        Var pmode, cap(1024), got, n;
        ASSERT_EQ(obj->ShMemRead(&pmode.v, cap.v, &got.v, &n.v), S_OK);
        ASSERT_GE(n.v.lVal, 0);
        if (n.v.lVal == 0) break;
        (pmode.v.lVal == 1 ? text : binary) += BstrToAnsi(got.v.bstrVal);
        if (pmode.v.lVal == 2) {
            EXPECT_EQ(n.v.lVal, 12) << "the count is the library's";
        }
    }
    EXPECT_EQ(text, "<p>first</p>\n" + std::string(1500, 't'));
    EXPECT_EQ(binary, "GIF89a");
    Var closed;
    ASSERT_EQ(obj->ShMemClose(&closed.v), S_OK);
    EXPECT_EQ(closed.v.boolVal, 1);
    obj->Release();
    server.join();
    EXPECT_EQ(received, "qmintpr A=1|B=2 upload=upload");
}

// The script host creates the object by ProgID, drives it by method names only and prints the
// page that the interpreter inside qmhttpd answers through the channel.
TEST(Session, ScriptHostReadsAPageThroughQmhttpd) {
    testing::TempRoot root;
    const std::string bin = testing::BuildBinFolder();
    int status = 0;
    RunCommand(bin + "/qmhttpd --root " + root.path() + " --seed-registry", &status);
    ASSERT_EQ(status, 0);
    RunCommand(bin + "/qmscript --root " + root.path() + " --register " + bin + "/libqmrrcom.so", &status);
    ASSERT_EQ(status, 0);
    std::ofstream(root / "html/en/hello.htm")
        << "<p>[% OUTHTML($TEMPLATE) %] x=[% OUTHTML($X) %] "
           "m=[% OUTHTML($REQUEST_METHOD) %]</p>\n"
           "[% $I = 0 %][% WHILE ($I < 3) %]<i>[% OUTHTML($I) %]</i>[% $I = $I + 1 %]"
           "[% ENDWHILE %]\n";

    const std::string port = std::to_string(FreePort());
    pid_t server = fork();
    if (server == 0) {
        const std::string exe = bin + "/qmhttpd";
        execl(exe.c_str(), exe.c_str(), "--root", root.path().c_str(), "--port", port.c_str(),
              static_cast<char*>(nullptr));
        _exit(127);
    }
    ASSERT_GT(server, 0);
    const std::string script = "REQUEST_METHOD=GET " + bin + "/qmscript --root " + root.path() +
                               " --dir " + bin + " LANGUAGE=en TEMPLATE=hello.htm 'X=a b!' 2>&1";
    std::string page;
    // The server is ready once its channel answers; a loaded machine may take a while.
    bool served = testing::Eventually(
        [&] {
            page = RunCommand(script, &status);
            return status == 0;
        },
        60s);
    kill(server, SIGTERM);
    int st = 0;
    waitpid(server, &st, 0);
    ASSERT_TRUE(served) << page;
    EXPECT_EQ(page, "<p>hello.htm x=a b! m=GET</p>\n<i>0</i><i>1</i><i>2</i>\n");

    // A folder without the channel library: the host says so and fails.
    std::string other = RunCommand(bin + "/qmscript --root " + root.path() + " --dir " + root.path() +
                                "/conf LANGUAGE=en 2>&1",
                            &status);
    EXPECT_EQ(status, 1);
    EXPECT_NE(other.find("no channel library"), std::string::npos) << other;
}

}  // namespace
}  // namespace qm::qmrrcom
