#pragma once
// Calls into the operating system below Qt.

#include <QtGlobal>

namespace platform {
// Ends the sending half of a connected socket (a FIN).
void ShutdownSend(qintptr socket);
// A second handle on the same socket, not inherited by child processes; -1 on failure.
qintptr DuplicateSocket(qintptr socket);
void CloseSocket(qintptr socket);
} // namespace platform
