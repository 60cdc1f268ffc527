// The daemon's functions, shared between its source files.
#ifndef VESPERTIN_H
#define VESPERTIN_H

// Subscribes to power broadcasts and handles them until set-up or a wait
// fails. Blocks for the life of the daemon.
void WatchPowerNotifications();

// Starts the lock application that lies beside the daemon's executable.
void LaunchLockApp();

// Asks the lock application's window to repaint.
void RefreshLockAppWindow();

#endif
