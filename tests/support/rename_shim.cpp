// A file system without the exclusive rename, as NFS and FUSE homes are:
// while KESTROVA_REFUSE_EXCLUSIVE_RENAME is set, renameat2 with
// RENAME_NOREPLACE fails with EINVAL. Linked into a program, it takes the
// place of the C library's renameat2 for the whole program.
#include <cerrno>
#include <cstdlib>
#include <dlfcn.h>
#include <fcntl.h>
#include <stdio.h>

extern "C" int renameat2(int from_folder, const char* from, int to_folder, const char* to, unsigned int flags) noexcept
{
    if ((flags & RENAME_NOREPLACE) && std::getenv("KESTROVA_REFUSE_EXCLUSIVE_RENAME")) {
        errno = EINVAL;
        return -1;
    }
    using Real = int (*)(int, const char*, int, const char*, unsigned int);
    static const auto real = reinterpret_cast<Real>(::dlsym(RTLD_NEXT, "renameat2"));
    return real(from_folder, from, to_folder, to, flags);
}
