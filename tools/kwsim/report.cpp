#include "report.h"

#include "kernel/model.h"

#include <nlohmann/json.hpp>

#include <iostream>

namespace kwsim {

void Reporter::Print(const Step& step) {
    if (step.failed) ++failures_;
    if (json_) {
        nlohmann::ordered_json j;
        j["step"] = step.action;
        if (step.hasStatus) {
            std::string name = sim::StatusName(step.status);
            j["status"] = name.substr(0, name.find(' '));
            j["statusValue"] = static_cast<uint32_t>(step.status);
        }
        if (step.hasInformation) j["information"] = step.information;
        for (const auto& [k, v] : step.fields.items()) j[k] = v;
        bool unique = true;
        for (size_t i = 0; i < step.details.size() && unique; ++i) {
            for (size_t k = 0; k < i; ++k) unique = unique && step.details[k].first != step.details[i].first;
        }
        if (unique) {
            for (const auto& [k, v] : step.details) {
                if (!j.contains(k)) j[k] = v;
            }
        } else {
            j["details"] = nlohmann::ordered_json::array();
            for (const auto& [k, v] : step.details) j["details"].push_back({k, v});
        }
        j["ok"] = !step.failed;
        std::cout << j.dump() << "\n";
        return;
    }
    std::cout << (step.failed ? "!! " : "   ") << step.action;
    if (step.hasStatus) std::cout << " -> " << sim::StatusName(step.status);
    if (step.hasInformation) std::cout << ", Information " << step.information;
    std::cout << "\n";
    for (const auto& [k, v] : step.details) std::cout << "        " << k << ": " << v << "\n";
}

void Reporter::Note(const std::string& text) {
    if (!json_) std::cout << "\n== " << text << "\n";
}

}  // namespace kwsim
