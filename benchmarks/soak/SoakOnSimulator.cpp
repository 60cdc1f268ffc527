// The soak's device, played on a fresh simulated device: the real
// vespertin.exe, the lock application it starts (Harrowcastle.exe), and
// kbclient with the real tallowbeck.dll, all found beside this program.
// What they do is read from the device's log as it grows; their counts from
// outside while they run (ProgramResources), their memory from /proc.
//   soak --broadcasts N --keys N [--samples]
#include "SoakDevice.h"

#include <simdevice/device.h>

#include "DeviceNames.h"

#include <shellapi.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <set>
#include <thread>

namespace soak::device {

namespace {

// Bounds a hang; never measures anything.
constexpr std::chrono::milliseconds kPatience{10000};

std::string g_binDir;  // where this program and those it runs are
std::string g_deviceDir;
Problems *g_problems = nullptr;
Seen g_seen;
pid_t g_daemon = -1, g_client = -1, g_lockApp = -1;
int g_clientInput = -1;
uint64_t g_logRead = 0;
bool g_strictRefresh = true;
std::set<pid_t> g_launching;     // started by the daemon, window not yet made
std::set<pid_t> g_startedFirst;  // window made before the daemon wrote the launch
std::deque<PlayedKey> g_keys;    // pressed, fate not yet seen
std::optional<simdevice::LogRecord> g_clientExit;

void Note(const std::string &what) { g_problems->Note(what); }

// Every launch record as the launcher makes it: the lock application
// beside the daemon, with the verb "open" and nothing else.
void TakeLaunch(const simdevice::LogRecord &r) {
    ++g_seen.launches;
    const std::pair<const char *, std::string> fields[] = {
        {"result", "started"}, {"file", "\"" + g_binDir + "/Harrowcastle.exe\""}, {"verb", "\"open\""},
        {"parameters", "\"\""}, {"directory", "\"\""}, {"nShow", "0"}, {"fMask", "0"}, {"hwnd", "0"},
        {"cbSize", std::to_string(sizeof(SHELLEXECUTEINFO))}};
    for (const auto &[name, value] : fields)
        if (r.Field(name) != value) Note("launch " + std::to_string(g_seen.launches) + ": " + name + "=" + r.Field(name));
    const pid_t child = pid_t(std::atoi(r.Field("child").c_str()));
    if (r.Field("result") == "started" && g_startedFirst.erase(child) == 0) g_launching.insert(child);
}

void TakeRefresh(const simdevice::LogRecord &r) {
    ++g_seen.refreshes;
    if (g_strictRefresh && r.Field("result") != "requested")
        Note("refresh " + std::to_string(g_seen.refreshes) + " reached no window");
}

// One lock application runs, the first: a later copy goes as soon as it is
// up, as a lock application's own guard against a second copy would have
// it. (The first keeps the lowest window, the one a refresh finds.)
void TakeLockApp(pid_t started) {
    if (g_launching.erase(started) == 0) g_startedFirst.insert(started);
    if (g_lockApp < 0) {
        g_lockApp = started;
        return;
    }
    simdevice::Log(timeline::Event::Stopped, {{"pid", std::to_string(started)}, {"by", "soak"}});
    kill(started, SIGKILL);
}

WPARAM Message(const PlayedKey &key) {
    return key.system ? (key.up ? WM_SYSKEYUP : WM_SYSKEYDOWN) : (key.up ? WM_KEYUP : WM_KEYDOWN);
}

void TakeFate(const simdevice::LogRecord &r) {
    if (g_keys.empty()) return Note("a key fate nobody pressed for");
    const PlayedKey key = g_keys.front();
    g_keys.pop_front();
    const std::string played = device_names::KeyName(key.vk) + " " + device_names::KeyMessageName(Message(key));
    const std::string fate = key.passes ? "passed on" : "swallowed";
    if (r.Field("key") + " " + r.Field("message") != played || r.Field("fate") != fate ||
        r.Field("result") != (key.passes ? "0" : "-1")) {
        ++g_seen.keysOff;
        Note(played + ": " + r.Field("fate") + " (result " + r.Field("result") + "), the table says " + fate);
    }
}

void TakeAck(const simdevice::LogRecord &r) {
    ++g_seen.clientAcks;
    if (r.Field("result") != "1" && r.Field("result") != "loaded") Note("the client's " + r.event + ": " + r.Field("result"));
}

void Take(const simdevice::LogRecord &r) {
    if (r.pid == g_daemon && r.event == "shellexecute") TakeLaunch(r);
    else if (r.pid == g_daemon && r.event == "updatewindow") TakeRefresh(r);
    else if (r.event == "lockapp-started") TakeLockApp(r.pid);
    else if (r.pid == g_client && r.event == "key") TakeFate(r);
    else if (r.pid == g_client && r.event.rfind("client-", 0) == 0) TakeAck(r);
    else if (r.pid == g_client && r.event == "exit") g_clientExit = r;
}

// Counted from the page tables (smaps_rollup): the kernel's running count
// behind VmRSS is kept per CPU and read approximately, and drifts by pages.
long ResidentKb(pid_t pid) {
    std::ifstream rollup("/proc/" + std::to_string(pid) + "/smaps_rollup");
    for (std::string line; std::getline(rollup, line);)
        if (line.rfind("Rss:", 0) == 0) return std::atol(line.c_str() + 4);
    return -1;
}

Holdings Holding(pid_t pid, const std::optional<simdevice::Resources> &r) {
    if (!r) return {};
    return {{{"kernel-objects", r->kernelObjects},
             {"subscriptions", r->subscriptions},
             {"allocations", r->allocations},
             {"registry-keys", r->registryKeys},
             {"module-references", r->moduleReferences},
             {"hooks", r->hooks}},
            ResidentKb(pid)};
}

}  // namespace

const char *ProgramName() { return "soak"; }

bool Start(Problems &problems) {
    g_problems = &problems;
    const char *tmp = std::getenv("TMPDIR");
    g_deviceDir = std::string(tmp && *tmp ? tmp : "/tmp") + "/simdevice-soak-XXXXXX";
    if (!mkdtemp(g_deviceDir.data())) {
        g_deviceDir.clear();
        Note("no scratch directory for the device");
        return false;
    }
    simdevice::ResetDevice(g_deviceDir);
    simdevice::StartOptions quiet;
    quiet.detach = true;
    g_daemon = simdevice::StartProgram(g_binDir + "/vespertin.exe", quiet).pid;
    simdevice::StartOptions listening = quiet;
    listening.args = {"--listen"};
    listening.captureStdin = true;
    const simdevice::StartedProgram client = simdevice::StartProgram(g_binDir + "/kbclient", listening);
    g_client = client.pid;
    g_clientInput = client.stdinFd;
    if (g_daemon <= 0 || g_client <= 0) {
        Note("could not start the daemon and the client from " + g_binDir);
        return false;
    }
    return Until([] { return simdevice::LivePowerSubscriptions() == 1; }, "the daemon to subscribe") &&
           TellClient("load") && TellClient("activate 1");
}

void End() {
    if (g_clientInput >= 0) close(g_clientInput);
    if (!g_deviceDir.empty()) simdevice::DestroyDevice(g_deviceDir);
}

const Seen &Seeing() {
    g_seen.keysWaiting = long(g_keys.size());
    g_seen.launching = long(g_launching.size());
    return g_seen;
}

bool Until(const std::function<bool()> &done, const std::string &what) {
    for (;;) {
        for (const auto &record : simdevice::ReadLogFrom(g_logRead)) Take(record);
        Seeing();
        if (done()) return true;
        if (!simdevice::WaitForLogPast(g_logRead, kPatience)) {
            Note("nothing for " + std::to_string(kPatience.count() / 1000) + " s while waiting for " + what);
            return false;
        }
    }
}

PostResult Post(const Broadcast &b) {
    const auto result =
        simdevice::PostPowerBroadcast(b.named->message, b.named->flags, simdevice::Utf8ToUtf16(b.named->stateName));
    return {result.delivered, result.dropped};
}

// Whether the daemon sits in its wait adds nothing here: stopped, it takes
// nothing from its queue, whatever it was doing.
std::optional<long> HoldDaemon() {
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    // A look at the queue's depth between short sleeps, not a measurement.
    while (simdevice::QueuedBroadcasts(g_daemon) != 0u && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    kill(g_daemon, SIGSTOP);
    int status = 0;
    waitpid(g_daemon, &status, WUNTRACED);
    const std::optional<size_t> queued = simdevice::QueuedBroadcasts(g_daemon);
    return queued ? std::optional<long>(long(*queued)) : std::nullopt;
}

void LetDaemonGo() { kill(g_daemon, SIGCONT); }

void RefreshesMustReachAWindow(bool must) { g_strictRefresh = must; }

void StorePhoneStatus(const keypad_oracle::StatusCase &status) { keypad_oracle::StoreOnDevice(status); }

bool TellClient(const std::string &line) {
    const long before = g_seen.clientAcks;
    const std::string text = line + "\n";
    if (write(g_clientInput, text.data(), text.size()) != ssize_t(text.size())) {
        Note("the client took no commands");
        return false;
    }
    return Until([&] { return g_seen.clientAcks > before; }, "the client: " + line);
}

bool PressKeys(const std::vector<PlayedKey> &keys) {
    for (const PlayedKey &key : keys) {
        g_keys.push_back(key);
        simdevice::PressKey(simdevice::MakeKeyEvent(key.vk, Message(key)));
    }
    return Until([] { return g_keys.empty(); }, "the client's fate of a key");
}

bool SystemKeys() { return true; }
bool ReadsUnterminatedStrings() { return true; }

Holdings DaemonHoldings() { return Holding(g_daemon, simdevice::ProgramResources(g_daemon, kPatience)); }

// The client is at rest once every fate is in: it logs a fate after the probe.
Holdings ClientHoldings() { return Holding(g_client, simdevice::ProgramResources(g_client)); }

long PageKb() { return sysconf(_SC_PAGESIZE) / 1024; }

// Emulated, a program's resident memory is the emulator's, with its
// translated code.
const char *MemoryNotJudged() {
    const char *emulator = std::getenv(simdevice::kEmulatorVariable);
    return emulator && emulator[strspn(emulator, " ")] ? "under an emulator" : nullptr;
}

bool StopClient() {
    if (!TellClient("deactivate") || !TellClient("unload")) return false;
    close(g_clientInput);
    g_clientInput = -1;
    if (!Until([] { return g_clientExit.has_value(); }, "the client to leave")) return false;
    simdevice::WaitProgram(g_client, kPatience);
    const std::string left = g_clientExit->Field("resources");
    if (left == simdevice::Describe(simdevice::Resources{})) return true;
    Note("the client left holding " + left);
    return false;
}

}  // namespace soak::device

int main(int argc, char **argv) {
    std::error_code ignored;
    soak::device::g_binDir = std::filesystem::canonical(std::filesystem::path(argv[0]).parent_path(), ignored).string();
    return soak::Main(std::vector<std::string>(argv + 1, argv + argc));
}
