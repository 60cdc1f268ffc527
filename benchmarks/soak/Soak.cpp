// The soak, on whichever stand-in the device seam is built for (soak on the
// simulated device, soak_wine.exe under Wine): a warm-up of one of
// everything, then ten rounds of broadcasts (group by group, each acted on
// before the next) and keys (a few in flight, the phone status and the
// client's state changing underneath), a sample after each, a flood, a last
// sample, and a one-line summary.
//   soak --broadcasts N --keys N [--samples]
#include "Stage.h"

#include "CommandLine.h"

#include <chrono>
#include <cstdio>
#include <optional>

namespace soak {

namespace {

using Clock = std::chrono::steady_clock;

const char kDescription[] =
    "Plays N power broadcasts to the real daemon and N key events through the real keypad lock in a client,\n"
    "then a flood of N/10 broadcasts, sampling both processes' resources and resident memory at the start\n"
    "and every 10%; each key's fate is checked against the decision table, each unattended transition\n"
    "against a launch.";

const char kFooter[] =
    "\nExit status: 0 passed (every count back where it began, resident memory grown by less than a page\n"
    "per 100000 events or by one page at most (shown, not judged, under a sanitizer or an emulator), every\n"
    "decision as the table gives it); 1 failed; 2 bad input (one line on standard error).";

double Since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

class Soak {
public:
    Soak(const Counts &counts, std::string name)
        : counts_(counts), name_(std::move(name)),
          keys_(kKeysPerStatus, device::MakesSystemKeys(), device::ReadsUnterminatedStrings()),
          warmUpKeys_(kWarmUpKeysPerStatus, device::MakesSystemKeys(), device::ReadsUnterminatedStrings()) {}

    int Run() {
        if (!stage_.Start() || !WarmUp()) return Finish();
        // Again while a warm-up still moves the resident memory: the
        // platform's own first uses (a heap's growth) are not the run's.
        for (long resident = Resident(), again = 0; again < kMoreWarmUps; ++again) {
            if (!WarmUp()) return Finish();
            const long now = Resident();
            if (now == resident) break;
            resident = now;
        }
        // What the warm-up played is not the run's.
        broadcastsPlayed_ = unattended_ = 0;
        flood_ = FloodCounts();
        launchesBefore_ = stage_.Seeing().launches;
        if (!TakeSample("start")) return Finish();
        for (int tenth = 1; tenth <= 10; ++tenth) {
            auto start = Clock::now();
            if (!PlayBroadcasts(Share(counts_.broadcasts, tenth) - broadcastsPlayed_)) return Finish();
            broadcastSeconds_ += Since(start);
            start = Clock::now();
            const long keys = Share(counts_.keys, tenth);
            if (!PlayKeys(keys_, keysPlayed_, keys - keysPlayed_) || !SetClient(kHome)) return Finish();
            keySeconds_ += Since(start);
            keysPlayed_ = keys;
            if (!TakeSample(std::to_string(tenth * 10) + "%")) return Finish();
        }
        const auto start = Clock::now();
        if (!Flood(std::max(1L, counts_.broadcasts / 10))) return Finish();
        floodSeconds_ = Since(start);
        if (TakeSample("after the flood")) stage_.StopClient();
        return Finish();
    }

private:
    static long Share(long total, int tenth) { return long((long long)total * tenth / 10); }

    // One of everything before the first sample, so that no first use of a
    // path (a launch, every kind of status, every client state, a full
    // queue) counts as growth. The first group starts the lock application.
    bool WarmUp() {
        for (long groupsEnded = 0; groupsEnded < 7;) {
            if (!PlayBroadcasts(1)) return false;
            groupsEnded += lastEndedGroup_;
        }
        return PlayKeys(warmUpKeys_, 0, WarmUpKeys(warmUpKeys_)) && SetClient(kHome) && Flood(kFloodBurst * 2);
    }

    long Resident() { return stage_.DaemonHoldings().residentKb + stage_.ClientHoldings().residentKb; }

    bool SetClient(ClientState state) {
        if (clientState_ == state) return true;
        if (!stage_.TellClient(state.active ? "activate " + std::to_string(state.mode) : "deactivate")) return false;
        clientState_ = state;
        return true;
    }

    PostResult Post(const Broadcast &broadcast) {
        const PostResult result = stage_.Post(broadcast);
        if (result.delivered > 0) {
            launchesDue_ += broadcast.action == Action::kLaunch;
            refreshesDue_ += broadcast.action == Action::kRefresh;
        }
        return result;
    }

    bool ActionsDone(const char *what) {
        const Stage::Seen &seen = stage_.Seeing();
        return stage_.Until(
            [&] { return seen.launches >= launchesDue_ && seen.refreshes >= refreshesDue_ && seen.launching == 0; }, what);
    }

    // Group by group, each in the queue at once and acted on before the
    // next: nothing may be dropped.
    bool PlayBroadcasts(long count) {
        for (long played = 0; played < count;) {
            bool ended = false;
            while (!ended && played < count) {
                const auto [broadcast, last] = stream_.Next();
                const PostResult result = Post(broadcast);
                if (result.delivered != (broadcast.action == Action::kNotOffered ? 0 : 1) || result.dropped != 0)
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

    // A few keys in flight at a time, fewer than the device keyboard holds;
    // the status and the client's state change only with none in flight.
    bool PlayKeys(const KeySchedule &schedule, long first, long count) {
        constexpr long kInFlight = 8;
        for (long n = first; n < first + count;) {
            if (n == first || schedule.ChangesBefore(n)) {
                if (!SetClient(schedule.Client(n)) || !stage_.StorePhoneStatus(schedule.Status(n))) return false;
            }
            std::vector<PlayedKey> batch;
            do batch.push_back(schedule.Key(n++));
            while (long(batch.size()) < kInFlight && n < first + count && !schedule.ChangesBefore(n));
            if (!stage_.PressKeys(batch)) return false;
        }
        return true;
    }

    // Bursts posted without waiting, each led by an unattended transition;
    // every other one while the daemon is held still, so that its queue
    // surely fills: it must then take exactly as many as the queue had room
    // for, read while held, and drop the rest.
    bool Flood(long count) {
        stage_.RefreshesMustReachAWindow(false);
        for (long posted = 0, burst = 0; posted < count; ++burst) {
            const bool held = burst % 2 == 0;
            const std::optional<long> queued = held ? stage_.HoldDaemon() : std::nullopt;
            bool full = false, asTheDeviceDoes = true;
            long delivered = 0, offered = 0;
            for (int i = 0; i < kFloodBurst && posted < count; ++i, ++posted) {
                const Broadcast broadcast = i == 0 ? Named("unattended") : stream_.Next().first;
                const PostResult result = Post(broadcast);
                flood_.posted++;
                if (broadcast.action == Action::kNotOffered) continue;
                flood_.offered++;
                offered++;
                flood_.delivered += result.delivered;
                flood_.dropped += result.dropped;
                delivered += result.delivered;
                flood_.due += result.delivered > 0 && broadcast.action != Action::kNothing;
                asTheDeviceDoes = asTheDeviceDoes && result.delivered + result.dropped == 1 && !(full && result.delivered > 0);
                full = full || result.dropped > 0;
            }
            if (held) {
                stage_.LetDaemonGo();
                flood_.heldBursts++;
                if (!queued) {
                    flood_.heldBurstsUntold++;
                } else {
                    const long before = queued.value_or(0);
                    flood_.heldBurstsUndrained += before > 0;
                    const long room = std::max(0L, kDaemonQueueDepth - before);
                    flood_.heldBurstsAsTheDeviceDoes += asTheDeviceDoes && delivered == std::min(room, offered);
                }
            }
            const long launches = stage_.Seeing().launches, refreshes = stage_.Seeing().refreshes;
            if (!ActionsDone("the daemon's actions on a burst")) return false;
            flood_.launches += stage_.Seeing().launches - launches;
            flood_.actedOn += stage_.Seeing().launches - launches + stage_.Seeing().refreshes - refreshes;
        }
        stage_.RefreshesMustReachAWindow(true);
        return true;
    }

    bool TakeSample(const std::string &when) {
        Sample sample{when, stage_.DaemonHoldings(), stage_.ClientHoldings()};
        if (sample.daemon.counts.empty() || sample.client.counts.empty()) {
            problems_.Note("no counts from the daemon or the client at " + when);
            return false;
        }
        if (counts_.samples)
            std::printf("%s: daemon %s; client %s\n", when.c_str(), Shown(sample.daemon).c_str(), Shown(sample.client).c_str());
        samples_.push_back(sample);
        return true;
    }

    int Finish() {
        const Stage::Seen &seen = stage_.Seeing();
        const bool complete = samples_.size() == 12;
        if (seen.launches != launchesDue_)
            problems_.Note(std::to_string(seen.launches) + " launches for " + std::to_string(launchesDue_) +
                           " unattended transitions delivered");
        if (seen.refreshes != refreshesDue_)
            problems_.Note(std::to_string(seen.refreshes) + " refreshes for " + std::to_string(refreshesDue_) + " due");
        if (flood_.delivered + flood_.dropped != flood_.offered || flood_.actedOn != flood_.due)
            problems_.Note("the flood's counts do not add up");
        if (const long off = flood_.heldBursts - flood_.heldBurstsUntold - flood_.heldBurstsAsTheDeviceDoes)
            problems_.Note(std::to_string(off) + " held bursts not taken as the device takes them");
        if (flood_.heldBurstsUntold)
            problems_.Note(std::to_string(flood_.heldBurstsUntold) +
                           " held bursts not judged: the device could not tell what the daemon's queue held before");
        if (flood_.heldBurstsUndrained)
            problems_.Note(std::to_string(flood_.heldBurstsUndrained) +
                           " held bursts began on a queue the daemon had not drained in time");
        if (!complete) problems_.Note("the run did not complete");
        std::string said;
        bool kept = complete;
        if (complete) {
            const char *notJudged = MemoryNotJudgedHere() ? MemoryNotJudgedHere() : device::ResidentMemoryNotJudged();
            said += "; ";
            kept = Judge("daemon", samples_.front().daemon, samples_.back().daemon, counts_.broadcasts + flood_.posted,
                         device::PageKb(), notJudged, said) && kept;
            said += "; ";
            kept = Judge("client", samples_.front().client, samples_.back().client, counts_.keys, device::PageKb(), notJudged, said) && kept;
        }
        const bool passed = kept && problems_.Count() == 0 && seen.keysOff == 0;
        const std::string fates = seen.keysOff == 0 ? "every fate as the decision table gives it"
                                                    : std::to_string(seen.keysOff) + " fates NOT as the table gives them";
        std::printf("%s: %s: %ld broadcasts (%s each), %ld keys (%s each), %s; %ld unattended transitions, %ld launches; "
                    "flood of %ld: %ld delivered + %ld dropped of %ld offered, %ld acted on of %ld due (%ld launches), "
                    "%ld of %ld held bursts took the room their queue had and dropped the rest (%s each)%s%s%s\n",
                    name_.c_str(), passed ? "passed" : "FAILED", counts_.broadcasts,
                    Microseconds(broadcastSeconds_, counts_.broadcasts).c_str(), counts_.keys,
                    Microseconds(keySeconds_, counts_.keys).c_str(), fates.c_str(), unattended_,
                    seen.launches - launchesBefore_ - flood_.launches, flood_.posted, flood_.delivered, flood_.dropped,
                    flood_.offered, flood_.actedOn, flood_.due, flood_.launches, flood_.heldBurstsAsTheDeviceDoes,
                    flood_.heldBursts, Microseconds(floodSeconds_, flood_.posted).c_str(), said.c_str(),
                    problems_.Count() ? "; problems: " : "", problems_.Said().c_str());
        std::fflush(stdout);
        stage_.End();
        return passed ? kPassed : kFailed;
    }

    Counts counts_;
    std::string name_;
    Problems problems_;
    Stage stage_{problems_};
    KeySchedule keys_, warmUpKeys_;
    BroadcastStream stream_;
    ClientState clientState_ = kHome;
    std::vector<Sample> samples_;
    long broadcastsPlayed_ = 0, keysPlayed_ = 0, unattended_ = 0, launchesDue_ = 0, refreshesDue_ = 0, launchesBefore_ = 0;
    bool lastEndedGroup_ = false;
    static constexpr int kMoreWarmUps = 3;
    double broadcastSeconds_ = 0, keySeconds_ = 0, floodSeconds_ = 0;
    FloodCounts flood_;
};

}  // namespace

// The program's name, as it prints it: its file's, without ".exe".
std::string NameOf(const char *path) {
    std::string name = path;
    name = name.substr(name.find_last_of("/\\") + 1);
    if (name.size() > 4 && name.compare(name.size() - 4, 4, ".exe") == 0) name.resize(name.size() - 4);
    return name;
}

int Main(int argc, char **argv) {
    Counts counts;
    const std::string name = argc > 0 ? NameOf(argv[0]) : "soak";
    command_line::CommandSet tool(name.c_str(), kDescription);
    CLI::App &root = tool.Root();
    for (const auto &[option, into] : {std::pair{"--broadcasts", &counts.broadcasts}, std::pair{"--keys", &counts.keys}})
        command_line::AddValue(&root, option, *into, argument_values::Count, "N", argument_values::kCountRule)
            ->required();
    root.add_flag("--samples", counts.samples, "print every sample before the summary");
    root.footer(kFooter);
    tool.SetRootAction([&](const CLI::App &) { return Soak(counts, name).Run(); });
    return tool.Run(argc, argv);
}

}  // namespace soak

DEVICE_TOOL_MAIN(soak::Main)
