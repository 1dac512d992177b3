// A member-list-like file set (unique and duplicate indexes, text and unsigned segments) for the store tests.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "qm/testing/testing.h"
#include "qmisam.h"

namespace isamtest {

constexpr int kRecordLength = 64;

// Record: 0-3 reserved, 4-7 group (unsigned), 8-39 name (text).
inline const IsamSegment kGroupSeg[] = {{4, 4, ISAM_SEG_UNSIGNED}};
inline const IsamSegment kGroupNameSegs[] = {{4, 4, ISAM_SEG_UNSIGNED}, {8, 32, ISAM_SEG_TEXT}};
inline const IsamSegment kNameSeg[] = {{8, 32, ISAM_SEG_TEXT}};
inline const IsamIndex kIndexes[] = {
    {"T1.idx", 8, 1, 0, 1, kGroupSeg},
    {"T2.idx", 36, 0, 0, 2, kGroupNameSegs},
    {"T3.idx", 36, 1, 0, 1, kNameSeg},
};

inline IsamFileSet Definition(const char* name = "..\\conf\\TESTSET") {
    return IsamFileSet{name, -1, kRecordLength, 4096, 0, 3, kIndexes};
}

struct Rec {
    unsigned char bytes[kRecordLength] = {};
    Rec() = default;
    Rec(uint32_t group, const std::string& name) {
        std::memcpy(bytes + 4, &group, 4);
        std::memcpy(bytes + 8, name.data(), std::min<size_t>(name.size(), 31));
    }
    uint32_t group() const {
        uint32_t g;
        std::memcpy(&g, bytes + 4, 4);
        return g;
    }
    std::string name() const { return std::string(reinterpret_cast<const char*>(bytes + 8)); }
};

// A key for index `k` (1-based within the set) in comparable form.
inline std::string Key(int dataFile, int k, uint32_t group, const std::string& name) {
    unsigned char key[40] = {};
    if (k == 1) {
        std::memcpy(key, &group, 4);
    } else if (k == 2) {
        std::memcpy(key, &group, 4);
        std::memcpy(key + 4, name.data(), std::min<size_t>(name.size(), 31));
    } else {
        std::memcpy(key, name.data(), std::min<size_t>(name.size(), 31));
    }
    TFRMKEY(dataFile + k, key);
    return std::string(reinterpret_cast<char*>(key), sizeof key);
}

// A temporary root whose bin/ is the current folder, so "..\\conf\\" lands in its conf/.
struct Root {
    qm::testing::TempRoot root;
    std::string previous;
    Root() {
        char buf[4096];
        previous = getcwd(buf, sizeof buf) ? buf : "/";
        if (chdir((root / "bin").c_str()) != 0) std::abort();
    }
    ~Root() {
        if (chdir(previous.c_str()) != 0) std::abort();
    }
    std::string conf(const std::string& file) const { return root / ("conf/" + file); }
};

}  // namespace isamtest
