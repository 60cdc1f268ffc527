// The power manager's part under Wine: posts a power broadcast to every
// subscriber in this Wine prefix whose mask has its kind, without waiting
// (a full queue drops it, as on the device).
//   powermgr post unattended|resume|powerinfo|on|suspend|resuming
//   powermgr post MESSAGE FLAGS
//   powermgr subscribers       prints the number of live subscribers
#include <windows.h>
#include <pm.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>

#include "QueueRules.h"
#include "shared_objects.h"

using namespace coredll;

namespace {

const DWORD kPowerStateUnattended = 0x00400000;  // not in the device SDK's pm.h

struct NamedBroadcast {
    const wchar_t *name;
    DWORD message;
    DWORD flags;
    const wchar_t *stateName;
};

const NamedBroadcast kBroadcasts[] = {
    {L"unattended", PBT_TRANSITION, kPowerStateUnattended, L"unattended"},
    {L"on", PBT_TRANSITION, POWER_STATE_ON, L"on"},
    {L"suspend", PBT_TRANSITION, POWER_STATE_SUSPEND, L"suspend"},
    {L"resuming", PBT_TRANSITION, 0, L"resuming"},
    {L"resume", PBT_RESUME, 0, L""},
    {L"powerinfo", PBT_POWERINFOCHANGE, 0, L""},
};

int Post(DWORD message, DWORD flags, const wchar_t *stateName) {
    const std::string record = queue_rules::BroadcastRecord(message, flags, stateName, wcslen(stateName));
    DWORD total = 0;
    const DWORD delivered = Broadcast(message, record, &total);
    std::wprintf(L"posted 0x%lx 0x%lx to %lu of %lu subscribers\n", message, flags, delivered, total);
    return 0;
}

int Usage() {
    std::fwprintf(stderr, L"usage: powermgr post NAME | post MESSAGE FLAGS | subscribers\n");
    return 2;
}

}  // namespace

int wmain(int argc, wchar_t **argv) {
    if (argc == 2 && wcscmp(argv[1], L"subscribers") == 0) {
        Subscriber subscribers[kMaxSubscribers];
        std::wprintf(L"%lu\n", ListSubscribers(subscribers));
        return 0;
    }
    if (argc == 4 && wcscmp(argv[1], L"post") == 0)
        return Post(DWORD(wcstoul(argv[2], nullptr, 0)), DWORD(wcstoul(argv[3], nullptr, 0)), L"");
    if (argc == 3 && wcscmp(argv[1], L"post") == 0) {
        for (const NamedBroadcast &broadcast : kBroadcasts)
            if (wcscmp(argv[2], broadcast.name) == 0) return Post(broadcast.message, broadcast.flags, broadcast.stateName);
    }
    return Usage();
}
