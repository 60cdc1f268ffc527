// The device log as people read it.
#include "../internal.h"

#include <cstdio>
#include <sstream>

namespace simdevice {
using namespace internal;

std::string FormatTimeline(const std::vector<LogRecord> &log) {
    std::string out;
    for (const auto &r : log) {
        char head[96];
        std::snprintf(head, sizeof head, "%9.3fs  %-18s %6d  ", r.seconds, r.program.c_str(), int(r.pid));
        std::string line = head + r.event;
        for (const auto &[name, value] : r.fields) {
            std::string shown = value;
            if (name == "text") shown = Escape(value);
            line += "  " + name + "=" + (shown.empty() || shown.find(' ') != std::string::npos ? "\"" + shown + "\"" : shown);
        }
        out += line + "\n";
    }
    return out;
}

std::string Describe(const Resources &r) {
    std::ostringstream s;
    s << "handles:" << r.handles << " subscriptions:" << r.subscriptions << " allocations:" << r.allocations
      << " registry-keys:" << r.registryKeys << " module-references:" << r.moduleReferences << " hooks:" << r.hooks;
    return s.str();
}

}  // namespace simdevice
