// What the programs that play the scenarios on a real Windows CE 5.0
// kernel share: the platform calls they make beyond the deliverables' own,
// bound by name from the kernel's coredll.dll at start; one line on the
// debug channel per check; and a watchdog, so that a load or a wait that
// hangs is a named failure rather than a silent stop.
//
// The records below have the device's layout; the platform headers here
// declare only what the deliverables use.
#ifndef CE5_DRIVER_SUPPORT_H
#define CE5_DRIVER_SUPPORT_H

#include <windows.h>

typedef long Ce5Long;

struct Ce5Rect {
    Ce5Long left, top, right, bottom;
};

struct Ce5Message {
    HWND window;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    DWORD time;
    Ce5Long x, y;
};

typedef LRESULT(CALLBACK *Ce5WindowProc)(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

struct Ce5WindowClass {
    UINT style;
    Ce5WindowProc procedure;
    int classExtra, windowExtra;
    HINSTANCE instance;
    HANDLE icon, cursor, background;
    LPCWSTR menuName, className;
};

struct Ce5Paint {
    HANDLE context;
    BOOL erase;
    Ce5Rect area;
    BOOL restore, incrementalUpdate;
    BYTE reserved[32];
};

struct Ce5ProcessInformation {
    HANDLE process, thread;
    DWORD processId, threadId;
};

typedef DWORD(WINAPI *Ce5ThreadProc)(LPVOID context);

// The calls, named as coredll.dll exports them.
struct Ce5Calls {
    BOOL(WINAPI *CreateProcessW)(LPCWSTR, LPWSTR, LPVOID, LPVOID, BOOL, DWORD, LPVOID, LPCWSTR, LPVOID,
                                 Ce5ProcessInformation *);
    HANDLE(WINAPI *CreateThread)(LPVOID, DWORD, Ce5ThreadProc, LPVOID, DWORD, LPDWORD);
    DWORD(WINAPI *WaitForSingleObject)(HANDLE, DWORD);
    BOOL(WINAPI *GetExitCodeProcess)(HANDLE, LPDWORD);
    HANDLE(WINAPI *CreateEventW)(LPVOID, BOOL, BOOL, LPCWSTR);
    BOOL(WINAPI *EventModify)(HANDLE, DWORD);
    void(WINAPI *Sleep)(DWORD);
    DWORD(WINAPI *GetTickCount)(void);
    BOOL(WINAPI *CreateDirectoryW)(LPCWSTR, LPVOID);
    BOOL(WINAPI *CopyFileW)(LPCWSTR, LPCWSTR, BOOL);
    BOOL(WINAPI *MoveFileW)(LPCWSTR, LPCWSTR);
    BOOL(WINAPI *DeleteFileW)(LPCWSTR);
    BOOL(WINAPI *SetFileAttributesW)(LPCWSTR, DWORD);
    HANDLE(WINAPI *CreateFileW)(LPCWSTR, DWORD, DWORD, LPVOID, DWORD, DWORD, HANDLE);
    BOOL(WINAPI *ReadFile)(HANDLE, LPVOID, DWORD, LPDWORD, LPVOID);
    LONG(WINAPI *RegCreateKeyExW)(HKEY, LPCWSTR, DWORD, LPWSTR, DWORD, REGSAM, LPVOID, PHKEY, LPDWORD);
    LONG(WINAPI *RegSetValueExW)(HKEY, LPCWSTR, DWORD, DWORD, const BYTE *, DWORD);
    LONG(WINAPI *RegQueryValueExW)(HKEY, LPCWSTR, LPDWORD, LPDWORD, LPBYTE, LPDWORD);
    LONG(WINAPI *RegCloseKey)(HKEY);
    DWORD(WINAPI *SetSystemPowerState)(LPCWSTR, DWORD, DWORD);
    void(WINAPI *keybd_event)(BYTE, BYTE, DWORD, DWORD);
    WORD(WINAPI *RegisterClassW)(const Ce5WindowClass *);
    HWND(WINAPI *CreateWindowExW)(DWORD, LPCWSTR, LPCWSTR, DWORD, int, int, int, int, HWND, HANDLE, HINSTANCE,
                                  LPVOID);
    LRESULT(WINAPI *DefWindowProcW)(HWND, UINT, WPARAM, LPARAM);
    BOOL(WINAPI *GetMessageW)(Ce5Message *, HWND, UINT, UINT);
    BOOL(WINAPI *PeekMessageW)(Ce5Message *, HWND, UINT, UINT, UINT);
    LRESULT(WINAPI *DispatchMessageW)(const Ce5Message *);
    BOOL(WINAPI *PostMessageW)(HWND, UINT, WPARAM, LPARAM);
    BOOL(WINAPI *InvalidateRect)(HWND, const Ce5Rect *, BOOL);
    HANDLE(WINAPI *BeginPaint)(HWND, Ce5Paint *);
    BOOL(WINAPI *EndPaint)(HWND, const Ce5Paint *);
    HWND(WINAPI *SetFocus)(HWND);
    BOOL(WINAPI *SetForegroundWindow)(HWND);
    int(WINAPIV *wsprintfW)(LPWSTR, LPCWSTR, ...);
};

extern Ce5Calls ce5;

// Binds every call; false, with a line naming the first missing one, if
// the kernel's coredll.dll lacks any.
bool BindCe5Calls();

// One check's result, as the runner reads it:
//   ce5: check NAME: pass[: DETAIL]    or    ce5: check NAME: FAIL: DETAIL
void Report(LPCWSTR check, bool pass, LPCWSTR detail);
// A line of its own for the log: ce5: TEXT.
void Note(LPCWSTR text);
// The line the runner stops at; the program returns after it.
void EndScenario();

// Runs JOB(CONTEXT) on a thread of its own and waits up to MILLISECONDS of
// the device's time for it. False if it has not returned by then: the job
// keeps its thread (a hung loader holds it for good), the caller reports.
bool RunWithWatchdog(Ce5ThreadProc job, LPVOID context, DWORD milliseconds);

// Waits up to MILLISECONDS for an event, pumping the thread's messages.
bool WaitPumping(HANDLE event, DWORD milliseconds);
// Handles the thread's queued and sent messages for MILLISECONDS.
void PumpFor(DWORD milliseconds);

// TEXT with every character outside printable ASCII as \uXXXX, for the log
// (the debug channel carries bytes). OUT holds CAPACITY characters.
void Escape(LPCWSTR text, LPWSTR out, DWORD capacity);
bool SameText(LPCWSTR a, LPCWSTR b);

// The folder the installer leaves the deliverables in, and a second one
// whose name is not ASCII.
extern const WCHAR INSTALL_FOLDER[];
extern const WCHAR NON_ASCII_FOLDER[];
// Copies NAME from \Windows (where the image carries it) into FOLDER.
bool Install(LPCWSTR folder, LPCWSTR name);
// Copies FROM to TO (replacing it) as a plain file, the way an installer
// writes one: a copy of an image file would keep the ROM's read-only mark,
// and a read-only file cannot be deleted whether it runs or not.
bool CopyAsInstalled(LPCWSTR from, LPCWSTR to);
// FOLDER\NAME into PATH (MAX_PATH characters).
void JoinPath(LPWSTR path, LPCWSTR folder, LPCWSTR name);

// The shared record the lock application fixture keeps, in the registry.
extern const WCHAR FIXTURE_KEY[];
extern const WCHAR FIXTURE_EVENT[];
DWORD ReadFixtureCount(LPCWSTR value);
bool ReadFixtureText(LPCWSTR value, LPWSTR text, DWORD capacity);
bool WriteFixtureCount(LPCWSTR value, DWORD count);
bool WriteFixtureText(LPCWSTR value, LPCWSTR text);

const DWORD EVENT_SET = 3;  // EventModify's operation for SetEvent

#endif
