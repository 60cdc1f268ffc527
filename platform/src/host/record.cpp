// The record of the calls that can fail, and the watcher tests put on them.
#include "Record.h"

#include <array>
#include <atomic>
#include <mutex>

namespace simdevice {

namespace {

std::mutex g_recordMutex;
uint64_t g_recording = 0;  // counts the starts; 0: not recording
std::vector<CallRecord> g_record;
std::function<void(const CallRecord &)> g_watcher;
std::array<std::vector<uintptr_t>, platform_calls::kCount> g_lastArguments;  // kept whether recording or not
std::atomic<HHOOK> g_installedHook{nullptr};
thread_local bool t_watching = false;  // the watcher's own calls go unwatched

}  // namespace

internal::RecordTicket internal::RecordCall(const CallRecord &record) {
    RecordTicket ticket;
    std::function<void(const CallRecord &)> watcher;
    {
        std::lock_guard<std::mutex> lock(g_recordMutex);
        g_lastArguments[size_t(record.call)] = record.arguments;
        if (g_recording) {
            ticket = {g_recording, g_record.size()};
            g_record.push_back(record);
        }
        if (!t_watching) watcher = g_watcher;
    }
    if (!watcher) return ticket;
    t_watching = true;
    watcher(record);
    t_watching = false;
    return ticket;
}

// A call that outlives its recording (a restart while it ran) leaves the new one alone.
void internal::RecordResult(RecordTicket ticket, uintptr_t result, DWORD lastError) {
    if (ticket.recording == 0) return;  // not recording: no lock on the key path
    std::lock_guard<std::mutex> lock(g_recordMutex);
    if (ticket.recording != g_recording) return;
    CallRecord &record = g_record[ticket.index];
    record.result = result;
    record.lastError = lastError;
    record.returned = true;
}

void internal::ObserveInstalledHook(HHOOK hook) { g_installedHook = hook; }

// The arguments the last call of CALL was given, or zeros before any.
template <size_t Count>
std::array<uintptr_t, Count> LastArguments(Call call) {
    std::array<uintptr_t, Count> arguments{};
    std::lock_guard<std::mutex> lock(g_recordMutex);
    const std::vector<uintptr_t> &last = g_lastArguments[size_t(call)];
    for (size_t i = 0; i < Count && i < last.size(); ++i) arguments[i] = last[i];
    return arguments;
}

Observed LastObserved() {
    Observed o;
    o.installedHook = g_installedHook;
    o.nextHook = reinterpret_cast<HHOOK>(LastArguments<4>(Call::CallNextHookEx)[0]);
    o.registryAccess = DWORD(LastArguments<5>(Call::RegOpenKeyExW)[3]);
    o.moduleNameCapacity = DWORD(LastArguments<3>(Call::GetModuleFileNameW)[2]);
    o.mutexInitialOwner = BOOL(LastArguments<3>(Call::CreateMutexW)[1]);
    return o;
}

void StartRecording() {
    std::lock_guard<std::mutex> lock(g_recordMutex);
    g_record.clear();
    ++g_recording;
}

std::vector<CallRecord> Recorded() {
    std::lock_guard<std::mutex> lock(g_recordMutex);
    return g_record;
}

std::vector<std::vector<uintptr_t>> RecordedArguments(Call call) {
    std::vector<std::vector<uintptr_t>> arguments;
    for (const CallRecord &record : Recorded())
        if (record.call == call) arguments.push_back(record.arguments);
    return arguments;
}

void WatchCalls(std::function<void(const CallRecord &)> watcher) {
    std::lock_guard<std::mutex> lock(g_recordMutex);
    g_watcher = std::move(watcher);
}

}  // namespace simdevice
