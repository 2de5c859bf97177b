// A preload library that makes the Nth file-system call of a process fail, so that the tests can
// see what every write path does when the disk fills up, breaks or turns read-only halfway.
//
// Only calls on files below WH_FAULT_ROOT count (sockets, pipes, standard output, the TLS
// libraries' certificate reads and the system's own files never do). The environment arms it:
//   WH_FAULT_ROOT     folder whose files count (required; without it nothing counts or fails)
//   WH_FAULT_CALLS    comma-separated call names that count, or "all" (the default)
//   WH_FAULT_NTH      the counted call that fails (1-based); 0 or unset: nothing fails
//   WH_FAULT_ERRNO    ENOSPC (default), EIO, EACCES or EROFS
//   WH_FAULT_PERSIST  1: every counted call after the Nth fails too, as a full disk stays full
// A call fails only with an error it can meet: opening for reading never fails with ENOSPC or
// EROFS; opening a file that exists and removing never fail with ENOSPC; and after the disk has
// filled up, rewriting bytes a file already has, renaming and syncing still work. Such calls count
// all the same, so N names the same call whatever the error.
//   WH_FAULT_REPORT   file that gets "injected NAME N PATH" at the failure and "count N" at the
//                     process's orderly end; without it the count goes to standard error
//   WH_FAULT_TRACE    1: the report also gets "call N NAME PATH" for every counted call
//
// glibc's stdio writes through internal calls that a preload does not see, so the stdio entry
// points (fopen, fwrite, fflush, fclose) are counted themselves; the same holds for mkstemp and
// remove, which open and unlink internally.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdio_ext.h>
#include <stdlib.h>
#include <string.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <unistd.h>

static int g_ready;
static char g_root[PATH_MAX];
static size_t g_rootLen;
static char g_realRoot[PATH_MAX];
static size_t g_realRootLen;
static char g_calls[1024]; // ",name,name," or empty for all
static unsigned long g_nth;
static int g_errno = ENOSPC;
static int g_persist;
static int g_trace;
static char g_report[PATH_MAX];
static unsigned long g_count;
static int g_injected;

#define REAL(name) ((__typeof__(&name))Real(#name))

static void* Real(const char* name)
{
    void* fn = dlsym(RTLD_NEXT, name);
    if (!fn) {
        static const char text[] = "faultinject: a libc function is missing\n";
        (void)!syscall(SYS_write, 2, text, sizeof text - 1);
        abort();
    }
    return fn;
}

static int ErrnoByName(const char* name)
{
    if (!name || !*name || strcmp(name, "ENOSPC") == 0) {
        return ENOSPC;
    }
    if (strcmp(name, "EIO") == 0) {
        return EIO;
    }
    if (strcmp(name, "EACCES") == 0) {
        return EACCES;
    }
    if (strcmp(name, "EROFS") == 0) {
        return EROFS;
    }
    return atoi(name) > 0 ? atoi(name) : ENOSPC;
}

static void Init(void)
{
    if (g_ready) {
        return;
    }
    g_ready = 1;
    const char* root = getenv("WH_FAULT_ROOT");
    if (!root || root[0] != '/' || strlen(root) >= sizeof g_root) {
        return;
    }
    strcpy(g_root, root);
    g_rootLen = strlen(g_root);
    while (g_rootLen > 1 && g_root[g_rootLen - 1] == '/') {
        g_root[--g_rootLen] = '\0';
    }
    if (realpath(g_root, g_realRoot)) {
        g_realRootLen = strlen(g_realRoot);
    }
    const char* calls = getenv("WH_FAULT_CALLS");
    if (calls && *calls && strcmp(calls, "all") != 0 && strlen(calls) + 3 < sizeof g_calls) {
        snprintf(g_calls, sizeof g_calls, ",%s,", calls);
    }
    const char* nth = getenv("WH_FAULT_NTH");
    g_nth = nth ? strtoul(nth, NULL, 10) : 0;
    g_errno = ErrnoByName(getenv("WH_FAULT_ERRNO"));
    const char* persist = getenv("WH_FAULT_PERSIST");
    g_persist = persist && strcmp(persist, "1") == 0;
    const char* trace = getenv("WH_FAULT_TRACE");
    g_trace = trace && strcmp(trace, "1") == 0;
    const char* report = getenv("WH_FAULT_REPORT");
    if (report && strlen(report) < sizeof g_report) {
        strcpy(g_report, report);
    }
}

static void Report(const char* line)
{
    if (!g_report[0]) {
        (void)!syscall(SYS_write, 2, line, strlen(line));
        return;
    }
    const int fd = (int)syscall(SYS_openat, AT_FDCWD, g_report, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd >= 0) {
        (void)!syscall(SYS_write, fd, line, strlen(line));
        syscall(SYS_close, fd);
    }
}

static int Below(const char* path, const char* root, size_t length)
{
    return length > 0 && strncmp(path, root, length) == 0 && (path[length] == '/' || path[length] == '\0');
}

static int AbsoluteBelowRoot(const char* path)
{
    return Below(path, g_root, g_rootLen) || Below(path, g_realRoot, g_realRootLen);
}

// The absolute form of `path` relative to `dirfd` (lexically; enough for the tool's own paths).
static int PathBelowRoot(int dirfd, const char* path, char* shown, size_t shownSize)
{
    if (!path) {
        return 0;
    }
    if (path[0] == '/') {
        snprintf(shown, shownSize, "%s", path);
        return AbsoluteBelowRoot(path);
    }
    char base[PATH_MAX];
    if (dirfd == AT_FDCWD) {
        if (!getcwd(base, sizeof base)) {
            return 0;
        }
    } else {
        char link[64];
        snprintf(link, sizeof link, "/proc/self/fd/%d", dirfd);
        const ssize_t n = readlink(link, base, sizeof base - 1);
        if (n <= 0) {
            return 0;
        }
        base[n] = '\0';
    }
    snprintf(shown, shownSize, "%s/%s", base, path);
    return AbsoluteBelowRoot(shown);
}

// Whether the open descriptor names a file below the root (asked of the kernel each time, so a
// descriptor number that is reused for a socket never counts).
static int FdBelowRoot(int fd, char* shown, size_t shownSize)
{
    if (fd < 0) {
        return 0;
    }
    char link[64];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t n = readlink(link, shown, shownSize - 1);
    if (n <= 0) {
        return 0;
    }
    shown[n] = '\0';
    return AbsoluteBelowRoot(shown);
}

static int Selected(const char* name)
{
    if (!g_calls[0]) {
        return 1;
    }
    char key[64];
    snprintf(key, sizeof key, ",%s,", name);
    return strstr(g_calls, key) != NULL;
}

// What a call does to the disk, for the errors it can meet. A full disk still opens files for
// reading, removes files and rewrites bytes a file already has; only the call that meets the full
// disk first may fail on anything that changes the disk. A read-only disk still opens for reading.
enum CallKind {
    kAllocates, // makes a file or folder, or writes past a file's end
    kRewrites, // changes what exists without needing room
    kOpensExisting, // opens a file that exists for writing
    kReadOnlyOpen,
    kRemoves,
};

static int CanFailWith(enum CallKind kind, int error, int afterNth)
{
    switch (kind) {
    case kReadOnlyOpen:
        return error != ENOSPC && error != EROFS;
    case kRemoves:
    case kOpensExisting:
        return error != ENOSPC;
    case kRewrites:
        return !(afterNth && error == ENOSPC);
    default:
        return 1;
    }
}

// Counts one call on a file below the root; true (errno set) when this call is to fail.
static int FailsAs(const char* name, const char* path, enum CallKind kind)
{
    if (!Selected(name)) {
        return 0;
    }
    const unsigned long n = __atomic_add_fetch(&g_count, 1, __ATOMIC_SEQ_CST);
    char line[PATH_MAX + 128];
    if (g_trace) {
        snprintf(line, sizeof line, "call %lu %s %s\n", n, name, path);
        Report(line);
    }
    if (g_nth == 0 || n < g_nth || (n > g_nth && !g_persist) || !CanFailWith(kind, g_errno, n > g_nth)) {
        return 0;
    }
    if (n == g_nth) {
        g_injected = 1;
        snprintf(line, sizeof line, "injected %s %lu %s\n", name, n, path);
        Report(line);
    }
    errno = g_errno;
    return 1;
}

static int PathFailsAs(const char* name, int dirfd, const char* path, enum CallKind kind)
{
    Init();
    char shown[PATH_MAX * 2];
    return g_rootLen && PathBelowRoot(dirfd, path, shown, sizeof shown) && FailsAs(name, shown, kind);
}

static int PathFails(const char* name, int dirfd, const char* path)
{
    return PathFailsAs(name, dirfd, path, kAllocates);
}

static int RewriteFails(const char* name, int dirfd, const char* path)
{
    return PathFailsAs(name, dirfd, path, kRewrites);
}

static int RemovalFails(const char* name, int dirfd, const char* path)
{
    return PathFailsAs(name, dirfd, path, kRemoves);
}

static enum CallKind OpenKind(int dirfd, const char* path, int flags)
{
    if ((flags & O_ACCMODE) == O_RDONLY && !(flags & (O_CREAT | O_TRUNC))) {
        return kReadOnlyOpen;
    }
    return faccessat(dirfd, path, F_OK, 0) != 0 ? kAllocates : kOpensExisting;
}

static enum CallKind FopenKind(const char* path, const char* mode)
{
    if (mode && mode[0] == 'r' && !strchr(mode, '+')) {
        return kReadOnlyOpen;
    }
    return access(path, F_OK) != 0 ? kAllocates : kOpensExisting;
}

static int FdFailsAs(const char* name, int fd, enum CallKind kind)
{
    Init();
    char shown[PATH_MAX];
    return g_rootLen && FdBelowRoot(fd, shown, sizeof shown) && FailsAs(name, shown, kind);
}

static int FdFails(const char* name, int fd)
{
    return FdFailsAs(name, fd, kAllocates);
}

// Whether writing `size` bytes at `offset` (-1: the descriptor's position) goes past the end.
static enum CallKind WriteKind(int fd, off64_t offset, size_t size)
{
    struct stat64 info;
    if (fstat64(fd, &info) != 0) {
        return kAllocates;
    }
    if (offset < 0) {
        const int flags = fcntl(fd, F_GETFL);
        offset = flags >= 0 && (flags & O_APPEND) ? info.st_size : lseek64(fd, 0, SEEK_CUR);
    }
    return offset < 0 || offset + (off64_t)size > info.st_size ? kAllocates : kRewrites;
}

static size_t VectorSize(const struct iovec* parts, int count)
{
    size_t size = 0;
    for (int i = 0; i < count; ++i) {
        size += parts[i].iov_len;
    }
    return size;
}

static enum CallKind TruncateKind(int fd, off64_t length)
{
    struct stat64 info;
    return fstat64(fd, &info) == 0 && length <= info.st_size ? kRewrites : kAllocates;
}

static int StreamFails(const char* name, FILE* stream)
{
    return stream && FdFails(name, fileno(stream));
}

__attribute__((destructor)) static void ReportCount(void)
{
    Init();
    if (!g_rootLen) {
        return;
    }
    char line[64];
    snprintf(line, sizeof line, "count %lu\n", __atomic_load_n(&g_count, __ATOMIC_SEQ_CST));
    Report(line);
}

static int TakesMode(int flags)
{
    return (flags & O_CREAT) || (flags & __O_TMPFILE) == __O_TMPFILE;
}

// --- opening -------------------------------------------------------------------------------

#define OPEN_WRAPPER(name, realName)                                                                                   \
    int name(const char* path, int flags, ...)                                                                         \
    {                                                                                                                  \
        mode_t mode = 0;                                                                                               \
        if (TakesMode(flags)) {                                                                                        \
            va_list args;                                                                                              \
            va_start(args, flags);                                                                                     \
            mode = va_arg(args, mode_t);                                                                               \
            va_end(args);                                                                                              \
        }                                                                                                              \
        if (PathFailsAs(#realName, AT_FDCWD, path, OpenKind(AT_FDCWD, path, flags))) {                                 \
            return -1;                                                                                                 \
        }                                                                                                              \
        return REAL(name)(path, flags, mode);                                                                          \
    }
OPEN_WRAPPER(open, open)
OPEN_WRAPPER(open64, open)

#define OPENAT_WRAPPER(name)                                                                                           \
    int name(int dirfd, const char* path, int flags, ...)                                                              \
    {                                                                                                                  \
        mode_t mode = 0;                                                                                               \
        if (TakesMode(flags)) {                                                                                        \
            va_list args;                                                                                              \
            va_start(args, flags);                                                                                     \
            mode = va_arg(args, mode_t);                                                                               \
            va_end(args);                                                                                              \
        }                                                                                                              \
        if (PathFailsAs("openat", dirfd, path, OpenKind(dirfd, path, flags))) {                                        \
            return -1;                                                                                                 \
        }                                                                                                              \
        return REAL(name)(dirfd, path, flags, mode);                                                                   \
    }
OPENAT_WRAPPER(openat)
OPENAT_WRAPPER(openat64)

// The checked forms that _FORTIFY_SOURCE builds call.
int __open_2(const char* path, int flags)
{
    return PathFailsAs("open", AT_FDCWD, path, OpenKind(AT_FDCWD, path, flags)) ? -1 : REAL(__open_2)(path, flags);
}
int __open64_2(const char* path, int flags)
{
    return PathFailsAs("open", AT_FDCWD, path, OpenKind(AT_FDCWD, path, flags)) ? -1 : REAL(__open64_2)(path, flags);
}
int __openat_2(int dirfd, const char* path, int flags)
{
    return PathFailsAs("openat", dirfd, path, OpenKind(dirfd, path, flags)) ? -1 : REAL(__openat_2)(dirfd, path, flags);
}
int __openat64_2(int dirfd, const char* path, int flags)
{
    return PathFailsAs("openat", dirfd, path, OpenKind(dirfd, path, flags)) ? -1
                                                                            : REAL(__openat64_2)(dirfd, path, flags);
}

int creat(const char* path, mode_t mode)
{
    return PathFails("creat", AT_FDCWD, path) ? -1 : REAL(creat)(path, mode);
}
int creat64(const char* path, mode_t mode)
{
    return PathFails("creat", AT_FDCWD, path) ? -1 : REAL(creat64)(path, mode);
}

FILE* fopen(const char* path, const char* mode)
{
    return PathFailsAs("fopen", AT_FDCWD, path, FopenKind(path, mode)) ? NULL : REAL(fopen)(path, mode);
}
FILE* fopen64(const char* path, const char* mode)
{
    return PathFailsAs("fopen", AT_FDCWD, path, FopenKind(path, mode)) ? NULL : REAL(fopen64)(path, mode);
}

#define MKSTEMP_WRAPPER(name, params, args)                                                                            \
    int name params                                                                                                    \
    {                                                                                                                  \
        if (PathFails("mkstemp", AT_FDCWD, templ)) {                                                                   \
            return -1;                                                                                                 \
        }                                                                                                              \
        return REAL(name) args;                                                                                        \
    }
MKSTEMP_WRAPPER(mkstemp, (char* templ), (templ))
MKSTEMP_WRAPPER(mkstemp64, (char* templ), (templ))
MKSTEMP_WRAPPER(mkostemp, (char* templ, int flags), (templ, flags))
MKSTEMP_WRAPPER(mkostemp64, (char* templ, int flags), (templ, flags))

// --- writing -------------------------------------------------------------------------------

ssize_t write(int fd, const void* data, size_t size)
{
    return FdFailsAs("write", fd, WriteKind(fd, -1, size)) ? -1 : REAL(write)(fd, data, size);
}
ssize_t pwrite(int fd, const void* data, size_t size, off_t offset)
{
    return FdFailsAs("pwrite", fd, WriteKind(fd, offset, size)) ? -1 : REAL(pwrite)(fd, data, size, offset);
}
ssize_t pwrite64(int fd, const void* data, size_t size, off64_t offset)
{
    return FdFailsAs("pwrite", fd, WriteKind(fd, offset, size)) ? -1 : REAL(pwrite64)(fd, data, size, offset);
}
ssize_t writev(int fd, const struct iovec* parts, int count)
{
    return FdFailsAs("writev", fd, WriteKind(fd, -1, VectorSize(parts, count))) ? -1 : REAL(writev)(fd, parts, count);
}
ssize_t pwritev(int fd, const struct iovec* parts, int count, off_t offset)
{
    return FdFailsAs("pwritev", fd, WriteKind(fd, offset, VectorSize(parts, count)))
        ? -1
        : REAL(pwritev)(fd, parts, count, offset);
}
ssize_t pwritev64(int fd, const struct iovec* parts, int count, off64_t offset)
{
    return FdFailsAs("pwritev", fd, WriteKind(fd, offset, VectorSize(parts, count)))
        ? -1
        : REAL(pwritev64)(fd, parts, count, offset);
}

size_t fwrite(const void* data, size_t size, size_t count, FILE* stream)
{
    return StreamFails("fwrite", stream) ? 0 : REAL(fwrite)(data, size, count, stream);
}

// A failed flush loses what the stream held, as a write refused by a full disk does.
int fflush(FILE* stream)
{
    if (StreamFails("fflush", stream)) {
        const int error = errno;
        __fpurge(stream);
        errno = error;
        return EOF;
    }
    return REAL(fflush)(stream);
}

// A failed close still releases the stream, and what it held is lost.
int fclose(FILE* stream)
{
    if (StreamFails("fclose", stream)) {
        const int error = errno;
        __fpurge(stream);
        REAL(fclose)(stream);
        errno = error;
        return EOF;
    }
    return REAL(fclose)(stream);
}

int fsync(int fd)
{
    return FdFailsAs("fsync", fd, kRewrites) ? -1 : REAL(fsync)(fd);
}
int fdatasync(int fd)
{
    return FdFailsAs("fdatasync", fd, kRewrites) ? -1 : REAL(fdatasync)(fd);
}
int ftruncate(int fd, off_t length)
{
    return FdFailsAs("ftruncate", fd, TruncateKind(fd, length)) ? -1 : REAL(ftruncate)(fd, length);
}
int ftruncate64(int fd, off64_t length)
{
    return FdFailsAs("ftruncate", fd, TruncateKind(fd, length)) ? -1 : REAL(ftruncate64)(fd, length);
}
int truncate(const char* path, off_t length)
{
    return PathFails("truncate", AT_FDCWD, path) ? -1 : REAL(truncate)(path, length);
}
int truncate64(const char* path, off64_t length)
{
    return PathFails("truncate", AT_FDCWD, path) ? -1 : REAL(truncate64)(path, length);
}
int fchmod(int fd, mode_t mode)
{
    return FdFailsAs("fchmod", fd, kRewrites) ? -1 : REAL(fchmod)(fd, mode);
}
int fchown(int fd, uid_t owner, gid_t group)
{
    return FdFailsAs("fchown", fd, kRewrites) ? -1 : REAL(fchown)(fd, owner, group);
}
int chmod(const char* path, mode_t mode)
{
    return RewriteFails("chmod", AT_FDCWD, path) ? -1 : REAL(chmod)(path, mode);
}

// std::filesystem::copy_file moves the bytes with one of these.
ssize_t copy_file_range(int in, off64_t* inOffset, int out, off64_t* outOffset, size_t size, unsigned flags)
{
    return FdFails("copy_file_range", out) ? -1 : REAL(copy_file_range)(in, inOffset, out, outOffset, size, flags);
}
ssize_t sendfile(int out, int in, off_t* offset, size_t size)
{
    return FdFails("sendfile", out) ? -1 : REAL(sendfile)(out, in, offset, size);
}
ssize_t sendfile64(int out, int in, off64_t* offset, size_t size)
{
    return FdFails("sendfile", out) ? -1 : REAL(sendfile64)(out, in, offset, size);
}

// --- names ---------------------------------------------------------------------------------

int rename(const char* from, const char* to)
{
    return RewriteFails("rename", AT_FDCWD, to) ? -1 : REAL(rename)(from, to);
}
int renameat(int fromDir, const char* from, int toDir, const char* to)
{
    return RewriteFails("renameat", toDir, to) ? -1 : REAL(renameat)(fromDir, from, toDir, to);
}
int renameat2(int fromDir, const char* from, int toDir, const char* to, unsigned flags)
{
    return RewriteFails("renameat2", toDir, to) ? -1 : REAL(renameat2)(fromDir, from, toDir, to, flags);
}
int link(const char* from, const char* to)
{
    return PathFails("link", AT_FDCWD, to) ? -1 : REAL(link)(from, to);
}
int linkat(int fromDir, const char* from, int toDir, const char* to, int flags)
{
    return PathFails("linkat", toDir, to) ? -1 : REAL(linkat)(fromDir, from, toDir, to, flags);
}
int unlink(const char* path)
{
    return RemovalFails("unlink", AT_FDCWD, path) ? -1 : REAL(unlink)(path);
}
int unlinkat(int dirfd, const char* path, int flags)
{
    return RemovalFails("unlinkat", dirfd, path) ? -1 : REAL(unlinkat)(dirfd, path, flags);
}
int remove(const char* path)
{
    return RemovalFails("remove", AT_FDCWD, path) ? -1 : REAL(remove)(path);
}
int rmdir(const char* path)
{
    return RemovalFails("rmdir", AT_FDCWD, path) ? -1 : REAL(rmdir)(path);
}
int mkdir(const char* path, mode_t mode)
{
    return PathFails("mkdir", AT_FDCWD, path) ? -1 : REAL(mkdir)(path, mode);
}
int mkdirat(int dirfd, const char* path, mode_t mode)
{
    return PathFails("mkdirat", dirfd, path) ? -1 : REAL(mkdirat)(dirfd, path, mode);
}
