#pragma once

// What the hostile-input and process-hygiene suites share.

#include "test_support.h"

#include <QByteArray>
#include <QString>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <thread>

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

// For the object's life, ends this process with a message once what runs
// has taken `seconds`, or `megabytes` more memory: a named pipe that blocks
// for good or a device read without end then fails the suite instead of
// holding it or starving the machine it shares.
class Guard
{
public:
    explicit Guard(const QByteArray& what, int seconds = 10, long megabytes = 512)
        : what(what), limit(resident_mib() + megabytes)
    {
        watcher = std::thread([this, seconds] {
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
            std::unique_lock<std::mutex> lock(mutex);
            while (!done) {
                const bool late = std::chrono::steady_clock::now() > deadline;
                const long resident = resident_mib();
                if (late || resident > limit) {
                    std::fprintf(stderr, "FAIL! %s: %s\n", this->what.constData(),
                                 late ? qPrintable(QString("still running after %1 s").arg(seconds))
                                      : qPrintable(QString("%1 MiB resident, more than %2").arg(resident).arg(limit)));
                    std::abort();
                }
                ended.wait_for(lock, std::chrono::milliseconds(20));
            }
        });
    }
    ~Guard()
    {
        {
            std::lock_guard<std::mutex> lock(mutex);
            done = true;
        }
        ended.notify_one();
        watcher.join();
    }
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;

private:
    static long resident_mib()
    {
        std::ifstream statm("/proc/self/statm");
        long size = 0, resident = 0;
        statm >> size >> resident;
        return resident * (::sysconf(_SC_PAGESIZE) / 1024) / 1024;
    }

    QByteArray what;
    long limit;
    std::mutex mutex;
    std::condition_variable ended;
    bool done = false;
    std::thread watcher;
};

using kt::has_ended;

} // namespace kh
