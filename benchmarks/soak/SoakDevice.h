// What the soak needs of the device: the daemon watching with the lock
// application running, and a client with the keypad lock loaded; the parts
// the soak plays (the power manager, the radio stack, the person at the
// keys); and what it reads back. One implementation per stand-in, as the
// conformance suite has them: SoakOnSimulator.cpp through the simulated
// device's control interface and log, SoakOnWine.cpp through desktop Win32,
// coredll.dll's shared objects and the fixtures' logs.
#pragma once

#include "SoakPlan.h"

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace soak {

// Runs the soak with the command line's words (not the program's name);
// its exit status.
int Main(std::vector<std::string> words);

}  // namespace soak

namespace soak::device {

// The program's name, for what it prints.
const char *ProgramName();
// A fresh device with the daemon subscribed and the client's lock active in
// mode 1 (kHome); false, with the problem noted, when it could not be had.
bool Start(Problems &problems);
void End();

// What the device has shown so far. Each launch and each key's fate is
// checked as it is seen: a launch must be the lock application beside the
// daemon, a fate what the key was played for (noted as a problem if not).
struct Seen {
    long launches = 0;
    long refreshes = 0;
    long launching = 0;  // lock applications started, not yet up (or a second copy not yet gone)
    long keysWaiting = 0;  // keys pressed whose fate has not been seen
    long keysOff = 0;      // fates not as the decision table gives them
    long clientAcks = 0;   // client commands done
};
const Seen &Seeing();
// Reads on until DONE holds; false, with the problem noted, when the device
// stays silent too long.
bool Until(const std::function<bool()> &done, const std::string &what);

// The power manager: one broadcast to every subscriber whose mask has its
// kind (the daemon is the only one).
PostResult Post(const Broadcast &broadcast);
// Holds the daemon still once its queue is empty, waiting for that as long
// as the patience allows; how many broadcasts its queue holds, read while
// it is held (some only when it did not empty in time), or nothing when the
// device cannot tell. Held, the daemon takes nothing from its queue, so a
// burst must fill exactly the room left.
std::optional<long> HoldDaemon();
void LetDaemonGo();
// Whether a refresh must reach a window (not while lock applications come
// and go in the flood).
void RefreshesMustReachAWindow(bool must);

// The radio stack: the phone's status value, as the case stores it.
void StorePhoneStatus(const keypad_oracle::StatusCase &status);
// A command line to the client ("activate 1", "deactivate"); done once
// clientAcks has grown.
bool TellClient(const std::string &line);
// The person: presses the keys, in order; each fate is checked as it comes.
bool PressKeys(const std::vector<PlayedKey> &keys);
// Whether this device delivers system key messages (Wine makes them only
// with Alt), and whether it reads a string value without its terminator as
// it is stored.
bool SystemKeys();
bool ReadsUnterminatedStrings();

// What each process holds now, with its resident memory; at rest.
Holdings DaemonHoldings();
Holdings ClientHoldings();
long PageKb();
// Why the processes' resident memory is not theirs alone here, if it is not
// (an emulator's); then it is shown, not judged.
const char *MemoryNotJudged();
// The client deactivates, unloads the library and leaves; whether it left
// holding nothing (the problem noted if not).
bool StopClient();

}  // namespace soak::device
