/* Power manager: notification subscriptions and the broadcast record.
 * As the CE 5.0 SDK's copy of this header: no POWER_STATE_UNATTENDED,
 * POWER_STATE_USERIDLE or POWER_STATE_BACKLIGHTON (later copies have all
 * three), so that code which needs one defines it where the header lacks it. */
#ifndef SIMDEVICE_PM_H
#define SIMDEVICE_PM_H

#include <windef.h>

#define PBT_TRANSITION 0x00000001
#define PBT_RESUME 0x00000002
#define PBT_POWERSTATUSCHANGE 0x00000004
#define PBT_POWERINFOCHANGE 0x00000008
#define PBT_SUSPENDKEYPRESSED 0x00000100
#define PBT_OEMBASE 0x00010000
#define POWER_NOTIFY_ALL 0xFFFFFFFF

#define POWER_STATE_ON 0x00010000
#define POWER_STATE_OFF 0x00020000
#define POWER_STATE_CRITICAL 0x00040000
#define POWER_STATE_BOOT 0x00080000
#define POWER_STATE_IDLE 0x00100000
#define POWER_STATE_SUSPEND 0x00200000
#define POWER_STATE_RESET 0x00800000
#define POWER_STATE_PASSWORD 0x10000000

typedef struct _POWER_BROADCAST {
    DWORD Message;
    DWORD Flags;
    DWORD Length;
    WCHAR SystemPowerState[1];
} POWER_BROADCAST, *PPOWER_BROADCAST;

#ifdef __cplusplus
extern "C" {
#endif

HANDLE WINAPI RequestPowerNotifications(HANDLE messageQueue, DWORD flags);
DWORD WINAPI StopPowerNotifications(HANDLE notification);

#ifdef __cplusplus
}
#endif

#endif
