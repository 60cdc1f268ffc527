/* tallowbeck.dll, the keypad lock: its two exports, for client programs in C
 * or C++. A client loads the library and binds the exports at run time, by
 * name or by ordinal:
 *
 *     HMODULE lock = LoadLibraryW(L"tallowbeck.dll");
 *     ActivateKBHookProc activate = (ActivateKBHookProc)GetProcAddressW(lock, L"ActivateKBHook");
 *     DeactivateKBHookProc deactivate =
 *         (DeactivateKBHookProc)GetProcAddressW(lock, MAKEINTRESOURCEW(TALLOWBECK_DEACTIVATE_ORDINAL));
 *
 * Thread: the client must not call the two exports at the same time from
 * different threads. The hook runs on the platform's input thread and reads
 * the mode without a lock, so a mode change applies from the next key. (On
 * desktop Win32 the installing thread must pump messages for the hook to be
 * called; on the device the hook is system-wide.) */
#ifndef TALLOWBECK_H
#define TALLOWBECK_H

#include <windows.h>

/* Export ordinals, as tallowbeck.def gives them. */
#define TALLOWBECK_ACTIVATE_ORDINAL 1
#define TALLOWBECK_DEACTIVATE_ORDINAL 2

/* Modes. Any value other than 1 locks like 0. */
#define TALLOWBECK_MODE_LOCK_ALL 0  /* every key is swallowed */
#define TALLOWBECK_MODE_CALL_KEYS 1 /* VK_F3..VK_F6 go on while a phone call is in progress */

#ifdef __cplusplus
extern "C" {
#endif

/* Installs the system-wide low-level keyboard hook that swallows every key,
 * except, in mode 1, VK_F3..VK_F6 while a call is in progress (the phone
 * status in HKEY_LOCAL_MACHINE\System\State\Phone, read on every key).
 * Returns TRUE once the hook is active. FALSE if activation failed: the
 * keypad is not locked; call again to retry, or DeactivateKBHook to release
 * what the attempt took. Calling it again while active only changes the mode
 * and returns TRUE.
 *
 * Unloading the library while active does not unlock: the library keeps
 * itself loaded and the keypad locked until DeactivateKBHook is called
 * (load the library again to call it).
 *
 * What mode 1 leaves a caller on a Windows Mobile phone: VK_F3 is Talk
 * (VK_TTALK), VK_F4 End (VK_TEND), VK_F6 Volume Up (VK_TVOLUMEUP); VK_F5
 * has no phone key of its own in Windows Mobile's key table (a model may
 * send it for one). Everything else stays locked during a call too: Volume
 * Down (VK_F7), the dial pad's digits, * (VK_F8) and # (VK_F9), the soft
 * keys and the navigation keys. So a caller can answer, hang up and turn the
 * volume up, but not down, and cannot send tones (a voice-mail menu, a
 * conference code). Mode 0 swallows Talk and End as well: no call can be
 * answered or ended with them. docs/deploying.md, "The keys a caller keeps",
 * gives the sources. */
BOOL WINAPI ActivateKBHook(DWORD mode);

/* Removes the hook and releases what activation took; always TRUE. While
 * inactive it does nothing. Should the platform refuse to remove the hook,
 * the keypad stays locked and the next call tries again. */
BOOL WINAPI DeactivateKBHook(void);

#ifdef __cplusplus
}
#endif

/* For clients that bind the exports by name or by ordinal. */
typedef BOOL(WINAPI *ActivateKBHookProc)(DWORD mode);
typedef BOOL(WINAPI *DeactivateKBHookProc)(void);

#endif
