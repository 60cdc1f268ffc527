// Whether a phone call is in progress, from the status word the platform
// keeps in the registry. Read on every key event: nothing is cached, so a
// call that starts or ends applies from the next key.
#include <windows.h>

#include "HookLibrary.h"

namespace {

const WCHAR PHONE_STATE_KEY[] = TEXT("System\\State\\Phone");
const WCHAR PHONE_STATUS_VALUE[] = TEXT("Status");

// Talking, outgoing call connecting, incoming call ringing, call on hold.
const DWORD CALL_STATE_MASK = 0x20000000 | 0x00020000 | 0x00010000 | 0x00004000;  // 0x20034000

}  // namespace

BOOLEAN IsPhoneCallActive() {
    BOOLEAN active = FALSE;
    HKEY key = NULL;
    // A success that gives no key leaves nothing to read or to close.
    // HKEY_LOCAL_MACHINE is the platform header's C-style cast of a predefined key value.
    // cppcheck-suppress cstyleCast
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, PHONE_STATE_KEY, 0, KEY_READ, &key) != ERROR_SUCCESS || key == NULL) {
        return FALSE;
    }
    // Zero first: a value shorter than the word must not leave stale bytes in it.
    DWORD status = 0;
    DWORD type = REG_DWORD;
    DWORD size = sizeof(status);
    if (RegQueryValueExW(key, PHONE_STATUS_VALUE, NULL, &type, reinterpret_cast<LPBYTE>(&status), &size) ==
            ERROR_SUCCESS &&
        (status & CALL_STATE_MASK) != 0) {
        active = TRUE;
    }
    RegCloseKey(key);
    return active;
}
