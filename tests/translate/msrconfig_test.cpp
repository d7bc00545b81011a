// MSR header configuration: the record that writeMSRConfig builds from the
// Java bytes and trvpos.ini, as it reaches the simulated USB MSR status node.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "fake_jni.h"
#include "nativelayer.h"
#include "trvsim.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr const char *SYSTEM_INI = "/etc/tarvel/pos/trvpos.ini";

// Every header key set: modifiers are the eight modifier keys, keys are
// letters, Return and Space.
constexpr const char *FULL_INI = "[GH]\nmodifierflag=2A\nset1code=1E\n"
				 "[GT]\nmodifierflag=1D\nset1code=30\n"
				 "[H1]\nmodifierflag=38\nset1code=2E\n"
				 "[T1]\nmodifierflag=36\nset1code=20\n"
				 "[H2]\nmodifierflag=E01D\nset1code=12\n"
				 "[T2]\nmodifierflag=E038\nset1code=21\n"
				 "[H3]\nmodifierflag=E05B\nset1code=1C\n"
				 "[T3]\nmodifierflag=E05C\nset1code=39\n";
const Bytes FULL_HEADER = {0xE1, 0x04, 0xE0, 0x05, 0xE2, 0x06, 0xE5, 0x07,
			   0xE4, 0x08, 0xE6, 0x09, 0xE3, 0x28, 0xE7, 0x2C};

// Runs each test in its own empty working directory, with the simulated USB
// MSR status node open in the slot the polling engine would fill.
class MsrConfig : public testing::Test {
protected:
	void SetUp() override
	{
		trvsim_reset();
		ASSERT_NE(getcwd(oldCwd_, sizeof oldCwd_), nullptr);
		char tmpl[] = "/tmp/msrconfig.XXXXXX";
		ASSERT_NE(mkdtemp(tmpl), nullptr);
		dir_ = tmpl;
		ASSERT_EQ(chdir(dir_.c_str()), 0);
	}

	void TearDown() override
	{
		fakejni::ExpectCleanJni(jni);
		CloseNode();
		std::remove((dir_ + "/trvpos.ini").c_str());
		rmdir(dir_.c_str());
		EXPECT_EQ(chdir(oldCwd_), 0);
	}

	void WriteIni(const std::string &text)
	{
		std::ofstream(dir_ + "/trvpos.ini") << text;
	}

	void OpenNode()
	{
		const int fd = open(trvsim_node_path(TRVSIM_USB_MSRSTAT), O_RDWR);
		ASSERT_GT(fd, 0);
		g_DeviceChannels.fdUsbMsrStat = fd;
	}

	void CloseNode()
	{
		const int fd = g_DeviceChannels.fdUsbMsrStat.exchange(0);
		if (fd > 0)
			close(fd);
	}

	jint WriteConfig(const Bytes &leading)
	{
		return TRV_JNI(writeMSRConfig)(jni.env(), jni.service(), 0, jni.newByteArray(leading));
	}

	static int Writes() { return trvsim_write_count(TRVSIM_USB_MSRSTAT); }

	static Bytes LastWrite()
	{
		Bytes buf(64);
		const long n = trvsim_written(TRVSIM_USB_MSRSTAT, -1, buf.data(), buf.size());
		if (n < 0)
			return {};
		buf.resize(static_cast<std::size_t>(n));
		return buf;
	}

	static bool SystemIniPresent() { return access(SYSTEM_INI, F_OK) == 0; }

	fakejni::FakeJni jni;

private:
	char oldCwd_[PATH_MAX] = {};
	std::string dir_;
};

Bytes Concat(Bytes a, const Bytes &b, std::size_t bCount)
{
	a.insert(a.end(), b.begin(), b.begin() + static_cast<long>(bCount));
	return a;
}

Bytes Sequence(std::size_t n)
{
	Bytes b(n);
	for (std::size_t i = 0; i < n; ++i)
		b[i] = static_cast<std::uint8_t>(0x10 + i);
	return b;
}

TEST_F(MsrConfig, RecordFromLeadingBytesAndFullFile)
{
	WriteIni(FULL_INI);
	OpenNode();
	struct {
		std::size_t leading;
		Bytes expected;
	} cases[] = {
		{1, Concat({0x10}, FULL_HEADER, 16)},
		{2, Concat(Sequence(2), FULL_HEADER, 15)},
		{3, Concat(Sequence(3), FULL_HEADER, 14)},
		{16, Concat(Sequence(16), FULL_HEADER, 1)},
		{17, Sequence(17)},
		{20, Sequence(17)},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(testing::Message() << c.leading << " leading bytes");
		const int before = Writes();
		EXPECT_EQ(WriteConfig(Sequence(c.leading)), 0);
		EXPECT_EQ(Writes(), before + 1) << "the record goes out in one write";
		EXPECT_EQ(LastWrite(), c.expected);
	}
}

TEST_F(MsrConfig, MissingFileGivesNoCodeUsage)
{
	if (SystemIniPresent())
		GTEST_SKIP() << SYSTEM_INI << " exists on this machine; cannot test a missing file";
	OpenNode();
	EXPECT_EQ(WriteConfig({0x10}), 0);
	EXPECT_EQ(LastWrite(), Concat({0x10}, Bytes(16, 0x03), 16));
}

// The byte a single value of the file becomes (GH set1code, record offset 2).
TEST_F(MsrConfig, ValueConversion)
{
	OpenNode();
	struct {
		const char *line; // the GH set1code line, or none
		std::uint8_t expected;
	} cases[] = {
		{"set1code=1C", 0x28},   // Return
		{"set1code=E01C", 0x58}, // Keypad Enter
		{"set1code=E021", 0x00}, // Calculator: a two-byte usage never enters
		{"set1code=E020", 0xE2}, // Mute: consumer usage of one byte
		{"set1code=0", 0x00},    // no key
		{"set1code=7F", 0x00},   // no row carries it
		{"set1code=FFFFFFFF", 0x03},
		{"", 0x03},              // absent from the file: read as -1
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.line);
		WriteIni(std::string("[GH]\nmodifierflag=0\n") + c.line + "\n[GT]\n");
		EXPECT_EQ(WriteConfig({0x10}), 0);
		const Bytes rec = LastWrite();
		ASSERT_EQ(rec.size(), 17u);
		EXPECT_EQ(rec[1], 0x00);
		EXPECT_EQ(rec[2], c.expected);
	}
}

TEST_F(MsrConfig, NothingWrittenWhenRefused)
{
	WriteIni(FULL_INI);

	// Before polling has opened the node.
	for (int slot : {0, -1}) {
		g_DeviceChannels.fdUsbMsrStat = slot;
		EXPECT_EQ(WriteConfig({0x10}), -1);
	}
	g_DeviceChannels.fdUsbMsrStat = 0;

	OpenNode();
	EXPECT_EQ(WriteConfig({}), -1);

	const int lengthCalls = jni.calls("GetArrayLength");
	EXPECT_EQ(TRV_JNI(writeMSRConfig)(jni.env(), jni.service(), 0, nullptr), -1);
	EXPECT_EQ(jni.calls("GetArrayLength"), lengthCalls) << "array length asked of a null array";

	jni.failArrayElements(true);
	EXPECT_EQ(WriteConfig({0x10}), -1);
	jni.failArrayElements(false);

	const std::uint8_t lead = 0x10;
	EXPECT_EQ(WriteMSRConfiguration(nullptr, 1), 0);
	EXPECT_EQ(WriteMSRConfiguration(&lead, 0), 0);
	EXPECT_EQ(WriteMSRConfiguration(&lead, -3), 0);
	EXPECT_EQ(WriteMSRConfigurationUSB(g_DeviceChannels.fdUsbMsrStat, nullptr, 5), 0);

	EXPECT_EQ(Writes(), 0);
}

TEST_F(MsrConfig, ShortOrFailedWriteIsAFailure)
{
	WriteIni(FULL_INI);
	OpenNode();
	trvsim_short_writes(TRVSIM_USB_MSRSTAT, 16);
	EXPECT_EQ(WriteConfig({0x10}), -1);
	EXPECT_EQ(Writes(), 1) << "nothing is retried";

	trvsim_short_writes(TRVSIM_USB_MSRSTAT, SIZE_MAX);
	EXPECT_EQ(WriteMSRConfigurationUSB(-1, Sequence(1).data(), 1), 0);
}

TEST_F(MsrConfig, HeaderBufferContract)
{
	WriteIni(FULL_INI);
	Bytes header(17, 0x55);
	EXPECT_EQ(ReadHeaderConfiguration(nullptr, 16), 0);
	EXPECT_EQ(ReadHeaderConfiguration(header.data(), 15), 0);
	EXPECT_EQ(header, Bytes(17, 0x55)) << "a refused buffer is not touched";

	// Fills exactly sixteen bytes; a value of 0 leaves its byte as it was.
	WriteIni("[GH]\nmodifierflag=0\nset1code=1E\n");
	EXPECT_EQ(ReadHeaderConfiguration(header.data(), 200), 1);
	Bytes expected(17, 0x03);
	expected[0] = 0x55;
	expected[1] = 0x04;
	expected[16] = 0x55;
	EXPECT_EQ(header, expected);
}

} // namespace
