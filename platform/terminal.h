#pragma once

// Whether a standard stream reaches a person: progress lines are drawn only
// on a terminal, never into a pipe or a file.
namespace Terminal {

// True when the file descriptor is open on a terminal.
bool isTerminal(int fd);

} // namespace Terminal
