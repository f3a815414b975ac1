#pragma once

#include <string>

// A second launcher of a project's development server in a terminal window,
// on the server's default address. Nothing in the program uses it yet.
class DjangoManager
{
public:
    DjangoManager() = default;

    // 0 when the terminal was started, 1 when no child process could be made.
    int launch(std::string path);
};
