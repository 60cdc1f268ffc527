/* A keypad lock client in plain C, written the way an integrator's would be:
 * it loads tallowbeck.dll, binds both exports by name and by ordinal, and
 * runs an activate / change mode / deactivate cycle. It includes nothing
 * but the platform's header and the library's, so it builds for any target
 * the library builds for.
 *
 * Exit status 0 when every step gave what tallowbeck.h promises; otherwise
 * the number of the first step that did not, with one line on the debug
 * channel naming it. Whatever happens, it leaves no hook and no library
 * reference behind. */
#include <windows.h>

#include "tallowbeck.h"

/* Numbered as the exit status reports them. */
enum Step {
    STEP_LOAD = 1,
    STEP_BIND_BY_NAME,
    STEP_BIND_BY_ORDINAL,
    STEP_SAME_EXPORTS,
    STEP_ACTIVATE,
    STEP_CHANGE_MODE,
    STEP_DEACTIVATE,
    STEP_DEACTIVATE_AGAIN,
    STEP_UNLOAD
};

typedef struct Exports {
    ActivateKBHookProc activate;
    DeactivateKBHookProc deactivate;
} Exports;

typedef void (*AnyFunction)(void);

static int Fail(enum Step step, LPCWSTR what) {
    NKDbgPrintfW(L"keypad_client: step %d: %s (error %u)\n", (int)step, what, GetLastError());
    return (int)step;
}

/* Through the generic function type, which converts to any other. */
static AnyFunction Bind(HMODULE library, LPCWSTR nameOrOrdinal) {
    return (AnyFunction)GetProcAddressW(library, nameOrOrdinal);
}

static BOOL BindByName(HMODULE library, Exports *exports) {
    exports->activate = (ActivateKBHookProc)Bind(library, L"ActivateKBHook");
    exports->deactivate = (DeactivateKBHookProc)Bind(library, L"DeactivateKBHook");
    return exports->activate != NULL && exports->deactivate != NULL;
}

static BOOL BindByOrdinal(HMODULE library, Exports *exports) {
    exports->activate = (ActivateKBHookProc)Bind(library, MAKEINTRESOURCEW(TALLOWBECK_ACTIVATE_ORDINAL));
    exports->deactivate = (DeactivateKBHookProc)Bind(library, MAKEINTRESOURCEW(TALLOWBECK_DEACTIVATE_ORDINAL));
    return exports->activate != NULL && exports->deactivate != NULL;
}

/* Activates in mode 1, switches to mode 0 while active, and deactivates
 * twice; the keypad is unlocked again whatever step fails. */
static int RunCycle(const Exports *lock) {
    if (lock->activate(TALLOWBECK_MODE_CALL_KEYS) != TRUE) {
        lock->deactivate(); /* releases what the failed attempt took */
        return Fail(STEP_ACTIVATE, L"ActivateKBHook(1) did not give TRUE");
    }
    if (lock->activate(TALLOWBECK_MODE_LOCK_ALL) != TRUE) {
        lock->deactivate();
        return Fail(STEP_CHANGE_MODE, L"ActivateKBHook(0) while active did not give TRUE");
    }
    if (lock->deactivate() != TRUE) {
        return Fail(STEP_DEACTIVATE, L"DeactivateKBHook did not give TRUE");
    }
    if (lock->deactivate() != TRUE) {
        return Fail(STEP_DEACTIVATE_AGAIN, L"DeactivateKBHook while inactive did not give TRUE");
    }
    return 0;
}

static int UseLibrary(HMODULE library) {
    Exports byName;
    Exports byOrdinal;
    if (!BindByName(library, &byName)) {
        return Fail(STEP_BIND_BY_NAME, L"the exports did not bind by name");
    }
    if (!BindByOrdinal(library, &byOrdinal)) {
        return Fail(STEP_BIND_BY_ORDINAL, L"the exports did not bind by ordinal");
    }
    if (byName.activate != byOrdinal.activate || byName.deactivate != byOrdinal.deactivate) {
        return Fail(STEP_SAME_EXPORTS, L"names and ordinals bound different functions");
    }
    return RunCycle(&byOrdinal);
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previousInstance, LPWSTR commandLine, int showCommand) {
    HMODULE library;
    int failedStep;
    (void)instance;
    (void)previousInstance;
    (void)commandLine;
    (void)showCommand;

    /* A bare name: the library is found beside this program. */
    library = LoadLibraryW(L"tallowbeck.dll");
    if (library == NULL) {
        return Fail(STEP_LOAD, L"tallowbeck.dll did not load");
    }
    failedStep = UseLibrary(library);
    if (FreeLibrary(library) == FALSE && failedStep == 0) {
        return Fail(STEP_UNLOAD, L"tallowbeck.dll did not unload");
    }
    return failedStep;
}
