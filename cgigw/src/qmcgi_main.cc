// Qmcgi: hands a CGI request to a serving process of this installation through the
// request/response channel and copies the answer to the client.
#include <cstdio>
#include <string>

#include "QMRR.h"
#include "gateway.h"
#include "qm/cgi/cgi_request.h"
#include "qm/platform/library.h"
#include "qm/platform/paths.h"

namespace {

using qm::cgigw::PutLine;

// One request object per process; its destructor removes the temporary upload files, also
// when an error path leaves main early.
qm::cgi::CgiRequest g_request;

struct Channel {
    ShMemOpenFn open = nullptr;
    ShMemWriteFn write = nullptr;
    ShMemReadFn read = nullptr;
    ShMemCloseFn close = nullptr;
};

// All four calls or none: a half-bound library counts as not loaded.
bool Bind(const std::string& installDir, Channel* ch) {
    // The platform layer resolves "QMRR.dll" to libQMRR.so of this installation.
    qm::platform::LibraryHandle lib = qm::platform::LoadLibraryByName(installDir + "\\QMRR.dll");
    if (!lib) return false;
    ch->open = reinterpret_cast<ShMemOpenFn>(qm::platform::LibrarySymbol(lib, "ShMemOpen"));
    ch->write = reinterpret_cast<ShMemWriteFn>(qm::platform::LibrarySymbol(lib, "ShMemWrite"));
    ch->read = reinterpret_cast<ShMemReadFn>(qm::platform::LibrarySymbol(lib, "ShMemRead"));
    ch->close = reinterpret_cast<ShMemCloseFn>(qm::platform::LibrarySymbol(lib, "ShMemClose"));
    return ch->open && ch->write && ch->read && ch->close;
}

void SendUpload(const Channel& ch, const char* tempFile) {
    if (std::FILE* f = std::fopen(tempFile, "rb")) {
        char buf[1024];
        std::size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) {
            if (ch.write(2, static_cast<int>(n), buf) != static_cast<int>(n)) break;
        }
        std::fclose(f);
    }
    ch.write(2, 0, "");
}

// Text chunks go out unchanged: on this platform text and binary output are the same bytes.
void CopyAnswer(const Channel& ch, std::FILE* out) {
    char buf[1024];
    for (;;) {
        int mode = 0;
        int n = ch.read(&mode, sizeof buf, buf);
        if (n == 0) break;
        if (n < 0) {
            PutLine(out, "Error: Something error in ShMemRead().");
            PutLine(out, "Error: Error code " + std::to_string(n));
            break;
        }
        if (mode != 1 && mode != 2) {
            PutLine(out, "Error: Illegal data mode " + std::to_string(mode));
            break;
        }
        std::fwrite(buf, 1, static_cast<std::size_t>(n), out);
        std::fflush(out);
    }
}

int Run(std::FILE* out) {
    PutLine(out, "Content-type: text/html");
    PutLine(out, "Pragma: no-cache");
    PutLine(out, "");
    if (!g_request.ReadRequest()) {
        for (const char* line : {"<html>", "<head>", "<title>CGI: CGI R/R test</title>",
                                 "</head>", "<body>", "Qmcgi Error: Failed to get the cgi data.",
                                 "</body>", "</html>"}) {
            PutLine(out, line);
        }
        return 0;
    }
    std::string exe = qm::platform::ExecutablePath();
    auto slash = exe.rfind('/');
    if (exe.empty() || slash == std::string::npos) {
        PutLine(out, "Failed to call the GetModuleFileName API.");
        return 0;
    }
    auto installDir = qm::cgigw::ReadInstallDirectory(exe.substr(0, slash + 1) + "InstallData.txt");
    if (!installDir) {
        PutLine(out, "Cannot open InstallData file.");
        return 0;
    }
    Channel ch;
    if (!Bind(*installDir, &ch)) {
        PutLine(out, "LoadDll ERROR");
        return 0;
    }
    std::string text;
    if (!qm::cgigw::BuildRequestText(g_request, *installDir, &text)) {
        PutLine(out, "CGI Parameter is too long to process this request.");
        return 0;
    }
    std::fflush(out);
    if (ch.open(text.c_str()) != 1) {
        PutLine(out, "ShMemOpen ERROR");
        return 0;
    }
    if (qm::cgi::Contains(g_request.Env(qm::cgi::CgiVar::kContentType), "multipart/form-data")) {
        if (const char* upload = g_request.PartTempFile("postfile")) SendUpload(ch, upload);
    }
    CopyAnswer(ch, out);
    PutLine(out, "");
    PutLine(out, "");
    if (!ch.close()) PutLine(out, "ShMemClose ERROR");
    return 0;
}

}  // namespace

int main() { return Run(stdout); }
