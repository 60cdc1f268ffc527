// The device log as people read it: numbers the platform gives names to are
// shown with their names beside them.
#include <simdevice/device.h>

#include "Log.h"

#include <pm.h>
#include <winreg.h>

#include "DeviceFacts.h"

#include <cstdio>
#include <cstdlib>
#include <sstream>

namespace simdevice {
using namespace internal;

namespace {

struct Named {
    DWORD value;
    const char *name;
};

const Named kBroadcastKinds[] = {
    {PBT_TRANSITION, "PBT_TRANSITION"},       {PBT_RESUME, "PBT_RESUME"},
    {PBT_POWERSTATUSCHANGE, "PBT_POWERSTATUSCHANGE"}, {PBT_POWERINFOCHANGE, "PBT_POWERINFOCHANGE"},
    {PBT_SUSPENDKEYPRESSED, "PBT_SUSPENDKEYPRESSED"}, {PBT_OEMBASE, "PBT_OEMBASE"},
};

const Named kPowerStates[] = {
    {POWER_STATE_ON, "POWER_STATE_ON"},           {POWER_STATE_OFF, "POWER_STATE_OFF"},
    {POWER_STATE_CRITICAL, "POWER_STATE_CRITICAL"}, {POWER_STATE_BOOT, "POWER_STATE_BOOT"},
    {POWER_STATE_IDLE, "POWER_STATE_IDLE"},       {POWER_STATE_SUSPEND, "POWER_STATE_SUSPEND"},
    {device_facts::kPowerStateUnattended, "POWER_STATE_UNATTENDED"},
    {POWER_STATE_RESET, "POWER_STATE_RESET"},     {device_facts::kPowerStateUserIdle, "POWER_STATE_USERIDLE"},
    {device_facts::kPowerStateBacklightOn, "POWER_STATE_BACKLIGHTON"}, {POWER_STATE_PASSWORD, "POWER_STATE_PASSWORD"},
};

const Named kValueTypes[] = {{REG_NONE, "REG_NONE"},     {REG_SZ, "REG_SZ"},       {REG_EXPAND_SZ, "REG_EXPAND_SZ"},
                             {REG_BINARY, "REG_BINARY"}, {REG_DWORD, "REG_DWORD"}, {REG_MULTI_SZ, "REG_MULTI_SZ"}};

constexpr DWORD kDeviceLaunchRecordBytes = 60;

template <size_t N>
std::string OneOf(DWORD value, const Named (&names)[N]) {
    for (const Named &n : names)
        if (n.value == value) return n.name;
    return "";
}

// The names of the set bits, joined by '|'; unknown bits in hexadecimal.
template <size_t N>
std::string BitsOf(DWORD value, const Named (&names)[N]) {
    std::string out;
    for (const Named &n : names) {
        if ((value & n.value) == 0) continue;
        out += (out.empty() ? "" : "|") + std::string(n.name);
        value &= ~n.value;
    }
    if (value != 0) {
        char rest[16];
        std::snprintf(rest, sizeof rest, "0x%x", value);
        out += (out.empty() ? "" : "|") + std::string(rest);
    }
    return out;
}

// The name a field's number has, for the fields that carry one; empty when
// there is none.
std::string NameOf(const std::string &event, const std::string &field, const std::string &value) {
    char *end = nullptr;
    const unsigned long number = std::strtoul(value.c_str(), &end, 0);
    if (value.empty() || *end != '\0') return "";
    const DWORD word = DWORD(number);
    const auto is = [&](timeline::Event e) { return event == timeline::Name(e); };
    if (is(timeline::Event::PowerBroadcast) && (field == "message" || field == "kind"))
        return OneOf(word, kBroadcastKinds);
    if (is(timeline::Event::PowerBroadcast) && field == "flags") return BitsOf(word, kPowerStates);
    if (is(timeline::Event::PowerSubscribed) && field == "mask") return BitsOf(word, kBroadcastKinds);
    if (is(timeline::Event::RegistrySet) && field == "type") return OneOf(word, kValueTypes);
    if (is(timeline::Event::ShellExecute) && field == "cbSize" && word != kDeviceLaunchRecordBytes)
        return "this host's record; the device's is 60 bytes";
    return "";
}

std::string Shown(const std::string &value) {
    return value.empty() || value.find(' ') != std::string::npos ? "\"" + value + "\"" : value;
}

}  // namespace

std::string FormatTimeline(const std::vector<LogRecord> &log) {
    std::string out;
    for (const auto &r : log) {
        char head[96];
        std::snprintf(head, sizeof head, "%9.3fs  %-18s %6d  ", r.seconds, r.program.c_str(), int(r.pid));
        std::string line = head + r.event;
        for (const auto &[name, value] : r.fields) {
            line += "  " + name + "=" + Shown(name == "text" ? Escape(value) : value);
            const std::string named = NameOf(r.event, name, value);
            if (!named.empty()) line += " (" + named + ")";
        }
        out += line + "\n";
    }
    return out;
}

std::string Describe(const Resources &r) {
    std::ostringstream s;
    s << "kernel-objects:" << r.kernelObjects << " subscriptions:" << r.subscriptions << " allocations:" << r.allocations
      << " registry-keys:" << r.registryKeys << " module-references:" << r.moduleReferences << " hooks:" << r.hooks;
    return s.str();
}

}  // namespace simdevice
