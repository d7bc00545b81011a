// Interposition: every open variant reaches the simulated nodes, calls from
// a shared library do too, and ordinary files are left alone.
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "sim_test_util.h"

extern "C" {
int __open_2(const char *path, int flags);
int __open64_2(const char *path, int flags);
int __openat_2(int dirfd, const char *path, int flags);
int __openat64_2(int dirfd, const char *path, int flags);
ssize_t __read_chk(int fd, void *buf, size_t n, size_t buflen);
long sim_caller_read_node(const char *path, void *buf, unsigned long n);
long sim_caller_write_node(const char *path, const void *buf, unsigned long n);
}

namespace {

struct OpenVariant {
	const char *name;
	int (*open)(int dirfd, const char *path, int flags);
};

const OpenVariant kVariants[] = {
	{"open", [](int, const char *p, int f) { return ::open(p, f); }},
	{"open64", [](int, const char *p, int f) { return ::open64(p, f); }},
	{"openat", [](int d, const char *p, int f) { return ::openat(d, p, f); }},
	{"openat64", [](int d, const char *p, int f) { return ::openat64(d, p, f); }},
	{"__open_2", [](int, const char *p, int f) { return __open_2(p, f); }},
	{"__open64_2", [](int, const char *p, int f) { return __open64_2(p, f); }},
	{"__openat_2", [](int d, const char *p, int f) { return __openat_2(d, p, f); }},
	{"__openat64_2", [](int d, const char *p, int f) { return __openat64_2(d, p, f); }},
};

class InterposeTest : public SimTest {
protected:
	void SetUp() override
	{
		SimTest::SetUp();
		char tmpl[] = "/tmp/trvsim_test_XXXXXX";
		ASSERT_NE(mkdtemp(tmpl), nullptr);
		dir_ = tmpl;
		dirfd_ = ::open(dir_.c_str(), O_RDONLY | O_DIRECTORY);
		ASSERT_GE(dirfd_, 0);
	}
	void TearDown() override
	{
		::close(dirfd_);
		std::string cmd = "rm -rf '" + dir_ + "'";
		EXPECT_EQ(std::system(cmd.c_str()), 0);
		SimTest::TearDown();
	}
	std::string dir_;
	int dirfd_ = -1;
};

TEST_F(InterposeTest, EveryOpenVariantReachesTheNodes)
{
	trvsim_set_keylock(TRVSIM_USB, 4);
	for (const OpenVariant &v : kVariants) {
		SCOPED_TRACE(v.name);
		// dirfd is ignored for an absolute path.
		int fd = v.open(dirfd_, "/dev/trvposusb_msrstat", O_RDWR);
		ASSERT_GT(fd, 0);
		EXPECT_EQ(trvsim_open_descriptors(TRVSIM_USB_MSRSTAT), 1);
		UsbMsrStatusRecord rec{};
		EXPECT_EQ(::read(fd, &rec, sizeof rec), 8);
		EXPECT_EQ(rec.ushKeyLockPos, 4);
		EXPECT_EQ(::close(fd), 0);
		EXPECT_EQ(trvsim_open_descriptors(-1), 0);

		trvsim_set_present(TRVSIM_USB_MSRSTAT, 0);
		errno = 0;
		EXPECT_EQ(v.open(AT_FDCWD, "/dev/trvposusb_msrstat", O_RDWR), -1);
		EXPECT_EQ(errno, ENOENT);
		trvsim_set_present(TRVSIM_USB_MSRSTAT, 1);
	}
}

TEST_F(InterposeTest, OrdinaryFilesAreUntouched)
{
	for (const OpenVariant &v : kVariants) {
		SCOPED_TRACE(v.name);
		std::string path = dir_ + "/" + v.name;
		// Create it first: the fortified variants take no mode.
		int c = ::open(path.c_str(), O_CREAT | O_WRONLY, 0600);
		ASSERT_GE(c, 0);
		ASSERT_EQ(::write(c, "hello", 5), 5);
		ASSERT_EQ(::close(c), 0);

		int fd = v.open(AT_FDCWD, path.c_str(), O_RDWR);
		ASSERT_GE(fd, 0);
		EXPECT_EQ(::lseek(fd, 0, SEEK_END), 5);
		ASSERT_EQ(::write(fd, " you", 4), 4);
		ASSERT_EQ(::lseek(fd, 0, SEEK_SET), 0);
		char buf[16] = {};
		EXPECT_EQ(__read_chk(fd, buf, 9, sizeof buf), 9);
		EXPECT_STREQ(buf, "hello you");
		EXPECT_EQ(::close(fd), 0);
	}
	// Relative to a directory descriptor.
	int fd = ::openat(dirfd_, "rel", O_CREAT | O_RDWR, 0600);
	ASSERT_GE(fd, 0);
	struct stat st{};
	EXPECT_EQ(::fstat(fd, &st), 0);
	EXPECT_TRUE(S_ISREG(st.st_mode));
	EXPECT_EQ(::close(fd), 0);
	// Stray paths that resemble nodes are not nodes.
	errno = 0;
	EXPECT_EQ(::open("/dev/qkbd_stat_", O_RDWR), -1);
	EXPECT_EQ(errno, ENOENT);
	EXPECT_EQ(trvsim_reads(TRVSIM_PS2_STAT), 0);
	// stdio keeps working around the interposers.
	std::string p = dir_ + "/stdio";
	FILE *f = std::fopen(p.c_str(), "w+");
	ASSERT_NE(f, nullptr);
	std::fputs("line\n", f);
	std::rewind(f);
	char line[8] = {};
	EXPECT_NE(std::fgets(line, sizeof line, f), nullptr);
	EXPECT_STREQ(line, "line\n");
	std::fclose(f);
}

TEST_F(InterposeTest, SimulatedDescriptorsAreRealNumbers)
{
	int node = Open(TRVSIM_PS2_STAT);
	std::string path = dir_ + "/f";
	int file = ::open(path.c_str(), O_CREAT | O_RDWR, 0600);
	ASSERT_GE(file, 0);
	EXPECT_NE(node, file);
	// The kernel knows the number, so nothing else can be given it.
	EXPECT_NE(::fcntl(node, F_GETFD), -1);
	EXPECT_EQ(::write(file, "x", 1), 1);
	EXPECT_EQ(trvsim_write_count(TRVSIM_PS2_STAT), 0);
	EXPECT_EQ(::close(file), 0);
	// Close-on-exec is passed on to the reserved descriptor.
	int ce = ::open("/dev/qkbd_stat", O_RDWR | O_CLOEXEC);
	ASSERT_GT(ce, 0);
	EXPECT_EQ(::fcntl(ce, F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
	EXPECT_EQ(::close(ce), 0);
}

TEST_F(InterposeTest, FortifiedReadOfANode)
{
	const std::uint8_t keys[] = {0x10, 0x11, 0x12};
	trvsim_ps2_type(keys, sizeof keys);
	int fd = Open(TRVSIM_PS2_KEYBOARD);
	std::uint8_t buf[4] = {};
	EXPECT_EQ(__read_chk(fd, buf, 3, sizeof buf), 3);
	EXPECT_EQ(buf[2], 0x12);
	EXPECT_DEATH(
		{
			std::uint8_t small[2];
			(void)__read_chk(fd, small, 3, sizeof small);
		},
		"buffer overflow");
}

TEST_F(InterposeTest, CallsFromASharedLibraryReachTheNodes)
{
	trvsim_set_keylock(TRVSIM_PS2, 6);
	std::uint8_t b = 0;
	EXPECT_EQ(sim_caller_read_node("/dev/qkbd_keylock", &b, 1), 1);
	EXPECT_EQ(b, 6);
	EXPECT_EQ(trvsim_reads(TRVSIM_PS2_KEYLOCK), 1);
	const std::uint8_t rec[17] = {0x10, 1, 2};
	EXPECT_EQ(sim_caller_write_node("/dev/trvposusb_msrstat", rec, sizeof rec), 17);
	EXPECT_EQ(trvsim_write_count(TRVSIM_USB_MSRSTAT), 1);
	EXPECT_EQ(trvsim_open_descriptors(-1), 0);
}

} // namespace

#if defined(__SANITIZE_ADDRESS__)
namespace {

// The interposer hands ordinary reads on to the sanitizer's interceptor,
// which still sees an overflowing read.
TEST_F(InterposeTest, SanitizerStillChecksOrdinaryReads)
{
	std::string path = dir_ + "/eight";
	int fd = ::open(path.c_str(), O_CREAT | O_RDWR, 0600);
	ASSERT_GE(fd, 0);
	ASSERT_EQ(::write(fd, "01234567", 8), 8);
	ASSERT_EQ(::lseek(fd, 0, SEEK_SET), 0);
	EXPECT_DEATH(
		{
			auto *small = new char[4];
			volatile std::size_t want = 8; // hidden from the compiler's own check
			(void)!::read(fd, small, want);
			delete[] small;
		},
		"heap-buffer-overflow");
	::close(fd);
}

} // namespace
#endif
