// A shared library that reaches the nodes with plain libc calls, as the
// product's library does: its calls must land in the simulator too.
#include <fcntl.h>
#include <unistd.h>

extern "C" long sim_caller_read_node(const char *path, void *buf, unsigned long n)
{
	int fd = open(path, O_RDWR);
	if (fd < 0)
		return -1;
	long r = read(fd, buf, n);
	close(fd);
	return r;
}

extern "C" long sim_caller_write_node(const char *path, const void *buf, unsigned long n)
{
	int fd = open(path, O_RDWR);
	if (fd < 0)
		return -1;
	long r = write(fd, buf, n);
	close(fd);
	return r;
}
