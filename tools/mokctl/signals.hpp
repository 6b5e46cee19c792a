// Ctrl-C and SIGTERM end a command's waits instead of the process, so the
// files it writes are closed properly; a closed pipe shows as a failed write
// instead of ending it.
#pragma once

namespace mokctl {

// Installs the handlers; commands that write files as they go call it first.
void catch_interrupt();
// Whether Ctrl-C or SIGTERM arrived since.
bool interrupted();

}  // namespace mokctl
