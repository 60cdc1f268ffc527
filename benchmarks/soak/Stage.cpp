#include "Stage.h"

#include <shellapi.h>

#include "DeviceNames.h"

#include <chrono>
#include <cstdlib>
#include <sstream>
#include <stdexcept>

namespace soak {

namespace {

using Clock = std::chrono::steady_clock;

// Bounds a hang; never measures anything.
constexpr device::Patience kPatience{20000};
// How long one wait for records lasts at most; the records wake it sooner
// where the device can tell.
constexpr device::Patience kLook{100};
constexpr device::Patience kGoneLook{1};

UINT Message(const PlayedKey &key) {
    return key.system ? (key.up ? WM_SYSKEYUP : WM_SYSKEYDOWN) : (key.up ? WM_KEYUP : WM_KEYDOWN);
}

// The phone's key, through the seam's registry.
struct PhoneKey {
    const std::basic_string<WCHAR> key = device::Wide(DEVICE_PHONE_KEY);
    void Set(const char *name, DWORD type, const std::string &bytes) const {
        device::SetValue(key.c_str(), device::Wide(name).c_str(), type, bytes);
    }
    void DeleteValue(const char *name) const { device::DeleteValue(key.c_str(), device::Wide(name).c_str()); }
    void DeleteKey() const { device::DeleteKey(key.c_str()); }
};

// Whether "NAME:COUNT ..." (what the device says a program held at its
// exit) counts nothing.
bool HoldsNothing(const std::string &held) {
    std::istringstream words(held);
    for (std::string word; words >> word;) {
        const size_t colon = word.rfind(':');
        if (colon == std::string::npos || std::strtol(word.c_str() + colon + 1, nullptr, 10) != 0) return false;
    }
    return true;
}

}  // namespace

bool Stage::Start() {
    try {
        device::Start();
    } catch (const std::exception &e) {
        Note(e.what());
        return false;
    }
    callsRecorded_ = device::RecordsPlatformCalls();
    std::string why;
    daemon_ = device::StartProgram("vespertin.exe", {}, false, why);
    if (daemon_ == 0) {
        Note("could not start the daemon: " + why);
        return false;
    }
    if (!Until([] { return device::Subscribers() == 1; }, "the daemon to subscribe")) return false;
    client_ = device::StartProgram(device::ToolFile("kbclient"), {"--listen"}, true, why);
    if (client_ == 0) {
        Note("could not start the client: " + why);
        return false;
    }
    return TellClient("load") && TellClient("activate 1");
}

void Stage::End() { device::End(); }

const Stage::Seen &Stage::Seeing() {
    seen_.keysWaiting = long(keys_.size());
    seen_.launching = long(launching_.size());
    return seen_;
}

bool Stage::Until(const std::function<bool()> &done, const std::string &what) {
    for (auto lastNews = Clock::now();;) {
        const std::vector<device::Happening> happenings = device::NewHappenings();
        for (const device::Happening &happening : happenings) Take(happening);
        if (!happenings.empty()) lastNews = Clock::now();
        Seeing();
        const bool doneHere = done();
        if (doneHere && EndedAllGone()) return true;
        if (Clock::now() - lastNews > kPatience) {
            Note("nothing for " + std::to_string(kPatience.count() / 1000) + " s while waiting for " + what);
            return false;
        }
        // A program's going is no record: it is looked for again soon.
        device::AwaitHappenings(doneHere ? kGoneLook : kLook);
    }
}

void Stage::Take(const device::Happening &h) {
    using timeline::Event;
    if (h.process == daemon_ && callsRecorded_) {
        if (h.event == Event::ShellExecute) TakeLaunchCall(h);
        else if (h.event == Event::UpdateWindow) TakeRefreshCall(h);
    } else if (h.process == client_) {
        if (h.event == Event::Key) TakeFate(h);
        else if (h.event == Event::ClientLoad || h.event == Event::ClientActivate ||
                 h.event == Event::ClientDeactivate || h.event == Event::ClientUnload)
            TakeAnswer(h);
        else if (h.event == Event::Exit) clientExit_ = h;
    } else if (h.program == device::kLockAppFile) {
        if (h.event == Event::Start) TakeLockAppStart(h);
        else if (h.event == Event::LockAppStarted) TakeLockAppUp(h);
        // Where the daemon's calls are not seen, a refresh is seen as the
        // repaint the lock application records.
        else if (h.event == Event::LockAppRepainted && !callsRecorded_) ++seen_.refreshes;
    }
}

// Every launch as the launcher makes it: the lock application beside the
// daemon, with the verb "open" and nothing else. It is counted when the
// lock application starts.
void Stage::TakeLaunchCall(const device::Happening &launch) {
    const std::string file = "\"" + device::Utf8(device::ProgramDir()) + device::kLockAppFile + "\"";
    const std::pair<const char *, std::string> fields[] = {
        {"result", "started"}, {"file", file},  {"verb", "\"open\""}, {"parameters", "\"\""},
        {"directory", "\"\""}, {"nShow", "0"}, {"fMask", "0"},      {"hwnd", "0"},
        {"cbSize", std::to_string(sizeof(SHELLEXECUTEINFO))}};
    for (const auto &[name, value] : fields)
        if (launch.Field(name) != value)
            Note("launch " + std::to_string(seen_.launches + 1) + ": " + name + "=" + launch.Field(name));
}

void Stage::TakeRefreshCall(const device::Happening &refresh) {
    ++seen_.refreshes;
    if (strictRefresh_ && refresh.Field("result") != "requested")
        Note("refresh " + std::to_string(seen_.refreshes) + " reached no window");
}

void Stage::TakeLockAppStart(const device::Happening &start) {
    ++seen_.launches;
    launching_.insert(start.process);
    const std::string beside = device::Utf8(device::ProgramDir()) + device::kLockAppFile;
    if (start.Field("path") != beside)
        Note("launch " + std::to_string(seen_.launches) + " started " + start.Field("path") + ", not " + beside);
}

// One lock application runs, the first: a later copy is ended as soon as
// its window is up, as a lock application's own guard against a second
// copy would have it, and what follows waits until it is gone. (The first
// keeps the window a refresh finds.)
void Stage::TakeLockAppUp(const device::Happening &up) {
    if (launching_.erase(up.process) == 0) Note("a lock application window without its start");
    if (lockApp_ == 0) {
        lockApp_ = up.process;
        return;
    }
    if (device::EndProgram(up.process)) ending_.push_back(up.process);
    else Note("could not end a second lock application");
}

bool Stage::EndedAllGone() {
    while (!ending_.empty() && device::Gone(ending_.back())) ending_.pop_back();
    return ending_.empty();
}

void Stage::TakeFate(const device::Happening &r) {
    // Under Wine a key that went on reaches the client's window as well.
    if (r.Field("fate") == "reached the window") return;
    if (keys_.empty()) return Note("a key fate nobody pressed for");
    const PlayedKey key = keys_.front();
    keys_.pop_front();
    const std::string played = device_names::KeyName(key.vk) + " " + device_names::KeyMessageName(Message(key));
    const std::string fate = key.passes ? "passed on" : "swallowed";
    if (r.Field("key") + " " + r.Field("message") != played || r.Field("fate") != fate ||
        r.Field("result") != (key.passes ? "0" : "-1")) {
        ++seen_.keysOff;
        Note(played + ": " + r.Field("fate") + " (result " + r.Field("result") + "), the table says " + fate);
    }
}

void Stage::TakeAnswer(const device::Happening &r) {
    ++seen_.clientAcks;
    if (r.Field("result") != "1" && r.Field("result") != "loaded")
        Note("the client's " + std::string(timeline::Name(r.event)) + ": " + r.Field("result"));
}

PostResult Stage::Post(const Broadcast &b) {
    const device::Posted posted = device::Post(b.named->message, b.named->flags, b.named->stateName);
    return {posted.delivered, posted.dropped};
}

std::optional<long> Stage::HoldDaemon() {
    const std::optional<int> queued = device::HoldWhenDrained(daemon_, kPatience);
    return queued ? std::optional<long>(*queued) : std::nullopt;
}

void Stage::LetDaemonGo() { device::LetGo(daemon_); }

bool Stage::StorePhoneStatus(const keypad_oracle::StatusCase &status) {
    try {
        keypad_oracle::Store(status, PhoneKey{});
        return true;
    } catch (const std::exception &e) {
        Note(e.what());
        return false;
    }
}

bool Stage::TellClient(const std::string &line) {
    const long before = seen_.clientAcks;
    if (!device::SendLine(client_, line)) {
        Note("the client took no commands");
        return false;
    }
    return Until([&] { return seen_.clientAcks > before; }, "the client: " + line);
}

bool Stage::PressKeys(const std::vector<PlayedKey> &keys) {
    std::vector<device::KeyEvent> events;
    for (const PlayedKey &key : keys) {
        keys_.push_back(key);
        events.push_back({key.vk, Message(key)});
    }
    if (!device::TypeKeys(events)) {
        Note("the keyboard refused a key");
        return false;
    }
    return Until([this] { return keys_.empty(); }, "the client's fate of a key");
}

Holdings Stage::DaemonHoldings() { return device::HoldingsOf(daemon_, kPatience).value_or(Holdings{}); }

// The client is at rest once every fate is in: it records a fate after the
// hook chain has run.
Holdings Stage::ClientHoldings() { return device::HoldingsOf(client_).value_or(Holdings{}); }

bool Stage::StopClient() {
    if (!TellClient("deactivate") || !TellClient("unload")) return false;
    device::CloseInput(client_);
    if (!Until([this] { return clientExit_.has_value(); }, "the client to leave")) return false;
    const std::optional<int> status = device::WaitForExit(client_, kPatience);
    if (status != 0) {
        Note("the client left with status " + (status ? std::to_string(*status) : std::string("unknown")));
        return false;
    }
    // What it held at its exit, where the device counts it.
    const std::string held = clientExit_->Field("resources");
    if (HoldsNothing(held)) return true;
    Note("the client left holding " + held);
    return false;
}

}  // namespace soak
