// The programs of a run under Wine: desktop processes started beside this
// one, held by suspending their main thread, measured by their handles in
// the system's list and their working set, typed at through SendInput.
// What they record is RecordsOnWine.cpp's.
#include "device/DesktopCalls.h"
#include "device/Programs.h"

#include <psapi.h>

#include "shared_objects.h"

#include <map>

namespace device {

namespace {

struct Started {
    PROCESS_INFORMATION process = {};
    HANDLE input = nullptr;  // the write end of its input, when it has one
};
std::map<DWORD, Started> g_started;
std::map<DWORD, HANDLE> g_ending;  // ended, not yet gone

std::wstring CommandLine(const std::wstring &path, const std::vector<std::string> &arguments) {
    std::wstring line = L"\"" + path + L"\"";
    for (const std::string &argument : arguments) line += L" \"" + Wide(argument) + L"\"";
    return line;
}

// SuspendThread returns before the thread has stopped; reading its context
// waits until it has.
void Suspend(HANDLE thread) {
    SuspendThread(thread);
    alignas(16) CONTEXT context = {};
    context.ContextFlags = CONTEXT_CONTROL;
    GetThreadContext(thread, &context);
}

// The handles PROCESS holds, from the system's list of every handle and its
// owner (Wine 8 answers GetProcessHandleCount for another process with 0).
long HandlesOf(DWORD process) {
    struct Entry {  // SYSTEM_HANDLE_ENTRY
        ULONG ownerPid;
        BYTE objectType, flags;
        USHORT value;
        PVOID object;
        ULONG access;
    };
    struct List {  // SYSTEM_HANDLE_INFORMATION
        ULONG count;
        Entry handles[1];
    };
    typedef LONG(WINAPI * QueryProc)(ULONG, PVOID, ULONG, PULONG);
    const ULONG kSystemHandleInformation = 16;
    const LONG kInfoLengthMismatch = LONG(0xC0000004);
    static const auto query = reinterpret_cast<QueryProc>(
        reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
    if (query == nullptr) return -1;
    std::vector<BYTE> buffer(1 << 20);
    LONG status;
    while ((status = query(kSystemHandleInformation, buffer.data(), ULONG(buffer.size()), nullptr)) == kInfoLengthMismatch &&
           buffer.size() < (1u << 28))
        buffer.resize(buffer.size() * 2);
    if (status != 0) return -1;
    const List *list = reinterpret_cast<const List *>(buffer.data());
    long held = 0;
    for (ULONG i = 0; i < list->count; ++i) held += list->handles[i].ownerPid == process;
    return held;
}

}  // namespace

std::string ToolFile(const std::string &tool) { return tool + ".exe"; }

DWORD StartProgram(const std::string &file, const std::vector<std::string> &arguments, bool withInput,
                   std::string &why) {
    const std::wstring path = ProgramDir() + Wide(file);
    std::wstring line = CommandLine(path, arguments);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    Started started;
    HANDLE readEnd = nullptr;
    if (withInput) {
        SECURITY_ATTRIBUTES inherited = {sizeof inherited, nullptr, TRUE};
        if (!CreatePipe(&readEnd, &started.input, &inherited, 0)) {
            why = "no pipe for " + file + "'s input: error " + std::to_string(GetLastError());
            return 0;
        }
        SetHandleInformation(started.input, HANDLE_FLAG_INHERIT, 0);
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = readEnd;
        startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
        startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    }
    const BOOL created = CreateProcessW(path.c_str(), &line[0], nullptr, nullptr, withInput, 0, nullptr, nullptr,
                                        &startup, &started.process);
    const DWORD error = GetLastError();
    if (readEnd != nullptr) CloseHandle(readEnd);
    if (!created) {
        if (started.input != nullptr) CloseHandle(started.input);
        why = "cannot start " + coredll::Utf8(path.c_str()) + ": error " + std::to_string(error);
        return 0;
    }
    g_started[started.process.dwProcessId] = started;
    return started.process.dwProcessId;
}

bool SendLine(DWORD process, const std::string &line) {
    const auto it = g_started.find(process);
    if (it == g_started.end() || it->second.input == nullptr) return false;
    const std::string text = line + "\n";
    DWORD written = 0;
    return WriteFile(it->second.input, text.data(), DWORD(text.size()), &written, nullptr) && written == text.size();
}

void CloseInput(DWORD process) {
    const auto it = g_started.find(process);
    if (it == g_started.end() || it->second.input == nullptr) return;
    CloseHandle(it->second.input);
    it->second.input = nullptr;
}

std::optional<int> WaitForExit(DWORD process, Patience patience) {
    const auto it = g_started.find(process);
    DWORD status = 0;
    if (it == g_started.end() || WaitForSingleObject(it->second.process.hProcess, DWORD(patience.count())) != WAIT_OBJECT_0 ||
        !GetExitCodeProcess(it->second.process.hProcess, &status))
        return std::nullopt;
    return int(status);
}

// Asked to close, a Wine process takes about two seconds to be gone: Gone
// tells, and the handle kept meanwhile is closed then.
bool EndProgram(DWORD process) {
    HANDLE handle = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, process);
    if (handle == nullptr) return false;
    if (!TerminateProcess(handle, 0)) {
        CloseHandle(handle);
        return false;
    }
    g_ending[process] = handle;
    return true;
}

bool Gone(DWORD process) {
    const auto it = g_ending.find(process);
    if (it == g_ending.end()) {
        HANDLE handle = OpenProcess(SYNCHRONIZE, FALSE, process);
        const bool gone = handle == nullptr || WaitForSingleObject(handle, 0) == WAIT_OBJECT_0;
        if (handle != nullptr) CloseHandle(handle);
        return gone;
    }
    if (WaitForSingleObject(it->second, 0) != WAIT_OBJECT_0) return false;
    CloseHandle(it->second);
    g_ending.erase(it);
    return true;
}

// Held inside its queue's lock, the program would keep the power manager
// out of the queue for the whole burst: it is let go to leave the lock
// first, and held again once its queue reads.
std::optional<int> HoldWhenDrained(DWORD process, Patience patience) {
    const auto it = g_started.find(process);
    if (it == g_started.end()) return std::nullopt;
    HANDLE thread = it->second.process.hThread;
    const DWORD start = GetTickCount();
    for (;;) {
        const bool late = GetTickCount() - start > DWORD(patience.count());
        if (late || QueuedFor(process) == 0) {
            Suspend(thread);
            if (const std::optional<int> queued = QueuedFor(process)) return queued;
            ResumeThread(thread);
            if (late) return std::nullopt;
        }
        Sleep(1);
    }
}

void LetGo(DWORD process) {
    const auto it = g_started.find(process);
    if (it != g_started.end()) ResumeThread(it->second.process.hThread);
}

// Wine keeps no account of a process's device resources: its handles stand
// for them.
std::optional<Holdings> HoldingsOf(DWORD process, std::optional<Patience>) {
    const auto it = g_started.find(process);
    if (it == g_started.end()) return std::nullopt;
    const long handles = HandlesOf(process);
    if (handles < 0) return std::nullopt;
    PROCESS_MEMORY_COUNTERS memory = {};
    memory.cb = sizeof memory;
    const bool measured = GetProcessMemoryInfo(it->second.process.hProcess, &memory, sizeof memory) != FALSE;
    return Holdings{{{"handles", handles}}, measured ? long(memory.WorkingSetSize / 1024) : -1};
}

long PageKb() {
    SYSTEM_INFO system;
    GetSystemInfo(&system);
    return long(system.dwPageSize / 1024);
}

const char *ResidentMemoryNotJudged() { return nullptr; }

bool TypeKeys(const std::vector<KeyEvent> &events) {
    std::vector<INPUT> inputs(events.size());
    for (size_t i = 0; i < events.size(); ++i) {
        if (events[i].message != WM_KEYDOWN && events[i].message != WM_KEYUP) return false;
        inputs[i].type = INPUT_KEYBOARD;
        inputs[i].ki.wVk = WORD(events[i].vk);
        inputs[i].ki.dwFlags = events[i].message == WM_KEYUP ? KEYEVENTF_KEYUP : 0;
    }
    return SendInput(UINT(inputs.size()), inputs.data(), sizeof(INPUT)) == inputs.size();
}

bool MakesSystemKeys() { return false; }
bool ReadsUnterminatedStrings() { return false; }

// The programs still running go with the run; their handles with them.
void EndStartedPrograms() {
    for (auto &[id, started] : g_started) {
        if (WaitForSingleObject(started.process.hProcess, 0) != WAIT_OBJECT_0) TerminateProcess(started.process.hProcess, 1);
        for (HANDLE handle : {started.input, started.process.hThread, started.process.hProcess})
            if (handle != nullptr) CloseHandle(handle);
    }
    g_started.clear();
    for (auto &[id, handle] : g_ending) CloseHandle(handle);
    g_ending.clear();
}

}  // namespace device
