// What zel-borrow does differently on Windows and natively: catching Ctrl-C, waiting for a key,
// running a command. One source file per platform implements it; the build picks the file.
#pragma once

#include <string>
#include <utility>
#include <vector>

// From now on Ctrl-C (and Ctrl-Break on Windows, SIGTERM and SIGHUP natively) ends the program's
// waits instead of the program. On Windows, when the console is closed or the session ends, the
// system ends the program as soon as the handler returns: the handler then calls `lastChance`,
// which must hand the display back at once.
void CatchInterrupts(void (*lastChance)());

// Whether an interrupt has come since CatchInterrupts.
bool Interrupted();

// Waits until a key is pressed (standard input is a terminal or console), a line or the end of
// the input comes (it is not), or an interrupt comes.
void WaitForKeyOrInterrupt();

// Runs `command` (the program is looked for in PATH) with `environment` added to this process's
// environment, and waits for it to end. Returns its exit status, or -1 with the reason in `error`
// when it could not be started. An interrupt meanwhile reaches the command too (natively it is
// passed on; on Windows the console sends it to both); the wait goes on until the command ends.
int RunCommand(const std::vector<std::string>& command,
               const std::vector<std::pair<std::string, std::string>>& environment,
               std::string& error);
