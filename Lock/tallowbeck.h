/* The keypad lock's exports, for client programs. Clients usually bind them
 * by name (or ordinal) after loading "tallowbeck.dll". */
#ifndef TALLOWBECK_H
#define TALLOWBECK_H

#include <windows.h>

/* MODE 1 lets VK_F3..VK_F6 through while a phone call is in progress; any
 * other mode swallows every key. Returns TRUE once the hook is active.
 * Calling it again while active only changes the mode. */
extern "C" BOOL WINAPI ActivateKBHook(DWORD mode);

/* Removes the hook and releases what activation took. Always TRUE. */
extern "C" BOOL WINAPI DeactivateKBHook(void);

typedef BOOL(WINAPI *ActivateKBHookProc)(DWORD mode);
typedef BOOL(WINAPI *DeactivateKBHookProc)(void);

#endif
