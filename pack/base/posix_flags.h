// posix_flags.h: the open() flags the tool asks for, as 0 where the platform
// lacks them (Windows' C library has no links to refuse and no exec to close
// a descriptor across; it needs O_BINARY, which POSIX lacks).
#pragma once
#include <fcntl.h>
#ifdef _WIN32
#include <io.h>
#endif

#ifndef O_BINARY
#define O_BINARY 0
#endif
#ifndef O_NONBLOCK
#define O_NONBLOCK 0
#endif
#ifndef O_CLOEXEC
#define O_CLOEXEC 0
#endif
#ifndef O_NOFOLLOW
#define O_NOFOLLOW 0
#endif
#ifndef O_DIRECTORY
#define O_DIRECTORY 0
#endif
