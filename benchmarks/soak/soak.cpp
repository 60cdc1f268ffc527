// soak: the daemon and the keypad lock under long load, on a fresh simulated
// device. The real vespertin.exe watches power broadcasts, with the lock
// application running; a client (kbclient) has the real tallowbeck.dll
// loaded and judges the device keyboard's keys. This program plays the
// power manager, the radio stack and the person at the keys:
//   soak --broadcasts N --keys N [--samples]
// It samples both processes' counts (read from outside while they run) and
// resident memory at the start and every 10%, checks each key's fate against
// the decision table and each unattended transition against a launch record,
// then floods the daemon, and prints a one-line summary (SoakPlan.h says
// what passes).
#include <simdevice/device.h>

#include "DeviceNames.h"
#include "SoakPlan.h"

#include <shellapi.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace {

using soak::Action;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

// Bounds a hang; never measures anything.
constexpr std::chrono::milliseconds kPatience{10000};
// Key presses in flight at once: fewer than the device keyboard holds.
constexpr int kKeysInFlight = 8;

// What went wrong besides the counts: the first few, and how many in all.
class Problems {
public:
    void Note(const std::string &what) {
        if (++count_ <= 4) said_ += (said_.empty() ? "" : "; ") + what;
    }
    long Count() const { return count_; }
    std::string Said() const { return count_ > 4 ? said_ + "; and " + std::to_string(count_ - 4) + " more" : said_; }

private:
    long count_ = 0;
    std::string said_;
};

struct PlayedKey {
    DWORD vk;
    WPARAM message;
    bool passes;
};

// The device's log, read onwards as it grows, and what it says the daemon,
// the lock applications and the client did.
class Watch {
public:
    explicit Watch(Problems &problems) : problems_(problems) {}

    pid_t daemon = -1, client = -1;
    std::string lockAppPath;    // the file the daemon must start
    bool strictRefresh = true;  // a refresh must reach a window (not in the flood, where lock applications come and go)
    long launches = 0, refreshes = 0, clientAcks = 0, keysOff = 0;
    std::set<pid_t> launching;  // started by the daemon, window not yet made
    std::deque<PlayedKey> keys; // pressed, fate not yet seen
    std::optional<simdevice::LogRecord> clientExit;

    // Reads on until DONE holds; false (and noted) when the device stayed
    // silent for too long.
    bool Until(const std::function<bool()> &done, const std::string &what) {
        for (;;) {
            for (const auto &record : simdevice::ReadLogFrom(offset_)) Take(record);
            if (done()) return true;
            if (!simdevice::WaitForLogPast(offset_, kPatience)) {
                problems_.Note("nothing for " + std::to_string(kPatience.count() / 1000) + " s while waiting for " + what);
                return false;
            }
        }
    }

private:
    void Take(const simdevice::LogRecord &r) {
        if (r.pid == daemon && r.event == "shellexecute") TakeLaunch(r);
        else if (r.pid == daemon && r.event == "updatewindow") TakeRefresh(r);
        else if (r.event == "lockapp-started") TakeLockApp(r.pid);
        else if (r.pid == client && r.event == "key") TakeFate(r);
        else if (r.pid == client && (r.event == "client-activate" || r.event == "client-deactivate" || r.event == "client-load"))
            clientAcks += r.Field("result") == "1" || r.Field("result") == "loaded";
        else if (r.pid == client && r.event == "exit") clientExit = r;
    }

    // Every launch record as the launcher makes it: the lock application
    // beside the daemon, with the verb "open" and nothing else.
    void TakeLaunch(const simdevice::LogRecord &r) {
        ++launches;
        const std::pair<const char *, std::string> fields[] = {
            {"result", "started"}, {"file", "\"" + lockAppPath + "\""}, {"verb", "\"open\""},
            {"parameters", "\"\""}, {"directory", "\"\""}, {"nShow", "0"}, {"fMask", "0"}, {"hwnd", "0"},
            {"cbSize", std::to_string(sizeof(SHELLEXECUTEINFO))}};
        for (const auto &[name, value] : fields)
            if (r.Field(name) != value) problems_.Note("launch " + std::to_string(launches) + ": " + name + "=" + r.Field(name));
        const pid_t child = pid_t(std::atoi(r.Field("child").c_str()));
        // Its window may come before the daemon has written the record.
        if (r.Field("result") == "started" && startedFirst_.erase(child) == 0) launching.insert(child);
    }

    void TakeRefresh(const simdevice::LogRecord &r) {
        ++refreshes;
        if (strictRefresh && r.Field("result") != "requested")
            problems_.Note("refresh " + std::to_string(refreshes) + " reached no window");
    }

    // One lock application runs, the first: a later copy goes as soon as it
    // is up, as a lock application's own guard against a second copy would
    // have it. (The first keeps the lowest window, the one a refresh finds.)
    void TakeLockApp(pid_t started) {
        if (launching.erase(started) == 0) startedFirst_.insert(started);
        if (lockApp_ < 0) {
            lockApp_ = started;
            return;
        }
        simdevice::Log("stopped", {{"pid", std::to_string(started)}, {"by", "soak"}});
        kill(started, SIGKILL);
    }

    void TakeFate(const simdevice::LogRecord &r) {
        if (keys.empty()) {
            problems_.Note("a key fate nobody pressed for");
            return;
        }
        const PlayedKey key = keys.front();
        keys.pop_front();
        const bool asPlayed = r.Field("key") == device_names::KeyName(key.vk) &&
                              r.Field("message") == device_names::KeyMessageName(key.message);
        const std::string fate = key.passes ? "passed on" : "swallowed";
        if (!asPlayed || r.Field("fate") != fate || r.Field("result") != (key.passes ? "0" : "-1")) {
            ++keysOff;
            problems_.Note(device_names::KeyName(key.vk) + " " + device_names::KeyMessageName(key.message) + ": " +
                           r.Field("key") + " " + r.Field("fate") + " (result " + r.Field("result") + "), the table says " + fate);
        }
    }

    Problems &problems_;
    uint64_t offset_ = 0;
    pid_t lockApp_ = -1;
    std::set<pid_t> startedFirst_;
};

long ResidentKb(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
    return -1;
}

soak::Holdings Holding(pid_t pid, const simdevice::Resources &r) {
    return {{{"handles", r.handles},
             {"subscriptions", r.subscriptions},
             {"allocations", r.allocations},
             {"registry-keys", r.registryKeys},
             {"module-references", r.moduleReferences},
             {"hooks", r.hooks}},
            ResidentKb(pid)};
}

double Since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

class Soak {
public:
    Soak(const soak::Counts &counts, const std::string &binDir)
        : counts_(counts), binDir_(binDir), watch_(problems_), keys_(soak::kKeysPerStatus, true),
          warmUpKeys_(soak::kWarmUpKeysPerStatus, true) {}

    int Run() {
        if (!Start() || !WarmUp()) return Finish();
        // What the warm-up played is not the run's.
        broadcastsPlayed_ = unattended_ = 0;
        flood_ = soak::FloodCounts();
        launchesBefore_ = watch_.launches;
        const auto first = Sample("start");
        if (!first) return Finish();
        samples_.push_back(*first);
        for (int tenth = 1; tenth <= 10; ++tenth) {
            const long broadcasts = Share(counts_.broadcasts, tenth), keys = Share(counts_.keys, tenth);
            auto start = Clock::now();
            if (!PlayBroadcasts(broadcasts - broadcastsPlayed_)) return Finish();
            broadcastSeconds_ += Since(start);
            start = Clock::now();
            if (!PlayKeys(keys_, keysPlayed_, keys - keysPlayed_) || !SetClient(soak::kHome)) return Finish();
            keySeconds_ += Since(start);
            keysPlayed_ = keys;
            const auto sample = Sample(std::to_string(tenth * 10) + "%");
            if (!sample) return Finish();
            samples_.push_back(*sample);
        }
        const auto start = Clock::now();
        if (!Flood(std::max(1L, counts_.broadcasts / 10))) return Finish();
        floodSeconds_ = Since(start);
        const auto sample = Sample("after the flood");
        if (sample) samples_.push_back(*sample);
        StopClient();
        return Finish();
    }

private:
    static long Share(long total, int tenth) { return long((long long)total * tenth / 10); }

    bool Start() {
        watch_.lockAppPath = binDir_ + "/Harrowcastle.exe";
        simdevice::StartOptions quiet;
        quiet.detach = true;
        watch_.daemon = simdevice::StartProgram(binDir_ + "/vespertin.exe", quiet).pid;
        simdevice::StartOptions listening = quiet;
        listening.args = {"--listen"};
        listening.captureStdin = true;
        const auto client = simdevice::StartProgram(binDir_ + "/kbclient", listening);
        watch_.client = client.pid;
        clientInput_ = client.stdinFd;
        if (watch_.daemon <= 0 || watch_.client <= 0) {
            problems_.Note("could not start the daemon and the client from " + binDir_);
            return false;
        }
        return watch_.Until([] { return simdevice::LivePowerSubscriptions() == 1; }, "the daemon to subscribe") &&
               Tell("load\n", 1) && SetClient(soak::kHome);
    }

    // One of everything before the first sample, so that no first use of a
    // path (a launch, a status of every kind, every client state, a full
    // queue) counts as growth.
    bool WarmUp() {
        long groups = 0;
        while (groups < 7) {
            if (!PlayBroadcasts(1)) return false;
            groups += lastEndedGroup_;
        }
        return PlayKeys(warmUpKeys_, 0, soak::WarmUpKeys()) && SetClient(soak::kHome) && Flood(soak::kFloodBurst * 2);
    }

    // A line to the client, and the wait for its acknowledgement.
    bool Tell(const std::string &line, long acks) {
        const long before = watch_.clientAcks;
        if (write(clientInput_, line.data(), line.size()) != ssize_t(line.size())) {
            problems_.Note("the client took no commands");
            return false;
        }
        return watch_.Until([&] { return watch_.clientAcks >= before + acks; }, "the client: " + line.substr(0, line.size() - 1));
    }

    bool SetClient(soak::ClientState state) {
        if (clientState_ && *clientState_ == state) return true;
        if (!(state.active ? Tell("activate " + std::to_string(state.mode) + "\n", 1) : Tell("deactivate\n", 1))) return false;
        clientState_ = state;
        return true;
    }

    // Posts one broadcast; what it came to, and the action now due.
    simdevice::BroadcastResult Post(const soak::Broadcast &b) {
        const auto result =
            simdevice::PostPowerBroadcast(b.named->message, b.named->flags, simdevice::Utf8ToUtf16(b.named->stateName));
        if (result.delivered > 0) {
            launchesDue_ += b.action == Action::kLaunch;
            refreshesDue_ += b.action == Action::kRefresh;
        }
        return result;
    }

    bool ActionsDone(const std::string &what) {
        return watch_.Until(
            [&] { return watch_.launches >= launchesDue_ && watch_.refreshes >= refreshesDue_ && watch_.launching.empty(); },
            what);
    }

    // Group by group, each in the queue at once and acted on before the
    // next: nothing is dropped.
    bool PlayBroadcasts(long count) {
        for (long played = 0; played < count;) {
            bool ended = false;
            while (!ended && played < count) {
                const auto [broadcast, last] = stream_.Next();
                const auto result = Post(broadcast);
                const int offered = broadcast.action == Action::kNotOffered ? 0 : 1;
                if (result.delivered != offered || result.dropped != 0)
                    problems_.Note("a paced " + std::string(broadcast.named->name) + " came to " +
                                   std::to_string(result.delivered) + " delivered, " + std::to_string(result.dropped) + " dropped");
                unattended_ += broadcast.action == Action::kLaunch;
                ended = last;
                ++played;
            }
            lastEndedGroup_ = ended;
            if (!ActionsDone("the daemon's action on a group of broadcasts")) return false;
        }
        broadcastsPlayed_ += count;
        return true;
    }

    bool PlayKeys(const soak::KeySchedule &schedule, long first, long count) {
        for (long n = first; n < first + count;) {
            if (n == first || schedule.ChangesBefore(n)) {
                if (!SetClient(schedule.Client(n))) return false;
                keypad_oracle::StoreOnDevice(schedule.Status(n));
            }
            for (int inFlight = 0; inFlight < kKeysInFlight && n < first + count; ++inFlight, ++n) {
                const soak::KeyEvent key = schedule.Key(n);
                const WPARAM message = key.system ? (key.up ? WM_SYSKEYUP : WM_SYSKEYDOWN) : (key.up ? WM_KEYUP : WM_KEYDOWN);
                watch_.keys.push_back({key.vk, message, schedule.Passes(n)});
                simdevice::PressKey(device_names::MakeKeyEvent(key.vk, message));
                if (schedule.ChangesBefore(n + 1)) {
                    ++n;
                    break;
                }
            }
            if (!watch_.Until([&] { return watch_.keys.empty(); }, "the client's fate of a key")) return false;
        }
        return true;
    }

    void Hold(bool still) {
        kill(watch_.daemon, still ? SIGSTOP : SIGCONT);
        int status = 0;
        if (still) waitpid(watch_.daemon, &status, WUNTRACED);
    }

    // Bursts posted without waiting, each led by an unattended transition;
    // every other one while the daemon is held still, so that the queue
    // surely fills. Before each, the daemon is at rest: its queue is empty.
    bool Flood(long count) {
        watch_.strictRefresh = false;
        for (long posted = 0, burst = 0; posted < count; ++burst) {
            if (!simdevice::ProgramResources(watch_.daemon, kPatience)) {
                problems_.Note("the daemon did not come to rest before a burst");
                return false;
            }
            const bool held = burst % 2 == 0;
            if (held) Hold(true);
            bool full = false, asTheDeviceDoes = true;
            long delivered = 0;
            for (int i = 0; i < soak::kFloodBurst && posted < count; ++i, ++posted) {
                const soak::Broadcast broadcast = i == 0 ? soak::Named("unattended") : stream_.Next().first;
                const auto result = Post(broadcast);
                flood_.posted++;
                if (broadcast.action == Action::kNotOffered) continue;
                flood_.offered++;
                flood_.delivered += result.delivered;
                flood_.dropped += result.dropped;
                delivered += result.delivered;
                if (result.delivered > 0 && broadcast.action != Action::kNothing) flood_.due++;
                if (result.delivered > 0 && broadcast.action == Action::kLaunch) flood_.unattendedDelivered++;
                // Held still, the queue takes what fits and then nothing.
                asTheDeviceDoes = asTheDeviceDoes && result.delivered + result.dropped == 1 && !(full && result.delivered);
                full = full || result.dropped > 0;
            }
            if (held) {
                Hold(false);
                flood_.heldBursts++;
                flood_.heldBurstsAsTheDeviceDoes += asTheDeviceDoes && (!full || delivered == soak::kDaemonQueueDepth);
            }
            const long launches = watch_.launches, refreshes = watch_.refreshes;
            if (!ActionsDone("the daemon's actions on a burst")) return false;
            flood_.launches += watch_.launches - launches;
            flood_.actedOn += watch_.launches - launches + watch_.refreshes - refreshes;
        }
        watch_.strictRefresh = true;
        return true;
    }

    std::optional<soak::Sample> Sample(const std::string &when) {
        const auto daemon = simdevice::ProgramResources(watch_.daemon, kPatience);
        const auto client = simdevice::ProgramResources(watch_.client);
        if (!daemon || !client) {
            problems_.Note("no counts from the daemon or the client at " + when);
            return std::nullopt;
        }
        soak::Sample sample{when, Holding(watch_.daemon, *daemon), Holding(watch_.client, *client)};
        if (counts_.samples)
            std::printf("%s: daemon %s; client %s\n", when.c_str(), soak::Shown(sample.daemon).c_str(),
                        soak::Shown(sample.client).c_str());
        return sample;
    }

    // The client lets go of the lock and the library, and leaves: its exit
    // record must show nothing held.
    void StopClient() {
        if (!Tell("deactivate\n", 1) || !Tell("unload\n", 0)) return;
        close(clientInput_);
        clientInput_ = -1;
        if (!watch_.Until([&] { return watch_.clientExit.has_value(); }, "the client to leave")) return;
        if (watch_.clientExit->Field("resources") != simdevice::Describe(simdevice::Resources{}))
            problems_.Note("the client left holding " + watch_.clientExit->Field("resources"));
        simdevice::WaitProgram(watch_.client, kPatience);
    }

    int Finish() {
        if (clientInput_ >= 0) close(clientInput_);
        const bool complete = samples_.size() == 12;
        if (watch_.launches != launchesDue_)
            problems_.Note(std::to_string(watch_.launches) + " launches for " + std::to_string(launchesDue_) + " unattended transitions delivered");
        if (watch_.refreshes != refreshesDue_)
            problems_.Note(std::to_string(watch_.refreshes) + " refreshes for " + std::to_string(refreshesDue_) + " due");
        if (flood_.delivered + flood_.dropped != flood_.offered || flood_.actedOn != flood_.due)
            problems_.Note("the flood's counts do not add up");
        if (flood_.heldBursts != flood_.heldBurstsAsTheDeviceDoes)
            problems_.Note(std::to_string(flood_.heldBursts - flood_.heldBurstsAsTheDeviceDoes) + " held bursts not taken as the device takes them");
        if (!complete) problems_.Note("the run did not complete");

        std::string said;
        bool kept = complete;
        if (complete) {
            const long pageKb = sysconf(_SC_PAGESIZE) / 1024;
            said += "; ";
            kept = soak::Judge("daemon", samples_.front().daemon, samples_.back().daemon,
                               counts_.broadcasts + flood_.posted, pageKb, said) && kept;
            said += "; ";
            kept = soak::Judge("client", samples_.front().client, samples_.back().client, counts_.keys, pageKb, said) && kept;
        }
        const bool passed = kept && problems_.Count() == 0 && watch_.keysOff == 0;
        std::printf("soak: %s: %ld broadcasts (%s each), %ld keys (%s each), %s; %ld unattended transitions, %ld launches; "
                    "flood of %ld: %ld delivered + %ld dropped of %ld offered, %ld acted on of %ld due (%ld launches), "
                    "%ld of %ld held bursts filled the queue and dropped the rest (%s each)%s%s%s\n",
                    passed ? "passed" : "FAILED", counts_.broadcasts, soak::Microseconds(broadcastSeconds_, counts_.broadcasts).c_str(),
                    counts_.keys, soak::Microseconds(keySeconds_, counts_.keys).c_str(),
                    watch_.keysOff == 0 ? "every fate as the decision table gives it"
                                        : (std::to_string(watch_.keysOff) + " fates NOT as the table gives them").c_str(),
                    unattended_, watch_.launches - launchesBefore_ - flood_.launches, flood_.posted, flood_.delivered, flood_.dropped,
                    flood_.offered, flood_.actedOn, flood_.due, flood_.launches, flood_.heldBurstsAsTheDeviceDoes,
                    flood_.heldBursts, soak::Microseconds(floodSeconds_, flood_.posted).c_str(), said.c_str(),
                    problems_.Count() ? "; problems: " : "", problems_.Said().c_str());
        return passed ? soak::kPassed : soak::kFailed;
    }

    soak::Counts counts_;
    std::string binDir_;
    Problems problems_;
    Watch watch_;
    soak::KeySchedule keys_, warmUpKeys_;
    soak::BroadcastStream stream_;
    std::optional<soak::ClientState> clientState_;
    int clientInput_ = -1;
    std::vector<soak::Sample> samples_;
    long broadcastsPlayed_ = 0, keysPlayed_ = 0, unattended_ = 0, launchesDue_ = 0, refreshesDue_ = 0, launchesBefore_ = 0;
    bool lastEndedGroup_ = false;
    double broadcastSeconds_ = 0, keySeconds_ = 0, floodSeconds_ = 0;
    soak::FloodCounts flood_;
};

}  // namespace

int main(int argc, char **argv) {
    soak::Counts counts;
    try {
        counts = soak::ReadCounts(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const std::invalid_argument &error) {
        std::fprintf(stderr, "soak: %s\n", error.what());
        return soak::kBadInput;
    }
    if (counts.help) {
        std::fputs(soak::kUsage, stdout);
        return 0;
    }
    const char *tmp = std::getenv("TMPDIR");
    std::string dir = std::string(tmp && *tmp ? tmp : "/tmp") + "/simdevice-soak-XXXXXX";
    if (!mkdtemp(dir.data())) {
        std::perror("soak: mkdtemp");
        return soak::kFailed;
    }
    simdevice::ResetDevice(dir);
    std::error_code error;
    const std::string binDir = fs::canonical(fs::path(argv[0]).parent_path(), error).string();
    const int status = Soak(counts, binDir).Run();
    simdevice::DestroyDevice(dir);
    return status;
}
