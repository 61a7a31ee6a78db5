#pragma once
// The direction markers that stand between a traffic-log line's time stamp
// and its protocol text. The window's log writes them; the checker's log
// reader, the command-file reader and the log view's colouring read them
// back. They live here, once, beside the checker, which uses nothing of the
// window.

#include <QLatin1String>

namespace LogMarker {
constexpr QLatin1String Operator(">>> "); // a command the operator sent
constexpr QLatin1String Server("<<< "); // a server line that stays in the window
constexpr QLatin1String ToRelay("<$< "); // a server line passed on to the relay client
constexpr QLatin1String Faked("<F< "); // a line made up or altered by the simulator
constexpr QLatin1String FakedReply("<F<"); // a made-up reply to a command (no blank)
constexpr QLatin1String FromRelay(">$> "); // a command from the relay client
constexpr QLatin1String Rewritten(">R>"); // a command rewritten before it went out (no blank)
} // namespace LogMarker
