#include "platform/terminal.h"

#include <unistd.h>

bool Terminal::isTerminal(int fd)
{
    return ::isatty(fd) == 1;
}
