#pragma once

namespace VESK::frame {

// Runs a program's service loop between the two notices a service manager of
// Type=notify waits for: "READY=1" once start-up is done, "STOPPING=1" as soon
// as the loop has returned (before the service releases its connections).
// Blocks for as long as run does. Sends nothing when the program was not
// started by such a manager (no NOTIFY_SOCKET) or was built without libsystemd.
void RunReady(void (*run)());

}  // namespace VESK::frame
