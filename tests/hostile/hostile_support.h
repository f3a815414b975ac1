#pragma once

// What the hostile-input and process-hygiene suites share.

#include "test_support.h"

#include <QByteArray>
#include <QString>

#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace kh {

// Root reads every file whatever its mode; for the object's life this process
// keeps its other powers but honours file permissions like anyone else.
class FilePermissionsApply
{
public:
    FilePermissionsApply()
    {
        if (::syscall(SYS_capget, &header, saved) != 0)
            return;
        __user_cap_data_struct reduced[2] = {saved[0], saved[1]};
        reduced[0].effective &= ~((1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH));
        active = ::syscall(SYS_capset, &header, reduced) == 0;
    }
    ~FilePermissionsApply()
    {
        if (active)
            ::syscall(SYS_capset, &header, saved);
    }
    bool applies() const { return active || ::geteuid() != 0; }

private:
    __user_cap_header_struct header {_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct saved[2] {};
    bool active = false;
};

using kt::has_ended;

} // namespace kh
