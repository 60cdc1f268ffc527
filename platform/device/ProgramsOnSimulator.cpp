// The programs of a run on the simulated device: started, held and ended as
// the host's processes they are, measured through the device's accounting
// (read from outside while they run) and /proc, and read back from the
// device's log as it grows.
#include "device/Programs.h"

#include <simdevice/device.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <thread>

namespace device {

namespace {

std::map<DWORD, int> g_inputs;  // the write end of each started program's input
uint64_t g_logRead = 0;

pid_t Pid(DWORD process) { return pid_t(process); }

// Counted from the page tables (smaps_rollup): the kernel's running count
// behind VmRSS is kept per CPU and read approximately, and drifts by pages.
long ResidentKb(pid_t pid) {
    std::ifstream rollup("/proc/" + std::to_string(pid) + "/smaps_rollup");
    for (std::string line; std::getline(rollup, line);)
        if (line.rfind("Rss:", 0) == 0) return std::atol(line.c_str() + 4);
    return -1;
}

// The state letter in /proc/PID/stat, after the name in parentheses; 0
// when the process is no more.
char ProcessState(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    std::getline(stat, text);
    const size_t name = text.rfind(") ");
    return name == std::string::npos || name + 2 >= text.size() ? 0 : text[name + 2];
}

}  // namespace

std::string ToolFile(const std::string &tool) { return tool; }

DWORD StartProgram(const std::string &file, const std::vector<std::string> &arguments, bool withInput,
                   std::string &why) {
    simdevice::StartOptions options;
    options.args = arguments;
    options.captureStdin = withInput;
    options.detach = true;
    const std::string path = simdevice::Utf16ToUtf8(ProgramDir()) + file;
    const simdevice::StartedProgram started = simdevice::StartProgram(path, options);
    if (started.pid <= 0) {
        why = path + ": " + std::strerror(started.error);
        return 0;
    }
    if (withInput) g_inputs[DWORD(started.pid)] = started.stdinFd;
    return DWORD(started.pid);
}

bool SendLine(DWORD process, const std::string &line) {
    const auto input = g_inputs.find(process);
    const std::string text = line + "\n";
    return input != g_inputs.end() && write(input->second, text.data(), text.size()) == ssize_t(text.size());
}

void CloseInput(DWORD process) {
    const auto input = g_inputs.find(process);
    if (input == g_inputs.end()) return;
    close(input->second);
    g_inputs.erase(input);
}

std::optional<int> WaitForExit(DWORD process, Patience patience) {
    bool timedOut = false;
    const int status = simdevice::WaitProgram(Pid(process), patience, &timedOut);
    return timedOut ? std::nullopt : std::optional<int>(status);
}

bool EndProgram(DWORD process) {
    simdevice::Log(timeline::Event::Stopped, {{"pid", std::to_string(process)}});
    return kill(Pid(process), SIGKILL) == 0;
}

// A killed child of another program stays a zombie until that one reaps it:
// it is gone all the same.
bool Gone(DWORD process) {
    const char state = ProcessState(Pid(process));
    return state == 0 || state == 'Z' || state == 'X';
}

// Stopped, it takes nothing from its queues, whatever it was doing.
std::optional<int> HoldWhenDrained(DWORD process, Patience patience) {
    const auto deadline = std::chrono::steady_clock::now() + patience;
    // A look at the queue's depth between short sleeps, not a measurement.
    while (simdevice::QueuedBroadcasts(Pid(process)) != 0u && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    kill(Pid(process), SIGSTOP);
    int status = 0;
    waitpid(Pid(process), &status, WUNTRACED);
    const std::optional<size_t> queued = simdevice::QueuedBroadcasts(Pid(process));
    if (queued) return int(*queued);
    LetGo(process);
    return std::nullopt;
}

void LetGo(DWORD process) { kill(Pid(process), SIGCONT); }

std::optional<Holdings> HoldingsOf(DWORD process, std::optional<Patience> whenWaiting) {
    const std::optional<simdevice::Resources> r = simdevice::ProgramResources(Pid(process), whenWaiting);
    if (!r) return std::nullopt;
    return Holdings{{{"kernel-objects", r->kernelObjects},
                     {"subscriptions", r->subscriptions},
                     {"allocations", r->allocations},
                     {"registry-keys", r->registryKeys},
                     {"module-references", r->moduleReferences},
                     {"hooks", r->hooks}},
                    ResidentKb(Pid(process))};
}

long PageKb() { return sysconf(_SC_PAGESIZE) / 1024; }

// Emulated, a program's resident memory is the emulator's, with its
// translated code.
const char *ResidentMemoryNotJudged() {
    const char *emulator = std::getenv(simdevice::kEmulatorVariable);
    return emulator && emulator[std::strspn(emulator, " ")] ? "under an emulator" : nullptr;
}

bool TypeKeys(const std::vector<KeyEvent> &events) {
    for (const KeyEvent &event : events) simdevice::PressKey(simdevice::MakeKeyEvent(event.vk, event.message));
    return true;
}

bool MakesSystemKeys() { return true; }
bool ReadsUnterminatedStrings() { return true; }

bool RecordsPlatformCalls() { return true; }

std::vector<Happening> NewHappenings() {
    std::vector<Happening> happenings;
    for (simdevice::LogRecord &record : simdevice::ReadLogFrom(g_logRead)) {
        const std::optional<timeline::Event> event = timeline::EventNamed(record.event);
        if (event) happenings.push_back({DWORD(record.pid), record.program, *event, std::move(record.fields)});
    }
    return happenings;
}

void AwaitHappenings(Patience most) { simdevice::WaitForLogPast(g_logRead, most); }

// The device's removal ends its programs; their input goes here.
void EndStartedPrograms() {
    for (const auto &[process, input] : g_inputs) close(input);
    g_inputs.clear();
    g_logRead = 0;
}

}  // namespace device
