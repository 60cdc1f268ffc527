// The programs of a run, played from outside as a test, a tool or the soak
// plays them: started from the fixture folder, fed lines, held still,
// measured and ended, the device's keyboard typing at them, and what they
// recorded (Record, and the platform's own records where the device keeps
// them) read as it grows. One implementation per stand-in, beside the rest
// of the seam: ProgramsOnSimulator.cpp, ProgramsOnWine.cpp.
#pragma once

#include "device/Device.h"

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace device {

using Patience = std::chrono::milliseconds;

// The lock application fixture's file, as the daemon starts it.
constexpr char kLockAppFile[] = "Harrowcastle.exe";

// The file of a tool of ours as this stand-in builds it ("kbclient" is
// "kbclient.exe" under Wine).
std::string ToolFile(const std::string &tool);

// FILE from the fixture folder (ProgramDir) with ARGUMENTS and, WITH_INPUT,
// a pipe for SendLine: its process id, or 0 with the reason in WHY.
DWORD StartProgram(const std::string &file, const std::vector<std::string> &arguments, bool withInput,
                   std::string &why);
// One line to the program's input; whether it took it whole.
bool SendLine(DWORD process, const std::string &line);
void CloseInput(DWORD process);
// The exit status of a program StartProgram started, once it has ended;
// nothing when it has not within PATIENCE.
std::optional<int> WaitForExit(DWORD process, Patience patience);
// Ends a program of the run at once, as a task manager would, without
// waiting (whether it could); Gone tells when it has.
bool EndProgram(DWORD process);
bool Gone(DWORD process);

// Holds a program StartProgram started still, once the queues of its
// subscriptions are empty or PATIENCE has passed: how many broadcasts wait
// in them, read while it is held. Nothing, and not held, when the device
// cannot tell. Held, it takes nothing from its queues until LetGo.
std::optional<int> HoldWhenDrained(DWORD process, Patience patience);
void LetGo(DWORD process);

// What a program StartProgram started holds now, by kind, and its resident
// memory (-1 when unknown). WHEN_WAITING reads it while the program sits in
// a wait (at rest, no wake-up half done), waiting up to that long for it,
// where the device can tell. Nothing when it cannot be read.
struct Holdings {
    std::vector<std::pair<std::string, long>> counts;
    long residentKb = -1;
};
std::optional<Holdings> HoldingsOf(DWORD process, std::optional<Patience> whenWaiting = std::nullopt);
long PageKb();
// Why resident memory is not a program's own here, if it is not (an
// emulator's): then it is shown, not judged.
const char *ResidentMemoryNotJudged();

// The device's own keyboard makes these events (WM_KEYDOWN, WM_KEYUP,
// WM_SYSKEYDOWN, WM_SYSKEYUP), in order, for whichever program listens
// (ListenForKeys); false if it cannot make one of them.
struct KeyEvent {
    DWORD vk;
    UINT message;
};
bool TypeKeys(const std::vector<KeyEvent> &events);
// Whether the keyboard makes system key events (X makes them only with Alt
// held), and whether the registry reads a string value stored without its
// terminator back as stored (Wine, in some sequences, refuses a four-byte
// one with ERROR_MORE_DATA).
bool MakesSystemKeys();
bool ReadsUnterminatedStrings();

// One record a program of the run made: its process, its file name, the
// event and its fields.
struct Happening {
    DWORD process = 0;
    std::string program;
    timeline::Event event = timeline::Event::Start;
    Fields fields;
    std::string Field(const std::string &name) const {
        for (const auto &[key, value] : fields)
            if (key == name) return value;
        return {};
    }
};
// Whether the device records the programs' platform calls among their
// records (the simulated device does: a ShellExecuteEx, an UpdateWindow);
// where it does not, only what the programs record of themselves is seen.
bool RecordsPlatformCalls();
// The records made since the last call, each program's in the order it
// made them (the platform's own records too, where the device keeps them).
std::vector<Happening> NewHappenings();
// Waits until there may be more, at most MOST; a hint, it may return early.
void AwaitHappenings(Patience most);

// End (Device.h) calls it: what the run started and still runs goes with it.
void EndStartedPrograms();

}  // namespace device
