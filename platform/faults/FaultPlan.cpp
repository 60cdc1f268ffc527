#include "FaultPlan.h"

#include "Numbers.h"

#include <set>
#include <stdexcept>

namespace fault_plan {

namespace {

const std::set<std::string> &FaultableCalls() {
    static const std::set<std::string> calls(std::begin(platform_calls::kNames), std::end(platform_calls::kNames));
    return calls;
}

// The only call whose plans may name an argument, and the only one a path
// can be reported for.
const char kArgumentCall[] = "GetProcAddressW";
const char kPathCall[] = "GetModuleFileNameW";

[[noreturn]] void Refuse(const std::string &plan, const std::string &why) {
    throw std::invalid_argument("fault '" + plan + "': " + why);
}

using Number = std::optional<uint64_t>;
Number Whole(const std::string &text, uint64_t most) { return numbers::WholeNumber(text, most); }

uint64_t CallNumber(const std::string &plan, const std::string &text) {
    if (text == "*") return 0;
    auto number = Whole(text, UINT32_MAX);
    if (!number || *number == 0) Refuse(plan, "call number '" + text + "' is not a number from 1 up, or *");
    return *number;
}

Fault ParseFault(const std::string &plan, const std::string &text) {
    const size_t colon = text.find(':');
    const std::string verb = text.substr(0, colon);
    const std::string operand = colon == std::string::npos ? "" : text.substr(colon + 1);
    if (verb != "fail" && verb != "return" && verb != "path")
        Refuse(plan, "unknown verb '" + verb + "' (fail:ERROR, return:VALUE or path:TEXT)");
    if (colon == std::string::npos || operand.empty()) Refuse(plan, verb + ": needs a value");
    Fault fault;
    if (verb == "path") {
        fault.verb = Fault::kPath;
        fault.path = operand;
    } else if (verb == "fail") {
        auto error = Whole(operand, UINT32_MAX);
        if (!error) Refuse(plan, "error '" + operand + "' is not a 32-bit number");
        fault.verb = Fault::kFail;
        fault.error = uint32_t(*error);
    } else {
        auto value = Whole(operand, UINT64_MAX);
        if (!value) Refuse(plan, "value '" + operand + "' is not a number");
        fault.verb = Fault::kReturn;
        fault.value = *value;
    }
    return fault;
}

// Splits CALL[:ARGUMENT] into PLAN and checks that the platform has such a
// call, and that what the plan asks of it can happen.
void Target(const std::string &shown, const std::string &text, Plan &plan) {
    std::string call = text;
    if (size_t colon = call.find(':'); colon != std::string::npos) {
        plan.argument = call.substr(colon + 1);
        call.resize(colon);
        if (call != kArgumentCall) Refuse(shown, std::string("only ") + kArgumentCall + " takes an argument");
        if (plan.argument.empty()) Refuse(shown, "empty argument after ':'");
    }
    if (call.empty()) Refuse(shown, "no call named");
    if (!IsFaultable(call)) Refuse(shown, "'" + call + "' is not a platform call that can fail");
    if (plan.fault.verb == Fault::kPath && call != kPathCall)
        Refuse(shown, std::string("path: is only for ") + kPathCall);
    plan.call = call;
}

Plan ParsePlan(const std::string &text) {
    const size_t equals = text.find('=');
    if (equals == std::string::npos) Refuse(text, "expected CALL[@N]=fail:ERROR|return:VALUE|path:TEXT");
    std::string target = text.substr(0, equals);
    Plan plan;
    if (size_t at = target.find('@'); at != std::string::npos) {
        plan.callNumber = CallNumber(text, target.substr(at + 1));
        target.resize(at);
    }
    plan.fault = ParseFault(text, text.substr(equals + 1));
    Target(text, target, plan);
    return plan;
}

std::string Key(const std::string &call, const std::string &argument) {
    return argument.empty() ? call : call + ":" + argument;
}

}  // namespace

bool IsFaultable(const std::string &call) { return !call.empty() && FaultableCalls().count(call) != 0; }

std::vector<Plan> Parse(const std::string &plans) {
    std::vector<Plan> parsed;
    size_t start = 0;
    for (;;) {
        const size_t end = plans.find(';', start);
        const std::string one = plans.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (!one.empty()) parsed.push_back(ParsePlan(one));
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return parsed;
}

Plan MakePlan(const std::string &call, uint64_t callNumber, const Fault &fault) {
    Plan plan;
    plan.callNumber = callNumber;
    plan.fault = fault;
    Target(call, call, plan);
    return plan;
}

void Table::Add(const std::vector<Plan> &plans) {
    for (Plan plan : plans) {
        const std::string key = Key(plan.call, plan.argument);
        if (plan.callNumber != 0) plan.callNumber += Calls(key);
        plans_.emplace_back(key, plan);
    }
}

std::optional<Fault> Table::TakeFor(const std::string &key, uint64_t number) {
    for (auto it = plans_.begin(); it != plans_.end(); ++it) {
        if (it->first != key || (it->second.callNumber != 0 && it->second.callNumber != number)) continue;
        Fault fault = it->second.fault;
        if (it->second.callNumber != 0) plans_.erase(it);
        return fault;
    }
    return std::nullopt;
}

std::optional<Fault> Table::Take(Call identity, const std::string &argument) {
    const std::string call = platform_calls::Name(identity);
    const uint64_t number = ++calls_[call];
    if (!argument.empty()) {
        const std::string key = Key(call, argument);
        if (auto fault = TakeFor(key, ++calls_[key])) return fault;
    }
    return TakeFor(call, number);
}

uint64_t Table::Calls(const std::string &key) const {
    auto it = calls_.find(key);
    return it == calls_.end() ? 0 : it->second;
}

}  // namespace fault_plan
