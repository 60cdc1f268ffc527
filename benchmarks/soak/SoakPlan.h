// The soak's plan, one for the run on the simulated device (soak) and the
// run under Wine (soak_wine.exe): the counts it takes, the broadcasts it
// plays and what each must make the daemon do, the keys, phone statuses and
// client states it plays and what each key must meet, and how its samples
// decide whether it passed. Plain C++17 over <windows.h>, which both builds
// have.
#pragma once

#include <windows.h>
#include <pm.h>

#include "ArgumentValues.h"
#include "Broadcasts.h"
#include "KeypadOracle.h"
#include "device/Programs.h"

#include <cstdio>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace soak {

// What went wrong besides the counts: the first few, and how many in all.
class Problems {
public:
    void Note(const std::string &what) {
        if (++count_ <= kShown) said_ += (said_.empty() ? "" : "; ") + what;
    }
    long Count() const { return count_; }
    std::string Said() const {
        return count_ > kShown ? said_ + "; and " + std::to_string(count_ - kShown) + " more" : said_;
    }

private:
    static constexpr long kShown = 4;
    long count_ = 0;
    std::string said_;
};

constexpr int kPassed = 0;
constexpr int kFailed = 1;

// ---- the command line ------------------------------------------------------

// What the command line asks for (soak --help tells).
struct Counts {
    long broadcasts = 0;
    long keys = 0;
    bool samples = false;  // print each sample before the summary
};

// ---- broadcasts --------------------------------------------------------------

// What the daemon must do about a broadcast.
enum class Action { kLaunch, kRefresh, kNothing, kNotOffered };

struct Broadcast {
    const broadcasts::NamedBroadcast *named;
    Action action;
};

// What one post came to at the daemon's queue.
struct PostResult {
    long delivered = 0;
    long dropped = 0;  // the queue was full
};

// The daemon's rules, as its users know them, for the broadcasts played (by
// their names in the tools' table): only an unattended transition starts the
// lock application, a resume or a power-information change refreshes it, a
// kind it does not ask for reaches no queue of its.
inline Broadcast Named(const char *name) {
    static const std::pair<const char *, Action> kActions[] = {
        {"unattended", Action::kLaunch},  {"suspend", Action::kNothing}, {"resuming", Action::kNothing},
        {"on", Action::kNothing},         {"resume", Action::kRefresh},  {"powerinfo", Action::kRefresh},
        {"powerstatus", Action::kNotOffered}};
    for (const auto &[known, action] : kActions)
        if (std::string(known) == name) return {broadcasts::Find(name), action};
    throw std::logic_error(std::string("no action known for ") + name);
}

// Broadcasts come in groups, as the power manager sends them. The last of a
// group that reaches the daemon's queue is one it visibly acts on, so that a
// group's last action shows that the daemon has read all of it.
inline std::vector<Broadcast> Group(long index) {
    // About one broadcast in a hundred is an unattended transition.
    constexpr long kUnattendedEvery = 64;
    static const std::vector<std::vector<const char *>> kGroups = {
        {"suspend", "resuming", "resume"},  // a suspend and resume, as the platform plays it
        {"on", "powerinfo"},
        {"powerstatus"},
        {"resume"},
        {"powerinfo"},
    };
    std::vector<Broadcast> group;
    if (index % kUnattendedEvery == 0) return {Named("unattended")};
    for (const char *name : kGroups[size_t(index) % kGroups.size()]) group.push_back(Named(name));
    return group;
}

// The broadcasts one after another, group by group.
class BroadcastStream {
public:
    // The next broadcast, and whether it ends its group.
    std::pair<Broadcast, bool> Next() {
        if (position_ == group_.size()) {
            group_ = Group(groupIndex_++);
            position_ = 0;
        }
        const Broadcast broadcast = group_[position_++];
        return {broadcast, position_ == group_.size()};
    }

private:
    long groupIndex_ = 0;
    std::vector<Broadcast> group_;
    size_t position_ = 0;
};

// The daemon's queue holds this many broadcasts (its fixed options): a
// flood held still fills the room left in it and loses the rest.
constexpr long kDaemonQueueDepth = 4;
// The flood: bursts of this many, each led by an unattended transition,
// posted without waiting; every other burst while the daemon is held still.
constexpr int kFloodBurst = 32;

// What the power manager's posts came to, and what the daemon did about it.
struct FloodCounts {
    long posted = 0;
    long offered = 0;    // of a kind the daemon asks for
    long delivered = 0;  // into its queue
    long dropped = 0;    // its queue was full
    long due = 0;        // delivered broadcasts that call for an action
    long actedOn = 0;    // launches and refreshes seen
    long heldBursts = 0, heldBurstsAsTheDeviceDoes = 0;
    long heldBurstsUntold = 0;  // the device could not tell what the queue held before: not judged
    long heldBurstsUndrained = 0;  // the queue had not emptied in time before
    long unattendedDelivered = 0, launches = 0;
};

// ---- keys --------------------------------------------------------------------

// The client's state: activated in a mode, or deactivated (every key passes).
struct ClientState {
    bool active;
    DWORD mode;
    bool operator==(const ClientState &other) const { return active == other.active && mode == other.mode; }
};
// The state at every sample, so that the counts compare.
constexpr ClientState kHome = {true, 1};

// One key event of the plan, and the fate the decision table gives it.
struct PlayedKey {
    DWORD vk;
    bool up;
    bool system;  // a system key message (the simulated device only: Wine makes those only with Alt)
    bool passes;
};

// The phone status changes every KEYS_PER_STATUS key events, the client's
// state every few statuses.
class KeySchedule {
public:
    // SYSTEM_KEYS: the device delivers system key messages. UNTERMINATED:
    // it reads a string value without its terminator as stored (Wine, in
    // some sequences, refuses a four-byte one with ERROR_MORE_DATA, and the
    // lock then rightly sees no call: that status is left out there).
    KeySchedule(long keysPerStatus, bool systemKeys, bool unterminated)
        : keysPerStatus_(keysPerStatus), systemKeys_(systemKeys) {
        for (const keypad_oracle::StatusCase &status : keypad_oracle::StatusCases())
            if (unterminated || !Unterminated(status)) statuses_.push_back(status);
    }

    // Event N: the call keys among their neighbours and keys far from
    // them, each pressed and released.
    PlayedKey Key(long n) const {
        static const DWORD kKeys[] = {VK_F3, VK_F2, VK_F4, VK_F7, VK_F5, VK_RETURN, VK_F6, 'A', '7', VK_F8, VK_F1};
        const long press = n / 2;
        const DWORD vk = kKeys[size_t(press) % (sizeof kKeys / sizeof *kKeys)];
        const ClientState client = Client(n);
        const bool passes = !client.active || keypad_oracle::ShouldPass(keypad_oracle::ReadableWord(Status(n)), client.mode, vk);
        return {vk, n % 2 == 1, systemKeys_ && press % 5 == 4, passes};
    }
    bool ChangesBefore(long n) const { return n % keysPerStatus_ == 0; }
    // Every status the registry can hold, in a stride that mixes them.
    const keypad_oracle::StatusCase &Status(long n) const {
        const long period = n / keysPerStatus_;
        return statuses_[size_t(period * 7) % statuses_.size()];
    }
    // Deactivated, there is no hook: every key passes.
    ClientState Client(long n) const {
        static const ClientState kStates[] = {{true, 1}, {true, 0},  {true, 1},         {false, 0},
                                              {true, 2}, {true, 1},  {true, 0xFFFFFFFF}};
        const long period = n / keysPerStatus_ / 3;
        return kStates[size_t(period) % (sizeof kStates / sizeof *kStates)];
    }

    size_t Statuses() const { return statuses_.size(); }

private:
    static bool Unterminated(const keypad_oracle::StatusCase &status) {
        const size_t n = status.bytes.size();
        return status.kind == keypad_oracle::StatusCase::kRaw && status.type == REG_SZ && n >= 2 && n <= 4 &&
               (status.bytes[n - 1] != 0 || status.bytes[n - 2] != 0);
    }

    long keysPerStatus_;
    bool systemKeys_;
    std::vector<keypad_oracle::StatusCase> statuses_;
};

// Statuses change every few hundred keys in the run, every few keys in the
// warm-up, which touches every path before the first sample: every status
// twice, and so every client state.
constexpr long kKeysPerStatus = 250;
constexpr long kWarmUpKeysPerStatus = 8;
inline long WarmUpKeys(const KeySchedule &schedule) { return long(2 * schedule.Statuses()) * kWarmUpKeysPerStatus; }

// ---- samples and the verdict ----------------------------------------------

// What one process holds at a sample: its counts as the platform gives
// them, and its resident memory.
using Holdings = device::Holdings;

struct Sample {
    std::string when;
    Holdings daemon, client;
};

inline std::string Shown(const Holdings &h) {
    std::string text;
    for (const auto &[name, value] : h.counts) text += name + ":" + std::to_string(value) + " ";
    return text + "rss:" + (h.residentKb < 0 ? std::string("?") : std::to_string(h.residentKb) + "kB");
}

// Why resident memory is shown and not judged, if it is: a sanitizer keeps
// freed memory aside (AddressSanitizer's quarantine) and adds its own.
inline const char *MemoryNotJudgedHere() {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    return "under a sanitizer";
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
    return "under a sanitizer";
#endif
#endif
    return nullptr;
}

// Whether a process's counts end where they began and its resident memory
// grew by less than a page per 100000 of its EVENTS (unless NOT_JUDGED says
// why not); what to say about it. One page is the reading's resolution, not
// a leak: Wine's daemon steps up one page once, at a moment of its own, and
// a run shorter than 100000 events would fail on that step alone.
constexpr long kRssResolutionPages = 1;
inline bool Judge(const char *who, const Holdings &start, const Holdings &end, long events, long pageKb,
                  const char *notJudged, std::string &said) {
    bool kept = start.counts == end.counts;
    std::string counts;
    for (size_t i = 0; i < start.counts.size() && i < end.counts.size(); ++i) {
        const auto &[name, before] = start.counts[i];
        const long after = end.counts[i].second;
        counts += " " + name + " " + std::to_string(before) + (after == before ? "" : "->" + std::to_string(after));
    }
    said += std::string(who) + (kept ? " kept" : " CHANGED") + counts;
    if (start.residentKb >= 0 && end.residentKb >= 0) {
        const long pages = (end.residentKb - start.residentKb) / pageKb;
        const bool lean = pages <= kRssResolutionPages || pages * 100000 < events;
        if (!notJudged) kept = kept && lean;
        said += ", rss " + std::to_string(start.residentKb) + "->" + std::to_string(end.residentKb) + " kB (" +
                (pages >= 0 ? "+" : "") + std::to_string(pages) + " pages" +
                (notJudged ? std::string(", not judged ") + notJudged + ")" : lean ? ")" : ", TOO MUCH)");
    }
    return kept;
}

inline std::string Microseconds(double seconds, long events) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f us", events > 0 ? seconds * 1e6 / double(events) : 0.0);
    return text;
}

}  // namespace soak
