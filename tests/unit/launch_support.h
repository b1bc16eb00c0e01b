// Helpers shared by the target resolution and child launch tests.
#ifndef TARNELO_TEST_LAUNCH_SUPPORT_H
#define TARNELO_TEST_LAUNCH_SUPPORT_H

#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace launch_support {

// Sets (or, with NULL, removes) an environment variable of this process and
// puts the old value back on destruction.
class ScopedVariable {
public:
    ScopedVariable(const char* name, const char* value) : name_(name) {
        char old[32768];
        DWORD length = GetEnvironmentVariableA(name, old, sizeof old);
        had_ = length != 0 || GetLastError() != ERROR_ENVVAR_NOT_FOUND;
        if (had_) old_.assign(old, length < sizeof old ? length : 0);
        SetEnvironmentVariableA(name, value);
    }
    ~ScopedVariable() { SetEnvironmentVariableA(name_.c_str(), had_ ? old_.c_str() : NULL); }
    ScopedVariable(const ScopedVariable&) = delete;
    ScopedVariable& operator=(const ScopedVariable&) = delete;

private:
    std::string name_;
    std::string old_;
    bool had_ = false;
};

// The platform's own spelling of a path (no "..", as a child sees it).
inline std::string FullPath(const std::string& path) {
    char full[MAX_PATH];
    DWORD length = GetFullPathNameA(path.c_str(), sizeof full, full, NULL);
    return std::string(full, length < sizeof full ? length : 0);
}

// A report for a system error code: the lines are exact up to the
// platform's text, whose wording is the platform's business.
inline void ExpectSystemReport(const std::string& report, const std::string& message, DWORD code) {
    char number[64];
    wsprintfA(number, "%lu (0x%lX) ", code, code);
    const std::string head = "Fatal error: " + message + "\r\nSystem error number: " + number + "\r\nSystem error text: ";
    ASSERT_EQ(head, report.substr(0, head.size())) << "whole report: " << report;
    const std::string text = report.substr(head.size());
    ASSERT_GE(text.size(), 3u) << "no platform text in: " << report;
    EXPECT_EQ("\r\n", text.substr(text.size() - 2)) << report;
    EXPECT_EQ(std::string::npos, text.find("Fatal error")) << "a second report: " << report;
}

}  // namespace launch_support

#endif
