// Runs the administration program in this process against a temporary installation root.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "qm/testing/testing.h"

namespace qm::admin::testing {

struct Response {
    std::string text;
    std::vector<std::string> lines;
    bool HasLine(const std::string& line) const;
    bool Contains(const std::string& part) const { return text.find(part) != std::string::npos; }
    // Index of the first line equal to `line`, or -1.
    int Find(const std::string& line) const;
};

using Env = std::map<std::string, std::string>;

class AdminTest : public ::testing::Test {
protected:
    AdminTest();
    // A request from the server's own host with the administrator's credentials.
    Env Request(const std::string& method, const std::string& query) const;
    Response Run(const Env& env, const std::string& body = "") const;
    Response Get(const std::string& query) const { return Run(Request("GET", query)); }
    Response Post(const std::string& body, const std::string& query = "") const;
    std::string Reg(const std::string& name) const;
    void SetReg(const std::string& name, const std::string& value) const;
    void DeleteReg(const std::string& name) const;

    qm::testing::TempRoot root_;
    std::string credentials_;  // "Basic ..." of admin:secret
};

std::string Slurp(const std::string& path);

}  // namespace qm::admin::testing
