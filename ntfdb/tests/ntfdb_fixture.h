// A fresh installation root per test with the notification database initialised in it, the
// documented record layouts restated (the store refuses a definition that differs from what
// a file holds), and small helpers for devices, handles and records.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "QBUtil.h"
#include "QNTFDB.h"
#include "qm/testing/testing.h"
#include "qmisam.h"

namespace ntftest {

using Bytes = std::vector<unsigned char>;

inline int32_t Int(const Bytes& r, int at) {
    int32_t v;
    std::memcpy(&v, r.data() + at, 4);
    return v;
}
inline std::string Text(const unsigned char* p, int width) {
    return std::string(reinterpret_cast<const char*>(p), strnlen(reinterpret_cast<const char*>(p), width));
}
inline std::string Text(const Bytes& r, int at, int width) { return Text(r.data() + at, width); }
inline std::string Text(const char* p, int width) { return std::string(p, strnlen(p, width)); }

// The file sets as documented: record length and index segments (blank padding).
struct SetLayout {
    const char* name;
    int length;
    std::vector<std::vector<IsamSegment>> indexes;
};

inline const std::vector<IsamSegment> kIdentitySegs(int at) {
    return {{at, 12, ISAM_SEG_UNSIGNED}, {at + 12, 16, ISAM_SEG_TEXT}, {at + 28, 24, ISAM_SEG_TEXT},
            {at + 52, 16, ISAM_SEG_TEXT}, {at + 68, 8, ISAM_SEG_UNSIGNED}};
}

inline std::vector<IsamSegment> Cat(std::initializer_list<std::vector<IsamSegment>> parts) {
    std::vector<IsamSegment> out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

inline const SetLayout& Layout(const std::string& name) {
    constexpr int U = ISAM_SEG_UNSIGNED, T = ISAM_SEG_TEXT;
    static const std::vector<SetLayout> kSets = {
        {"ntcsys", 28, {{{4, 4, U}}}},
        {"ntcdev", 120, {kIdentitySegs(4)}},
        {"ntcctl", 228,
         {Cat({{{4, 4, U}, {8, 16, T}}, kIdentitySegs(24), {{100, 4, U}, {104, 4, U}}}),
          Cat({{{4, 4, U}}, kIdentitySegs(24), {{100, 4, U}, {8, 16, T}, {104, 4, U}}})}},
        {"ntclog", 404, {Cat({{{4, 4, U}}, kIdentitySegs(8), {{84, 4, U}, {88, 4, U}}})}},
        {"ntcto", 220, {{{4, 16, T}}, {{20, 16, T}, {216, 4, U}}}},
        {"ntchdl", 172, {Cat({{{4, 16, T}}, kIdentitySegs(20)}), Cat({kIdentitySegs(20), {{4, 16, T}}})}},
        {"ntcsts", 376,
         {Cat({{{4, 4, U}}, kIdentitySegs(8), {{84, 4, U}, {88, 4, U}}}),
          Cat({kIdentitySegs(8), {{84, 4, U}, {88, 4, U}, {4, 4, U}}})}},
    };
    for (const auto& s : kSets)
        if (name == s.name) return s;
    throw std::runtime_error("no such file set " + name);
}

// Reads every record of a file set in index 1 order through the store itself.
inline std::vector<Bytes> Records(const std::string& folder, const std::string& name, int index = 1) {
    const SetLayout& l = Layout(name);
    std::vector<IsamIndex> ix;
    for (const auto& segs : l.indexes) {
        int len = 0;
        for (const auto& s : segs) len += s.length;
        ix.push_back({"", len, 0, ' ', static_cast<int>(segs.size()), segs.data()});
    }
    std::string file = folder + "/" + name;
    IsamFileSet def{file.c_str(), -1, l.length, 4096, 0, static_cast<int>(ix.size()), ix.data()};
    std::vector<Bytes> out;
    int r = OPNIFIL(&def);
    EXPECT_EQ(r, 0) << name << " does not open with its documented layout";
    if (r != 0) return out;
    Bytes rec(static_cast<size_t>(l.length));
    for (r = FRSREC(def.dataFileNumber + index, rec.data()); r == 0;
         r = NXTREC(def.dataFileNumber + index, rec.data()))
        out.push_back(rec);
    EXPECT_EQ(r, ISAM_END);
    CLIFIL(&def);
    return out;
}

// A device argument: five identity texts, the record flag and the companion text.
struct Device {
    std::array<std::string, 7> text;
    std::array<const char*, 7> ptr{};
    explicit Device(const std::string& ip, const std::string& flag = "0",
                    const std::string& companion = "", const std::string& type = "10") {
        text = {type, ip, "", "001122334455", "1", flag, companion};
        for (int i = 0; i < 7; ++i) ptr[i] = text[i].c_str();
    }
    const char* const* get() const { return ptr.data(); }
    // The identity as it lies at the start of a send record.
    std::string LaidOut() const {
        std::string s(76, '\0');
        const int at[5] = {0, 12, 28, 52, 68};
        for (int i = 0; i < 5; ++i) std::memcpy(s.data() + at[i], text[i].data(), text[i].size());
        return s;
    }
};

// An alert record text as the monitor sends it.
inline std::string Alert(int time, int kind, int index, int severity, int group, int groupIndex,
                         int code, const std::string& description = "jam", int printerTime = 0) {
    std::ostringstream s;
    s << time << "\n" << kind << "\n" << index << "\n" << severity << "\n" << 3 << "\n" << group
      << "\n" << groupIndex << "\n" << 5 << "\n" << code << "\n" << description << "\n" << printerTime;
    return s.str();
}

struct Notice {
    char bytes[NTFDB_NOTICE_SIZE] = {};
    Notice(const std::string& address, int32_t number, const std::string& text = "receiver") {
        std::memcpy(bytes, address.data(), std::min<size_t>(address.size(), 15));
        std::memcpy(bytes + 16, text.data(), std::min<size_t>(text.size(), 131));
        std::memcpy(bytes + 196, &number, 4);
    }
};

class NtfTest : public ::testing::Test {
protected:
    void SetUp() override {
        QbSetTraceLevel(QB_TRACE_ALL);
        ASSERT_EQ(DBInitialize(root_.path().c_str()), 0);
    }
    void TearDown() override {
        EXPECT_EQ(DBRelease(), 0);
        CLISAM();
        StopHelper();
    }
    std::string Ntf() const { return root_ / "ntf"; }
    std::vector<Bytes> Rows(const std::string& set, int index = 1) const { return Records(Ntf(), set, index); }
    const qm::testing::TempRoot& root() const { return root_; }

    // The test helper answers the trap-registration handshake as "qntpset".
    void InstallHelper() {
        std::string target = qm::testing::BuildBinFolder() + "/ntfdb_test_qntpset";
        ASSERT_EQ(symlink(target.c_str(), (root_ / "bin/qntpset").c_str()), 0);
    }
    std::vector<std::string> HelperLog() const {
        std::vector<std::string> lines;
        std::ifstream in(root_ / "qntpset.log");
        for (std::string l; std::getline(in, l);) lines.push_back(l);
        return lines;
    }
    void StopHelper() {
        std::ifstream in(root_ / "qntpset.pid");
        pid_t pid = 0;
        if (in >> pid && pid > 0) kill(pid, SIGKILL);
    }

private:
    qm::testing::TempRoot root_;
};

}  // namespace ntftest
