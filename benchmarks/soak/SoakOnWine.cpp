// The soak's device under Wine, against the device-shaped x64 files beside
// this program: vespertin.exe (which starts Harrowcastle.exe) and
// kbclient.exe with tallowbeck.dll. The power manager's part goes through
// coredll.dll's subscriber list, the phone status into Wine's registry, the
// keys through SendInput, which reaches every low-level hook. What the
// programs do is read from the fixtures' logs beside them; of what they
// hold, Wine gives each process's handles (its entries in the system's
// handle list) and resident memory.
// benchmarks/soak_wine.sh runs it in a private prefix with an X display:
//   soak_wine.exe --broadcasts N --keys N [--samples]
#include "SoakDevice.h"

#include <windows.h>
#include <psapi.h>

#include "DeviceNames.h"
#include "QueueRules.h"
#include "shared_objects.h"

#include <cstdlib>
#include <cstring>

namespace soak::device {

namespace {

// Bounds a hang; never measures anything.
constexpr DWORD kPatienceMs = 20000;

std::wstring Beside(const wchar_t *name) {
    wchar_t path[MAX_PATH];
    DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    while (length > 0 && path[length - 1] != L'\\') --length;
    return std::wstring(path, length) + name;
}

bool StartsWith(const std::string &text, const std::string &prefix) { return text.rfind(prefix, 0) == 0; }
bool EndsWith(const std::string &text, const std::string &end) {
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// A fixture's log, read onwards as it grows; whole lines only.
class Tail {
public:
    explicit Tail(const wchar_t *name) : path_(Beside(name)) {}
    std::vector<std::string> Lines() {
        if (file_ == INVALID_HANDLE_VALUE)
            file_ = CreateFileW(path_.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        char chunk[16384];
        DWORD n = 0;
        while (file_ != INVALID_HANDLE_VALUE && ReadFile(file_, chunk, sizeof chunk, &n, nullptr) && n > 0)
            partial_.append(chunk, n);
        std::vector<std::string> lines;
        for (size_t end; (end = partial_.find('\n')) != std::string::npos; partial_.erase(0, end + 1))
            lines.push_back(partial_.substr(0, end));
        return lines;
    }

private:
    std::wstring path_;
    HANDLE file_ = INVALID_HANDLE_VALUE;
    std::string partial_;
};

Problems *g_problems = nullptr;
Seen g_seen;
PROCESS_INFORMATION g_daemon = {}, g_client = {};
HANDLE g_clientInput = nullptr;
HANDLE g_logsChanged = INVALID_HANDLE_VALUE;
DWORD g_daemonMask = 0;
Tail *g_lockAppLog = nullptr;
Tail *g_clientLog = nullptr;
HWND g_lockApp = nullptr;
std::vector<HANDLE> g_ending;  // second copies of the lock application, being ended
std::vector<PlayedKey> g_keys;
size_t g_nextKey = 0;

void Note(const std::string &what) { g_problems->Note(what); }

// One lock application runs, the first: a later copy is ended as soon as
// its window is up, as its own guard against a second copy would have it,
// and what follows waits until it is gone. (Asked to close, a Wine process
// takes about two seconds to be gone.)
void TakeLockApp(const std::string &line) {
    if (StartsWith(line, "started ")) {
        ++g_seen.launches;
        ++g_seen.launching;
        if (line.substr(8) != coredll::Utf8(Beside(L"Harrowcastle.exe").c_str()))
            Note("launch " + std::to_string(g_seen.launches) + ": " + line);
    } else if (StartsWith(line, "window ")) {
        --g_seen.launching;
        HWND window = reinterpret_cast<HWND>(std::strtoull(line.c_str() + 7, nullptr, 16));
        if (g_lockApp == nullptr) {
            g_lockApp = window;
        } else {
            DWORD pid = 0;
            GetWindowThreadProcessId(window, &pid);
            HANDLE copy = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid);
            if (copy == nullptr || !TerminateProcess(copy, 0)) Note("could not end a second lock application");
            if (copy != nullptr) g_ending.push_back(copy);
        }
    } else if (StartsWith(line, "repaint ")) {
        ++g_seen.refreshes;
    } else {
        Note("the lock application: " + line);
    }
}

// "KEY down|up: passed on|swallowed (result N)": the chain's verdict, from
// the client's hook in front of the lock's.
void TakeFate(const std::string &line) {
    if (g_nextKey == g_keys.size()) return Note("a verdict nobody pressed for: " + line);
    const PlayedKey &key = g_keys[g_nextKey++];
    const std::string expected = device_names::KeyName(key.vk) + (key.up ? " up: " : " down: ") +
                                 (key.passes ? "passed on" : "swallowed");
    if (StartsWith(line, expected + " (result ")) return;
    ++g_seen.keysOff;
    Note(line + ", the table says " + expected);
}

// The client's answers to its commands, its verdicts and the keys that
// reached its window.
void TakeClient(const std::string &line) {
    if (StartsWith(line, "activate ") || StartsWith(line, "deactivate: ")) {
        ++g_seen.clientAcks;
        if (line.back() != '1') Note("the client: " + line);
    } else if (StartsWith(line, "load: ")) {
        ++g_seen.clientAcks;
        if (StartsWith(line, "load: failed")) Note("the client: " + line);
    } else if (line.find(" down: ") != std::string::npos || line.find(" up: ") != std::string::npos) {
        TakeFate(line);
    } else if (!EndsWith(line, ": reached the window")) {
        Note("the client: " + line);
    }
}

bool EndedAll() {
    while (!g_ending.empty() && WaitForSingleObject(g_ending.back(), 0) == WAIT_OBJECT_0) {
        CloseHandle(g_ending.back());
        g_ending.pop_back();
    }
    return g_ending.empty();
}

bool StartProgram(const wchar_t *name, const wchar_t *arguments, PROCESS_INFORMATION *started, HANDLE input) {
    std::wstring line = L"\"" + Beside(name) + L"\" " + arguments;
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    if (input != nullptr) {
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = input;
        startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
        startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    }
    if (CreateProcessW(Beside(name).c_str(), &line[0], nullptr, nullptr, input != nullptr, 0, nullptr, nullptr, &startup,
                       started))
        return true;
    Note("could not start " + coredll::Utf8(name) + ": error " + std::to_string(GetLastError()));
    return false;
}

bool DaemonSubscribed() {
    coredll::Subscriber subscribers[coredll::kMaxSubscribers];
    if (coredll::ListSubscribers(subscribers) != 1) return false;
    g_daemonMask = subscribers[0].mask;
    return true;
}

// The phone's key in Wine's registry, for the oracle's statuses.
struct WineRegistry {
    static std::wstring Wide(const char *text) { return std::wstring(text, text + std::strlen(text)); }
    void Set(const char *name, DWORD type, const std::string &bytes) const {
        HKEY key = nullptr;
        if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"" DEVICE_PHONE_KEY, 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr) !=
            ERROR_SUCCESS)
            return;
        RegSetValueExW(key, Wide(name).c_str(), 0, type, reinterpret_cast<const BYTE *>(bytes.data()), DWORD(bytes.size()));
        RegCloseKey(key);
    }
    void DeleteValue(const char *name) const {
        HKEY key = nullptr;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"" DEVICE_PHONE_KEY, 0, KEY_WRITE, &key) != ERROR_SUCCESS) return;
        RegDeleteValueW(key, Wide(name).c_str());
        RegCloseKey(key);
    }
    void DeleteKey() const { RegDeleteKeyW(HKEY_LOCAL_MACHINE, L"" DEVICE_PHONE_KEY); }
};

// The handles PROCESS holds, from the system's list of every handle and its
// owner (Wine 8 answers GetProcessHandleCount for another process with 0).
long HandlesOf(HANDLE process) {
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
    const ULONG pid = GetProcessId(process);
    long held = 0;
    for (ULONG i = 0; i < list->count; ++i) held += list->handles[i].ownerPid == pid;
    return held;
}

Holdings Holding(HANDLE process) {
    PROCESS_MEMORY_COUNTERS memory = {};
    memory.cb = sizeof memory;
    const long handles = HandlesOf(process);
    if (handles < 0) return {};
    const bool measured = GetProcessMemoryInfo(process, &memory, sizeof memory) != FALSE;
    return {{{"handles", handles}}, measured ? long(memory.WorkingSetSize / 1024) : -1};
}

}  // namespace

const char *ProgramName() { return "soak_wine"; }

bool Start(Problems &problems) {
    g_problems = &problems;
    g_lockAppLog = new Tail(L"Harrowcastle.log");
    g_clientLog = new Tail(L"kbclient.log");
    g_logsChanged = FindFirstChangeNotificationW(Beside(L"").c_str(), FALSE,
                                                 FILE_NOTIFY_CHANGE_SIZE | FILE_NOTIFY_CHANGE_LAST_WRITE | FILE_NOTIFY_CHANGE_FILE_NAME);
    if (!StartProgram(L"vespertin.exe", L"", &g_daemon, nullptr) || !Until(DaemonSubscribed, "the daemon to subscribe"))
        return false;
    SECURITY_ATTRIBUTES inherited = {sizeof inherited, nullptr, TRUE};
    HANDLE readEnd = nullptr;
    if (!CreatePipe(&readEnd, &g_clientInput, &inherited, 0)) return false;
    SetHandleInformation(g_clientInput, HANDLE_FLAG_INHERIT, 0);
    const bool started = StartProgram(L"kbclient.exe", L"--listen", &g_client, readEnd);
    CloseHandle(readEnd);
    return started && TellClient("load") && TellClient("activate 1");
}

// The rest goes with the prefix (soak_wine.sh ends every process of it).
void End() {
    for (HANDLE h : {g_daemon.hProcess, g_daemon.hThread, g_client.hProcess, g_client.hThread, g_clientInput})
        if (h != nullptr) CloseHandle(h);
}

const Seen &Seeing() {
    g_seen.keysWaiting = long(g_keys.size() - g_nextKey);
    return g_seen;
}

bool Until(const std::function<bool()> &done, const std::string &what) {
    const DWORD start = GetTickCount();
    for (;;) {
        for (const std::string &line : g_lockAppLog->Lines()) TakeLockApp(line);
        for (const std::string &line : g_clientLog->Lines()) TakeClient(line);
        Seeing();
        if (done() && EndedAll()) return true;
        if (GetTickCount() - start > kPatienceMs) {
            Note("nothing for " + std::to_string(kPatienceMs / 1000) + " s while waiting for " + what);
            return false;
        }
        // A hint only: the logs are read again after a few milliseconds at most.
        if (g_logsChanged == INVALID_HANDLE_VALUE) Sleep(1);
        else if (WaitForSingleObject(g_logsChanged, 5) == WAIT_OBJECT_0) FindNextChangeNotification(g_logsChanged);
    }
}

PostResult Post(const Broadcast &b) {
    const std::wstring name(b.named->stateName, b.named->stateName + std::strlen(b.named->stateName));
    DWORD masksWithIt = 0;
    const DWORD reached = coredll::Broadcast(
        b.named->message, queue_rules::BroadcastRecord(b.named->message, b.named->flags, name.c_str(), name.size()),
        &masksWithIt);
    const bool offered = (g_daemonMask & b.named->message) != 0;
    return {long(reached), offered && reached == 0 ? 1L : 0L};
}

namespace {

std::optional<long> DaemonQueued() {
    DWORD queued = 0;
    return coredll::QueuedForSubscriber(g_daemon.dwProcessId, &queued) ? std::optional<long>(queued) : std::nullopt;
}

// SuspendThread returns before the thread has stopped; reading its context
// waits until it has.
void Suspend(HANDLE thread) {
    SuspendThread(thread);
    alignas(16) CONTEXT context = {};
    context.ContextFlags = CONTEXT_CONTROL;
    GetThreadContext(thread, &context);
}

}  // namespace

// Held inside its queue's lock, the daemon would keep the power manager out
// of the queue for the whole burst: it is let go to leave the lock first.
std::optional<long> HoldDaemon() {
    const DWORD start = GetTickCount();
    for (;;) {
        const bool late = GetTickCount() - start > kPatienceMs;
        if (late || DaemonQueued() == 0) {
            Suspend(g_daemon.hThread);
            if (const std::optional<long> queued = DaemonQueued()) return queued;
            ResumeThread(g_daemon.hThread);
            if (late) return std::nullopt;
        }
        Sleep(1);
    }
}

void LetDaemonGo() { ResumeThread(g_daemon.hThread); }

void RefreshesMustReachAWindow(bool) {}  // a refresh is seen only as a repaint the lock application records

void StorePhoneStatus(const keypad_oracle::StatusCase &status) { keypad_oracle::Store(status, WineRegistry{}); }

bool TellClient(const std::string &line) {
    const long before = g_seen.clientAcks;
    const std::string text = line + "\n";
    DWORD written = 0;
    if (!WriteFile(g_clientInput, text.data(), DWORD(text.size()), &written, nullptr) || written != text.size()) {
        Note("the client took no commands");
        return false;
    }
    return Until([&] { return g_seen.clientAcks > before; }, "the client: " + line);
}

bool PressKeys(const std::vector<PlayedKey> &keys) {
    std::vector<INPUT> inputs(keys.size());
    for (size_t i = 0; i < keys.size(); ++i) {
        inputs[i].type = INPUT_KEYBOARD;
        inputs[i].ki.wVk = WORD(keys[i].vk);
        inputs[i].ki.dwFlags = keys[i].up ? KEYEVENTF_KEYUP : 0;
        g_keys.push_back(keys[i]);
    }
    if (SendInput(UINT(inputs.size()), inputs.data(), sizeof(INPUT)) != inputs.size()) Note("SendInput refused a key");
    const bool judged = Until([] { return g_nextKey == g_keys.size(); }, "the client's verdict on a key");
    g_keys.clear();
    g_nextKey = 0;
    return judged;
}

bool SystemKeys() { return false; }
bool ReadsUnterminatedStrings() { return false; }

Holdings DaemonHoldings() { return Holding(g_daemon.hProcess); }
Holdings ClientHoldings() { return Holding(g_client.hProcess); }

long PageKb() {
    SYSTEM_INFO system;
    GetSystemInfo(&system);
    return long(system.dwPageSize / 1024);
}

const char *MemoryNotJudged() { return nullptr; }

bool StopClient() {
    DWORD written = 0;
    if (!TellClient("deactivate") || !WriteFile(g_clientInput, "quit\n", 5, &written, nullptr)) return false;
    DWORD status = 1;
    if (WaitForSingleObject(g_client.hProcess, kPatienceMs) != WAIT_OBJECT_0) Note("the client did not leave");
    if (GetExitCodeProcess(g_client.hProcess, &status) && status == 0) return true;
    Note("the client left with status " + std::to_string(status));
    return false;
}

}  // namespace soak::device

int wmain(int argc, wchar_t **argv) {
    std::vector<std::string> words;
    for (int i = 1; i < argc; ++i) words.push_back(coredll::Utf8(argv[i]));
    return soak::Main(words);
}
