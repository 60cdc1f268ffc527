// The record of the calls that can fail, and the watcher tests put on them.
// Nothing is locked while no test records or watches: every key through the
// lock calls CallNextHookEx, on the platform's input path.
#include "Record.h"

#include <atomic>
#include <mutex>

namespace simdevice {

namespace {

std::mutex g_recordMutex;
uint64_t g_recording = 0;  // counts the starts; 0: not recording
std::vector<CallRecord> g_record;
std::function<void(const CallRecord &)> g_watcher;
// Whether a recording or a watcher wants the calls; set under the mutex.
std::atomic<bool> g_wanted{false};
thread_local bool t_watching = false;  // the watcher's own calls go unwatched

void UpdateWantedLocked() { g_wanted = g_recording != 0 || bool(g_watcher); }

}  // namespace

bool internal::CallsWanted() { return g_wanted.load(std::memory_order_relaxed); }

internal::RecordTicket internal::RecordCall(const CallRecord &record) {
    RecordTicket ticket;
    std::function<void(const CallRecord &)> watcher;
    {
        std::lock_guard<std::mutex> lock(g_recordMutex);
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
    if (ticket.recording == 0) return;  // not recorded
    std::lock_guard<std::mutex> lock(g_recordMutex);
    if (ticket.recording != g_recording) return;
    CallRecord &record = g_record[ticket.index];
    record.result = result;
    record.lastError = lastError;
    record.returned = true;
}

void StartRecording() {
    std::lock_guard<std::mutex> lock(g_recordMutex);
    g_record.clear();
    ++g_recording;
    UpdateWantedLocked();
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

std::optional<CallRecord> LastRecorded(Call call) {
    std::lock_guard<std::mutex> lock(g_recordMutex);
    for (auto it = g_record.rbegin(); it != g_record.rend(); ++it)
        if (it->call == call) return *it;
    return std::nullopt;
}

void WatchCalls(std::function<void(const CallRecord &)> watcher) {
    std::lock_guard<std::mutex> lock(g_recordMutex);
    g_watcher = std::move(watcher);
    UpdateWantedLocked();
}

}  // namespace simdevice
