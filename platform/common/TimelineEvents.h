// Every event the device's timeline writes, named once: the platform and
// the programs write records through timeline::Event, the timeline formats
// them by it, and `simdevice wait` takes its names, so that a misspelt event
// does not compile and none can be left out of the list.
#pragma once

#include <optional>
#include <string_view>

#define TIMELINE_EVENTS(EVENT)                                                                                  \
    EVENT(Start, "start")                                                                                       \
    EVENT(Exit, "exit")                                                                                         \
    EVENT(Stopped, "stopped")                                                                                   \
    EVENT(Killed, "killed")                                                                                     \
    EVENT(ShellExecute, "shellexecute")                                                                         \
    EVENT(WindowCreated, "window-created")                                                                      \
    EVENT(UpdateWindow, "updatewindow")                                                                         \
    EVENT(PowerSubscribed, "power-subscribed")                                                                  \
    EVENT(PowerUnsubscribed, "power-unsubscribed")                                                              \
    EVENT(PowerBroadcast, "power-broadcast")                                                                    \
    EVENT(PowerDropped, "power-dropped")                                                                        \
    EVENT(RegistrySet, "registry-set")                                                                          \
    EVENT(RegistryDeleted, "registry-deleted")                                                                  \
    EVENT(KeyPressed, "key-pressed")                                                                            \
    EVENT(Debug, "debug")                                                                                       \
    EVENT(ImageRefused, "image-refused")                                                                        \
    EVENT(Key, "key")                                                                                           \
    EVENT(ClientLoad, "client-load")                                                                            \
    EVENT(ClientActivate, "client-activate")                                                                    \
    EVENT(ClientDeactivate, "client-deactivate")                                                                \
    EVENT(ClientUnload, "client-unload")                                                                        \
    EVENT(LockAppStarted, "lockapp-started")                                                                    \
    EVENT(LockAppRepainted, "lockapp-repainted")

namespace timeline {

enum class Event {
#define TIMELINE_EVENT_ID(id, name) id,
    TIMELINE_EVENTS(TIMELINE_EVENT_ID)
#undef TIMELINE_EVENT_ID
};

inline constexpr const char *kNames[] = {
#define TIMELINE_EVENT_NAME(id, name) name,
    TIMELINE_EVENTS(TIMELINE_EVENT_NAME)
#undef TIMELINE_EVENT_NAME
};

inline constexpr const char *Name(Event event) { return kNames[static_cast<int>(event)]; }

// The event of that name, if the timeline writes one.
inline std::optional<Event> EventNamed(std::string_view name) {
    for (size_t i = 0; i < sizeof kNames / sizeof kNames[0]; ++i)
        if (name == kNames[i]) return static_cast<Event>(i);
    return std::nullopt;
}

}  // namespace timeline
