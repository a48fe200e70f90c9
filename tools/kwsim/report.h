// How kwsim reports what it did: one step per request or action, printed for a person or as one
// JSON object per line for scripts.
#pragma once

#include <wdm.h>

#include <nlohmann/json.hpp>

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

namespace kwsim {

struct Step {
    explicit Step(std::string a) : action(std::move(a)) {}
    Step(std::string a, NTSTATUS s) : action(std::move(a)), hasStatus(true), status(s) {}
    Step(std::string a, NTSTATUS s, ULONG_PTR info)
        : action(std::move(a)), hasStatus(true), status(s), hasInformation(true), information(info) {}

    std::string action;   // "AddDevice", "IRP_MN_REMOVE_DEVICE", …
    bool hasStatus = false;
    NTSTATUS status = 0;
    bool hasInformation = false;
    ULONG_PTR information = 0;
    std::vector<std::pair<std::string, std::string>> details;  // shown indented, in order
    // Typed fields for --json (numbers as numbers, tables as arrays of objects), written after
    // the status; the text output shows `details` instead.
    nlohmann::ordered_json fields = nlohmann::ordered_json::object();
    bool failed = false;  // the step did not do what the tour expects
};

class Reporter {
public:
    explicit Reporter(bool json) : json_(json) {}
    void Print(const Step& step);
    void Note(const std::string& text);  // a heading or remark (not in JSON output)
    int Failures() const { return failures_; }

private:
    bool json_;
    int failures_ = 0;
};

}  // namespace kwsim
