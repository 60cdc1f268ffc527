// The soak's stage, written once over the device seam (platform/device): the
// daemon watching with the lock application running, and a client with the
// keypad lock loaded; the parts the soak plays (the power manager, the radio
// stack, the person at the keys); and what the programs show, read from
// their records as they come, each launch and each key's fate checked as it
// is seen.
#pragma once

#include "SoakPlan.h"

#include "device/Programs.h"

#include <deque>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace soak {

class Stage {
public:
    explicit Stage(Problems &problems) : problems_(problems) {}

    // A fresh device with the daemon subscribed and the client's lock
    // active in mode 1 (kHome); false, with the problem noted, when it
    // could not be had.
    bool Start();
    void End();

    // What the programs have shown so far.
    struct Seen {
        long launches = 0;    // lock applications started
        long refreshes = 0;
        long launching = 0;   // lock applications started whose window is not yet up
        long keysWaiting = 0;  // keys pressed whose fate has not been seen
        long keysOff = 0;      // fates not as the decision table gives them
        long clientAcks = 0;   // client commands done
    };
    const Seen &Seeing();
    // Reads on until DONE holds and every second lock application ended is
    // gone; false, with the problem noted, when nothing comes for too long.
    bool Until(const std::function<bool()> &done, const std::string &what);

    // The power manager: one broadcast to every subscriber whose mask has
    // its kind (the daemon is the only one).
    PostResult Post(const Broadcast &broadcast);
    // Holds the daemon still once its queue is empty: how many broadcasts
    // its queue holds, read while held, or nothing when the device cannot
    // tell. Held, it takes nothing from its queue, so a burst must fill
    // exactly the room left.
    std::optional<long> HoldDaemon();
    void LetDaemonGo();
    // Whether a refresh must reach a window (not while lock applications
    // come and go in the flood), where the device reports the daemon's call.
    void RefreshesMustReachAWindow(bool must) { strictRefresh_ = must; }

    // The radio stack: the phone's status value, as the case stores it.
    bool StorePhoneStatus(const keypad_oracle::StatusCase &status);
    // A command line to the client ("activate 1", "deactivate"); done once
    // the client has answered it.
    bool TellClient(const std::string &line);
    // The person: presses the keys, in order; each fate is checked as it comes.
    bool PressKeys(const std::vector<PlayedKey> &keys);

    // What each process holds now, with its resident memory; at rest.
    Holdings DaemonHoldings();
    Holdings ClientHoldings();
    // The client deactivates, unloads the library and leaves; whether it
    // left with status 0 holding nothing (the problem noted if not).
    bool StopClient();

private:
    void Note(const std::string &what) { problems_.Note(what); }
    void Take(const device::Happening &happening);
    void TakeLaunchCall(const device::Happening &launch);
    void TakeRefreshCall(const device::Happening &refresh);
    void TakeLockAppStart(const device::Happening &start);
    void TakeLockAppUp(const device::Happening &up);
    void TakeFate(const device::Happening &fate);
    void TakeAnswer(const device::Happening &answer);
    bool EndedAllGone();

    Problems &problems_;
    Seen seen_;
    DWORD daemon_ = 0, client_ = 0, lockApp_ = 0;
    bool strictRefresh_ = true;
    bool callsRecorded_ = false;         // the device records the daemon's calls
    std::set<DWORD> launching_;          // lock applications started, window not yet up
    std::vector<DWORD> ending_;          // second copies ended, not yet gone
    std::deque<PlayedKey> keys_;         // pressed, fate not yet seen
    std::optional<device::Happening> clientExit_;
};

}  // namespace soak
