// What a service tells the manager that runs it (systemd's notification
// protocol: one datagram of KEY=VALUE lines to the socket NOTIFY_SOCKET
// names), without libsystemd: that it is ready, that it is alive for the
// watchdog, that it is stopping. Where no manager listens, nothing is sent.
#pragma once

#include <cstdint>
#include <string>

// Sends state ("READY=1", "WATCHDOG=1", "STOPPING=1"...); false when no
// manager asked for notifications or the datagram did not go.
bool NotifyServiceManager(const std::string& state);

// How often the manager's watchdog expects "WATCHDOG=1" of this process,
// in microseconds (WATCHDOG_USEC, for this process when WATCHDOG_PID says
// so); 0 when there is no watchdog.
std::int64_t ServiceWatchdogMicroseconds();
