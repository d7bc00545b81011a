// The libc entry points through which a process reaches a device node:
// every variant of open that a plain open() can compile to, read (plain and
// fortified), write, close, fcntl (for the copies it makes), and stat (what
// a node looks like: tarvel-pos-check asks). A path or
// descriptor of a simulated node goes to the driver model; everything else
// goes on to the next definition of the same function (a sanitizer's
// interceptor or libc), found with dlsym(RTLD_NEXT) on first use.
//
// Fortified wrappers would clash with the definitions below.
#undef _FORTIFY_SOURCE

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "trvsim.h"
#include "trvsim_internal.h"

extern "C" {
int __open_2(const char *path, int flags);
int __open64_2(const char *path, int flags);
int __openat_2(int dirfd, const char *path, int flags);
int __openat64_2(int dirfd, const char *path, int flags);
ssize_t __read_chk(int fd, void *buf, size_t n, size_t buflen);
}

namespace {

// Set while this thread is inside dlsym: a libc call that dlsym makes
// (early in a process, or inside a sanitizer's start-up) must not resolve
// again, and goes straight to the system call.
__thread int t_resolving __attribute__((tls_model("initial-exec")));

struct Slot {
	const char *name;
	std::atomic<void *> fn{nullptr};
};

Slot s_open{"open"}, s_open64{"open64"}, s_openat{"openat"}, s_openat64{"openat64"};
Slot s_open_2{"__open_2"}, s_open64_2{"__open64_2"};
Slot s_openat_2{"__openat_2"}, s_openat64_2{"__openat64_2"};
Slot s_read{"read"}, s_read_chk{"__read_chk"}, s_write{"write"}, s_close{"close"};
Slot s_fcntl{"fcntl"}, s_fcntl64{"fcntl64"};
Slot s_stat{"stat"}, s_stat64{"stat64"}, s_lstat{"lstat"}, s_lstat64{"lstat64"};
Slot s_fstatat{"fstatat"}, s_fstatat64{"fstatat64"};

// The next definition of the slot's function, or nullptr while this thread
// is already resolving (or when there is none).
template <typename F>
F next_fn(Slot &slot)
{
	void *p = slot.fn.load(std::memory_order_acquire);
	if (p == nullptr && !t_resolving) {
		t_resolving = 1;
		p = dlsym(RTLD_NEXT, slot.name);
		t_resolving = 0;
		if (p != nullptr)
			slot.fn.store(p, std::memory_order_release);
	}
	return reinterpret_cast<F>(p);
}

using OpenFn = int (*)(const char *, int, ...);
using OpenatFn = int (*)(int, const char *, int, ...);
using Open2Fn = int (*)(const char *, int);
using Openat2Fn = int (*)(int, const char *, int);
using ReadFn = ssize_t (*)(int, void *, size_t);
using ReadChkFn = ssize_t (*)(int, void *, size_t, size_t);
using WriteFn = ssize_t (*)(int, const void *, size_t);
using CloseFn = int (*)(int);
using FcntlFn = int (*)(int, int, ...);
using StatFn = int (*)(const char *, struct stat *);
using FstatatFn = int (*)(int, const char *, struct stat *, int);

// stat and lstat of a node's path answer from the driver model (a node is
// a character device, never a link); other paths go on.
int do_stat(Slot &slot, const char *path, struct stat *st)
{
	int node = trvsim_node_of_path(path);
	if (node >= 0)
		return trvsim::sim_stat(node, st);
	if (auto fn = next_fn<StatFn>(slot))
		return fn(path, st);
	return static_cast<int>(syscall(SYS_newfstatat, AT_FDCWD, path, st, 0));
}

int do_fstatat(Slot &slot, int dirfd, const char *path, struct stat *st, int flags)
{
	int node = trvsim_node_of_path(path);
	if (node >= 0)
		return trvsim::sim_stat(node, st);
	if (auto fn = next_fn<FstatatFn>(slot))
		return fn(dirfd, path, st, flags);
	return static_cast<int>(syscall(SYS_newfstatat, dirfd, path, st, flags));
}

bool takes_mode(int flags)
{
	return (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE;
}

int sys_openat(int dirfd, const char *path, int flags, mode_t mode)
{
	return static_cast<int>(syscall(SYS_openat, dirfd, path, flags, mode));
}

int do_open(Slot &slot, const char *path, int flags, mode_t mode)
{
	int node = trvsim_node_of_path(path);
	if (node >= 0)
		return trvsim::sim_open(node, flags);
	if (auto fn = next_fn<OpenFn>(slot))
		return fn(path, flags, mode);
	return sys_openat(AT_FDCWD, path, flags, mode);
}

int do_openat(Slot &slot, int dirfd, const char *path, int flags, mode_t mode)
{
	// Only absolute paths can name a node, and they ignore dirfd.
	int node = trvsim_node_of_path(path);
	if (node >= 0)
		return trvsim::sim_open(node, flags);
	if (auto fn = next_fn<OpenatFn>(slot))
		return fn(dirfd, path, flags, mode);
	return sys_openat(dirfd, path, flags, mode);
}

// fcntl passes its third argument on untouched (as libc itself reads it: one
// pointer-sized word). A copy of a node's descriptor (F_DUPFD,
// F_DUPFD_CLOEXEC) is a descriptor of the same node.
int do_fcntl(Slot &slot, int fd, int cmd, void *arg)
{
	int r;
	if (auto fn = next_fn<FcntlFn>(slot))
		r = fn(fd, cmd, arg);
	else
		r = static_cast<int>(syscall(SYS_fcntl, fd, cmd, arg));
	if (r >= 0 && (cmd == F_DUPFD || cmd == F_DUPFD_CLOEXEC) && trvsim::node_of_fd(fd) >= 0)
		trvsim::sim_dup(fd, r);
	return r;
}

[[noreturn]] void read_overflow()
{
	static const char msg[] = "*** buffer overflow detected ***: terminated\n";
	(void)trvsim::real::write(2, msg, sizeof msg - 1);
	std::abort();
}

} // namespace

namespace trvsim::real {

int open(const char *path, int flags, mode_t mode)
{
	if (auto fn = next_fn<OpenFn>(s_open))
		return fn(path, flags, mode);
	return sys_openat(AT_FDCWD, path, flags, mode);
}

ssize_t read(int fd, void *buf, size_t n)
{
	if (auto fn = next_fn<ReadFn>(s_read))
		return fn(fd, buf, n);
	return syscall(SYS_read, fd, buf, n);
}

ssize_t write(int fd, const void *buf, size_t n)
{
	if (auto fn = next_fn<WriteFn>(s_write))
		return fn(fd, buf, n);
	return syscall(SYS_write, fd, buf, n);
}

int close(int fd)
{
	if (auto fn = next_fn<CloseFn>(s_close))
		return fn(fd);
	return static_cast<int>(syscall(SYS_close, fd));
}

} // namespace trvsim::real

extern "C" {

#define TRVSIM_MODE_ARG(flags, mode)                                                       \
	mode_t mode = 0;                                                                   \
	if (takes_mode(flags)) {                                                           \
		va_list ap;                                                                \
		va_start(ap, flags);                                                       \
		mode = static_cast<mode_t>(va_arg(ap, int));                               \
		va_end(ap);                                                                \
	}

__attribute__((visibility("default"))) int open(const char *path, int flags, ...)
{
	TRVSIM_MODE_ARG(flags, mode)
	return do_open(s_open, path, flags, mode);
}

__attribute__((visibility("default"))) int open64(const char *path, int flags, ...)
{
	TRVSIM_MODE_ARG(flags, mode)
	return do_open(s_open64, path, flags, mode);
}

__attribute__((visibility("default"))) int openat(int dirfd, const char *path, int flags, ...)
{
	TRVSIM_MODE_ARG(flags, mode)
	return do_openat(s_openat, dirfd, path, flags, mode);
}

__attribute__((visibility("default"))) int openat64(int dirfd, const char *path, int flags, ...)
{
	TRVSIM_MODE_ARG(flags, mode)
	return do_openat(s_openat64, dirfd, path, flags, mode);
}

// The fortified opens: called without a mode, which they must not need.
__attribute__((visibility("default"))) int __open_2(const char *path, int flags)
{
	int node = trvsim_node_of_path(path);
	if (node >= 0)
		return trvsim::sim_open(node, flags);
	if (auto fn = next_fn<Open2Fn>(s_open_2))
		return fn(path, flags);
	return sys_openat(AT_FDCWD, path, flags, 0);
}

__attribute__((visibility("default"))) int __open64_2(const char *path, int flags)
{
	int node = trvsim_node_of_path(path);
	if (node >= 0)
		return trvsim::sim_open(node, flags);
	if (auto fn = next_fn<Open2Fn>(s_open64_2))
		return fn(path, flags);
	return sys_openat(AT_FDCWD, path, flags, 0);
}

__attribute__((visibility("default"))) int __openat_2(int dirfd, const char *path, int flags)
{
	int node = trvsim_node_of_path(path);
	if (node >= 0)
		return trvsim::sim_open(node, flags);
	if (auto fn = next_fn<Openat2Fn>(s_openat_2))
		return fn(dirfd, path, flags);
	return sys_openat(dirfd, path, flags, 0);
}

__attribute__((visibility("default"))) int __openat64_2(int dirfd, const char *path, int flags)
{
	int node = trvsim_node_of_path(path);
	if (node >= 0)
		return trvsim::sim_open(node, flags);
	if (auto fn = next_fn<Openat2Fn>(s_openat64_2))
		return fn(dirfd, path, flags);
	return sys_openat(dirfd, path, flags, 0);
}

__attribute__((visibility("default"))) ssize_t read(int fd, void *buf, size_t n)
{
	if (trvsim::node_of_fd(fd) >= 0)
		return trvsim::sim_read(fd, buf, n);
	return trvsim::note_closed_use(fd, trvsim::real::read(fd, buf, n));
}

__attribute__((visibility("default"))) ssize_t __read_chk(int fd, void *buf, size_t n,
							  size_t buflen)
{
	if (trvsim::node_of_fd(fd) >= 0) {
		if (n > buflen)
			read_overflow();
		return trvsim::sim_read(fd, buf, n);
	}
	if (auto fn = next_fn<ReadChkFn>(s_read_chk))
		return trvsim::note_closed_use(fd, fn(fd, buf, n, buflen));
	if (n > buflen)
		read_overflow();
	return trvsim::note_closed_use(fd, trvsim::real::read(fd, buf, n));
}

__attribute__((visibility("default"))) ssize_t write(int fd, const void *buf, size_t n)
{
	if (trvsim::node_of_fd(fd) >= 0)
		return trvsim::sim_write(fd, buf, n);
	return trvsim::note_closed_use(fd, trvsim::real::write(fd, buf, n));
}

__attribute__((visibility("default"))) int fcntl(int fd, int cmd, ...)
{
	va_list ap;
	va_start(ap, cmd);
	void *arg = va_arg(ap, void *);
	va_end(ap);
	return do_fcntl(s_fcntl, fd, cmd, arg);
}

__attribute__((visibility("default"))) int fcntl64(int fd, int cmd, ...)
{
	va_list ap;
	va_start(ap, cmd);
	void *arg = va_arg(ap, void *);
	va_end(ap);
	return do_fcntl(s_fcntl64, fd, cmd, arg);
}

__attribute__((visibility("default"))) int stat(const char *path, struct stat *st)
{
	return do_stat(s_stat, path, st);
}

__attribute__((visibility("default"))) int stat64(const char *path, struct stat64 *st)
{
	return do_stat(s_stat64, path, reinterpret_cast<struct stat *>(st));
}

__attribute__((visibility("default"))) int lstat(const char *path, struct stat *st)
{
	return do_stat(s_lstat, path, st);
}

__attribute__((visibility("default"))) int lstat64(const char *path, struct stat64 *st)
{
	return do_stat(s_lstat64, path, reinterpret_cast<struct stat *>(st));
}

__attribute__((visibility("default"))) int fstatat(int dirfd, const char *path, struct stat *st,
						   int flags)
{
	return do_fstatat(s_fstatat, dirfd, path, st, flags);
}

__attribute__((visibility("default"))) int fstatat64(int dirfd, const char *path,
						     struct stat64 *st, int flags)
{
	return do_fstatat(s_fstatat64, dirfd, path, reinterpret_cast<struct stat *>(st), flags);
}

__attribute__((visibility("default"))) int close(int fd)
{
	if (trvsim::node_of_fd(fd) >= 0)
		return trvsim::sim_close(fd);
	return trvsim::real::close(fd);
}

} // extern "C"
