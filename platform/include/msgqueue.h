/* Point-to-point message queues: the calls (the options record is winbase.h's). */
#ifndef SIMDEVICE_MSGQUEUE_H
#define SIMDEVICE_MSGQUEUE_H

#include <winbase.h>

#ifdef __cplusplus
extern "C" {
#endif

HANDLE WINAPI CreateMsgQueue(LPCWSTR name, LPMSGQUEUEOPTIONS options);
BOOL WINAPI ReadMsgQueue(HANDLE queue, LPVOID buffer, DWORD bufferSize, LPDWORD bytesRead,
                         DWORD milliseconds, DWORD *flags);
BOOL WINAPI CloseMsgQueue(HANDLE queue);

#ifdef __cplusplus
}
#endif

#endif
