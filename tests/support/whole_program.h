#pragma once

#include "startup.h"

class QWidget;

namespace kt {

// The program's whole start-up, event loop and teardown, in this process,
// as if started with no argument; `shown` sees the window once it is shown.
inline int run_whole_program(void (*shown)(QWidget&))
{
    char name[] = "kestrova";
    char* argv[] = {name, nullptr};
    int argc = 1;
    return run_kestrova(argc, argv, shown);
}

} // namespace kt
