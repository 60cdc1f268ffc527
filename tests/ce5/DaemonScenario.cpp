// The daemon on a real kernel, installed as the CAB installs it: it starts
// and subscribes, a second copy leaves with status 1, a transition into a
// state whose flags carry POWER_STATE_UNATTENDED starts the lock
// application from the daemon's own folder (one with a non-ASCII name too),
// the power manager's power-information broadcast brings the window a
// repaint, and a transition without the flag does nothing. Then an upgrade
// while it runs: the file moved aside, the new one in its place, the old
// daemon locking until it ends and the new one after.
//
// Every wait is bounded: what does not happen in time is a named failure.
#include "DriverSupport.h"

namespace {

const WCHAR DAEMON[] = L"vespertin.exe";
const WCHAR LOCK_APP[] = L"Harrowcastle.exe";
// Device time; the kernel's clock runs from the emulator's instruction count.
const DWORD START_WAIT_MS = 30000;
const DWORD EXIT_WAIT_MS = 30000;
const DWORD LAUNCH_WAIT_MS = 30000;
const DWORD QUIET_MS = 5000;
const DWORD DAEMON_EXIT_STATUS = 1;

HANDLE g_fixtureEvent = NULL;

struct Started {
    HANDLE process;
    bool ok;
};

Started StartProgram(LPCWSTR folder, LPCWSTR name) {
    WCHAR path[MAX_PATH];
    JoinPath(path, folder, name);
    Ce5ProcessInformation info;
    memset(&info, 0, sizeof(info));
    Started started = {NULL, false};
    if (ce5.CreateProcessW(path, NULL, NULL, NULL, FALSE, 0, NULL, NULL, NULL, &info)) {
        CloseHandle(info.thread);
        started.process = info.process;
        started.ok = true;
    }
    return started;
}

bool Running(HANDLE process) {
    return process != NULL && ce5.WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
}

// Waits until the fixture's COUNT value reaches AT_LEAST.
bool AwaitFixtureCount(LPCWSTR count, DWORD atLeast, DWORD milliseconds) {
    const DWORD start = ce5.GetTickCount();
    while (ReadFixtureCount(count) < atLeast) {
        const DWORD waited = ce5.GetTickCount() - start;
        if (waited >= milliseconds || !WaitPumping(g_fixtureEvent, milliseconds - waited)) {
            return ReadFixtureCount(count) >= atLeast;
        }
    }
    return true;
}

// FORMAT takes up to two numbers (the rest are ignored).
void ReportWith(LPCWSTR check, bool pass, LPCWSTR format, DWORD a, DWORD b) {
    WCHAR detail[200];
    ce5.wsprintfW(detail, format, a, b);
    Report(check, pass, detail);
}

bool ChangePowerState(LPCWSTR state) {
    const DWORD result = ce5.SetSystemPowerState(state, 0, 0);
    if (result != ERROR_SUCCESS) {
        WCHAR line[120];
        ce5.wsprintfW(line, L"SetSystemPowerState(%s) failed with %u", state, result);
        Note(line);
    }
    return result == ERROR_SUCCESS;
}

// The transition starts the lock application, from FOLDER. The time from
// asking for the transition to the lock application's first instruction of
// its own is a figure (device time: the kernel's clock counts the
// emulator's instructions).
void CheckLaunch(LPCWSTR check, LPCWSTR folder) {
    const DWORD starts = ReadFixtureCount(L"Starts");
    const DWORD asked = ce5.GetTickCount();
    if (!ChangePowerState(L"Unattended")) {
        Report(check, false, L"the power manager refused the transition to Unattended");
        return;
    }
    if (!AwaitFixtureCount(L"Starts", starts + 1, LAUNCH_WAIT_MS)) {
        ReportWith(check, false, L"no lock application started within %u ms (starts still %u)", LAUNCH_WAIT_MS,
                   starts);
        return;
    }
    WCHAR expected[MAX_PATH];
    WCHAR path[MAX_PATH];
    WCHAR shown[3 * MAX_PATH];
    WCHAR detail[4 * MAX_PATH];
    JoinPath(expected, folder, LOCK_APP);
    ReadFixtureText(L"Path", path, MAX_PATH);
    Escape(path, shown, sizeof(shown) / sizeof(shown[0]));
    ce5.wsprintfW(detail, L"started from %s, %u ms after the transition was asked", shown,
                  ReadFixtureCount(L"StartTick") - asked);
    Report(check, SameText(path, expected), detail);
}

// Any transition but an unattended one leaves the lock application alone.
void CheckPlainTransition(LPCWSTR check) {
    const DWORD starts = ReadFixtureCount(L"Starts");
    const DWORD repaints = ReadFixtureCount(L"Repaints");
    if (!ChangePowerState(L"On")) {
        Report(check, false, L"the power manager refused the transition to On");
        return;
    }
    PumpFor(QUIET_MS);
    const DWORD newStarts = ReadFixtureCount(L"Starts") - starts;
    const DWORD newRepaints = ReadFixtureCount(L"Repaints") - repaints;
    ReportWith(check, newStarts == 0 && newRepaints == 0, L"%u starts and %u repaints after the transition to On",
               newStarts, newRepaints);
}

// Starts the daemon from FOLDER: it runs, and the power manager's
// power-information broadcast to a new subscriber brings the lock
// application's window a repaint.
HANDLE StartDaemon(LPCWSTR startCheck, LPCWSTR repaintCheck, LPCWSTR folder) {
    const DWORD repaints = ReadFixtureCount(L"Repaints");
    Started daemon = StartProgram(folder, DAEMON);
    if (!daemon.ok) {
        ReportWith(startCheck, false, L"CreateProcessW failed with %u", GetLastError(), 0);
        return NULL;
    }
    const bool repainted = AwaitFixtureCount(L"Repaints", repaints + 1, START_WAIT_MS);
    Report(startCheck, Running(daemon.process), repainted ? L"running, subscribed" : L"running");
    if (repaintCheck != NULL) {
        ReportWith(repaintCheck, repainted, L"repaints %u -> %u on subscribing", repaints,
                   ReadFixtureCount(L"Repaints"));
    }
    return daemon.process;
}

void CheckSecondCopy(LPCWSTR check, HANDLE first) {
    Started second = StartProgram(INSTALL_FOLDER, DAEMON);
    if (!second.ok) {
        ReportWith(check, false, L"CreateProcessW failed with %u", GetLastError(), 0);
        return;
    }
    if (ce5.WaitForSingleObject(second.process, EXIT_WAIT_MS) != WAIT_OBJECT_0) {
        ReportWith(check, false, L"the second copy still runs after %u ms", EXIT_WAIT_MS, 0);
    } else {
        DWORD status = 0;
        ce5.GetExitCodeProcess(second.process, &status);
        ReportWith(check, status == DAEMON_EXIT_STATUS && Running(first),
                   L"exit status %u; the first copy still runs: %u", status, Running(first) ? 1 : 0);
    }
    CloseHandle(second.process);
}

void StopDaemon(HANDLE daemon) {
    if (daemon != NULL) {
        TerminateProcess(daemon, 0);
        ce5.WaitForSingleObject(daemon, EXIT_WAIT_MS);
        CloseHandle(daemon);
    }
}

// An upgrade while the daemon runs, as the deploying guide gives it: the
// running file can be neither deleted nor overwritten, but it can be moved
// aside and the new file put in its place. The new copy then leaves at once
// (the old one holds the instance mutex) and the old one keeps locking until
// it ends, which on a phone is the restart; after that the new file starts
// and locks, and the old file can go. Returns the new daemon.
HANDLE CheckUpgrade(HANDLE old) {
    WCHAR path[MAX_PATH];
    WCHAR aside[MAX_PATH];
    WCHAR upgrade[MAX_PATH];
    JoinPath(path, INSTALL_FOLDER, DAEMON);
    JoinPath(aside, INSTALL_FOLDER, L"vespertin.old");
    JoinPath(upgrade, L"\\Windows", DAEMON);  // the new version, where the image carries it

    const bool deleted = ce5.DeleteFileW(path) != FALSE;
    const DWORD deleteError = deleted ? 0 : GetLastError();
    const bool overwritten = CopyAsInstalled(upgrade, path);
    const DWORD overwriteError = overwritten ? 0 : GetLastError();
    ReportWith(L"daemon.upgrade.running_file_held", !deleted && !overwritten && Running(old),
               L"DeleteFileW: error %u, CopyFileW over it: error %u (0: it succeeded)", deleteError,
               overwriteError);

    const bool moved = ce5.MoveFileW(path, aside) != FALSE;
    const DWORD moveError = moved ? 0 : GetLastError();
    bool placed = false;
    DWORD placeError = 0;
    if (moved) {
        placed = CopyAsInstalled(upgrade, path);
        placeError = placed ? 0 : GetLastError();
    }
    ReportWith(L"daemon.upgrade.moved_aside_and_replaced", placed && Running(old),
               L"MoveFileW: error %u, then CopyFileW into its place: error %u (0: it succeeded)", moveError,
               placeError);

    CheckSecondCopy(L"daemon.upgrade.new_copy_exits_1_while_old_runs", old);
    CheckLaunch(L"daemon.upgrade.old_still_launches", INSTALL_FOLDER);

    StopDaemon(old);  // what a phone's restart does to it
    HANDLE upgraded = StartDaemon(L"daemon.upgrade.new_starts_after_old_ends", NULL, INSTALL_FOLDER);
    if (upgraded != NULL) {
        CheckLaunch(L"daemon.upgrade.new_launches", INSTALL_FOLDER);
    }
    const bool cleaned = ce5.DeleteFileW(aside) != FALSE;
    ReportWith(L"daemon.upgrade.old_file_deleted_after_it_ends", cleaned, L"DeleteFileW: error %u (0: it succeeded)",
               cleaned ? 0 : GetLastError(), 0);
    return upgraded;
}

void RunScenario() {
    const bool installed = Install(INSTALL_FOLDER, DAEMON) && Install(INSTALL_FOLDER, LOCK_APP) &&
                           Install(NON_ASCII_FOLDER, DAEMON) && Install(NON_ASCII_FOLDER, LOCK_APP);
    Report(L"daemon.installed", installed, L"copied into \\Program Files, as the CAB installs it");
    if (!installed) {
        return;
    }
    // The lock application first, so that a repaint request has a window to reach.
    Started lockApp = StartProgram(INSTALL_FOLDER, LOCK_APP);
    Report(L"daemon.fixture_window", lockApp.ok && AwaitFixtureCount(L"Starts", 1, START_WAIT_MS),
           L"the lock application's window is up");
    HANDLE daemon = StartDaemon(L"daemon.starts", L"daemon.power_info_repaints", INSTALL_FOLDER);
    if (daemon == NULL) {
        return;
    }
    CheckSecondCopy(L"daemon.second_copy_exits_1", daemon);
    CheckLaunch(L"daemon.unattended_launches", INSTALL_FOLDER);
    CheckPlainTransition(L"daemon.plain_transition_ignored");
    daemon = CheckUpgrade(daemon);
    StopDaemon(daemon);
    daemon = StartDaemon(L"daemon.starts_from_non_ascii_folder", NULL, NON_ASCII_FOLDER);
    CheckLaunch(L"daemon.unattended_launches_from_non_ascii_folder", NON_ASCII_FOLDER);
    ChangePowerState(L"On");
    StopDaemon(daemon);
    if (lockApp.process != NULL) {
        CloseHandle(lockApp.process);
    }
}

}  // namespace

int WINAPI WinMain(HINSTANCE /*instance*/, HINSTANCE /*previousInstance*/, LPWSTR /*commandLine*/,
                   int /*showCommand*/) {
    if (BindCe5Calls()) {
        g_fixtureEvent = ce5.CreateEventW(NULL, FALSE, FALSE, FIXTURE_EVENT);
        RunScenario();
    }
    EndScenario();
    return 0;
}
