// CSV export of removed log entries.
#include "csv.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>

#include "core.h"
#include "qm/platform/clock.h"
#include "qm/platform/paths.h"
#include "qm/platform/registry.h"
#include "records.h"

namespace qm::ntfdb {

namespace {

constexpr char kSetupKey[] = "Software\\OvrelNet\\OvrelNetQuinsward\\Setup";
constexpr char kMutexName[] = "NtcCsvMutex";

// "%y%m%d" of today's local date.
std::string Today() {
    std::string d = platform::DateText(platform::LocalSeconds());  // "YYYY/MM/DD"
    if (d.size() != 10) return {};
    return d.substr(2, 2) + d.substr(5, 2) + d.substr(8, 2);
}

bool WriteAll(int fd, const std::string& s) {
    size_t done = 0;
    while (done < s.size()) {
        ssize_t n = ::write(fd, s.data() + done, s.size() - done);
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

int64_t CsvLimit(int thousands) {
    if (thousands < 100 || thousands > 180) thousands = 150;
    return static_cast<int64_t>(thousands) * 1000;
}

CsvTarget ResolveCsvTarget() {
    CsvTarget t;
    platform::RegValue install;
    Config c = CurrentConfig();
    int r = platform::RegGetValue(platform::RegRoot::LocalMachine, kSetupKey, "InstallPath", &install);
    if (r != 0 || install.type != platform::kRegSz || install.text.empty()) {
        NTF_ERROR("QNTFDB: InstallPath cannot be read (%d); CSV files go to the current folder", r);
        t.folder = ".";
        t.limit = CsvLimit(c.csvFileSize);
        return t;
    }
    // The CSV settings belong to the installation the registry names.
    Config installed = ReadConfig(install.text);
    t.limit = CsvLimit(installed.csvFileSize);
    std::string folder = platform::ToPosixPath(install.text + "\\" + installed.csvPath);
    if (!platform::MakeDirectories(folder)) {
        NTF_ERROR("QNTFDB: CSV folder %s cannot be made; CSV files go to the current folder",
                  folder.c_str());
        folder = ".";
    }
    t.folder = folder;
    return t;
}

std::string CsvLine(const unsigned char* e) {
    Identity id = Identity::FromRecord(e + logrec::kIdentity);
    char line[1024];
    int n = std::snprintf(
        line, sizeof line, "%d,%s,%s,%s,%s,%s,%d,%d,%d,%d,%d,%d,%d,%d,%s,%d,%d,%s,%s",
        GetInt(e + logrec::kTime), id.Part(0).c_str(), id.Part(1).c_str(), id.Part(2).c_str(),
        id.Part(3).c_str(), id.Part(4).c_str(), GetInt(e + logrec::kKind),
        GetInt(e + logrec::kIndex), GetInt(e + 92), GetInt(e + 96), GetInt(e + 100),
        GetInt(e + 104), GetInt(e + 108), GetInt(e + 112),
        GetText(e + logrec::kDescription, logrec::kDescriptionWidth).c_str(),
        GetInt(e + logrec::kPrinterTime), GetInt(e + logrec::kLevel),
        GetText(e + logrec::kDate, logrec::kTextWidth).c_str(),
        GetText(e + logrec::kTimeText, logrec::kTextWidth).c_str());
    if (n < 0) return {};
    return std::string(line, std::min<size_t>(static_cast<size_t>(n), sizeof line - 1));
}

std::string CsvFileFor(const CsvTarget& target, const std::string& day, size_t lineLength) {
    // The sequence is the largest number after the date digits among today's files.
    long sequence = 0;
    if (DIR* dir = ::opendir(target.folder.c_str())) {
        while (dirent* ent = ::readdir(dir)) {
            std::string name = ent->d_name;
            if (name.size() < day.size() + 4 || name.compare(0, day.size(), day) != 0 ||
                name.compare(name.size() - 4, 4, ".csv") != 0)
                continue;
            const char* digits = name.c_str() + day.size();
            if (!std::isdigit(static_cast<unsigned char>(*digits))) continue;
            long n = std::strtol(digits, nullptr, 10);
            if (n > sequence && n < 1000000) sequence = n;
        }
        ::closedir(dir);
    }
    if (sequence < 1) sequence = 1;
    auto nameOf = [&](long seq) {
        char number[32];
        std::snprintf(number, sizeof number, "%02ld", seq);
        return target.folder + "/" + day + number + ".csv";
    };
    std::string path = nameOf(sequence);
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0 &&
        static_cast<int64_t>(st.st_size) + static_cast<int64_t>(lineLength) + 2 >= target.limit)
        path = nameOf(sequence + 1);
    return path;
}

int CsvLock::Take() {
    if (held_) return 0;
    int r = mutex_.Create(kMutexName);
    if (r != 0 && r != 183) {
        NTF_ERROR("QNTFDB: %s cannot be made: %d", kMutexName, r);
        return -1;
    }
    if (mutex_.Wait() != 0) return -1;
    held_ = true;
    return 0;
}

void CsvLock::Free() {
    if (!held_) return;
    held_ = false;
    mutex_.Release();
    mutex_.Close();
}

int WriteCsvLine(const CsvTarget& target, const std::string& line) {
    CsvLock lock;
    if (lock.Take() != 0) return -1;
    std::string day = Today();
    if (day.empty()) return -1;
    std::string path = CsvFileFor(target, day, line.size());
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) {
        NTF_ERROR("QNTFDB: CSV file %s cannot be opened", path.c_str());
        return -1;
    }
    bool ok = WriteAll(fd, line + "\n");
    if (::close(fd) != 0) ok = false;
    return ok ? 0 : -1;
}

}  // namespace qm::ntfdb
