#include "test_support.h"

#include <cerrno>
#include <cstdio>
#include <dlfcn.h>

namespace {

bool refusing = false;

} // namespace

// In its own object so that only the suites that refuse pipes take this popen.
// It fails as the system's does when the process has no descriptor left.
extern "C" FILE* popen(const char* command, const char* modes)
{
    if (refusing) {
        errno = EMFILE;
        return nullptr;
    }
    using Popen = FILE* (*)(const char*, const char*);
    static const auto system_popen = reinterpret_cast<Popen>(::dlsym(RTLD_NEXT, "popen"));
    return system_popen(command, modes);
}

namespace kt {

CommandPipesRefused::CommandPipesRefused()
{
    refusing = true;
}

CommandPipesRefused::~CommandPipesRefused()
{
    refusing = false;
}

} // namespace kt
