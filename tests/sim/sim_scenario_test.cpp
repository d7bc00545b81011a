// Scenarios: parsing, playback in this process, and playback in another
// process that gets the simulator through LD_PRELOAD.
#include <sys/wait.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "sim_test_util.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

std::string Load(const char *text)
{
	char err[256] = "";
	return trvsim_scenario_load(text, err, sizeof err) == 0 ? "" : err;
}

TEST_F(SimTest, ScenarioErrorsNameTheLine)
{
	struct Case {
		const char *text;
		const char *error; // expected start of the message
	};
	const Case cases[] = {
		{"at ms 0 dance", "line 1: unknown action 'dance'"},
		{"# ok\n\nat soon swipe usb 1 41", "line 3: unknown trigger 'soon'"},
		{"at reads usb_foo 3 exit 0", "line 1: unknown node 'usb_foo'"},
		{"at reads usb_msrstat x exit 0", "line 1: bad read count"},
		{"at ms -5 exit 0", "line 1: bad time"},
		{"at ms 0 swipe usb 4 41", "line 1: 'swipe': track must be"},
		{"at ms 0 swipe pci 1 41", "line 1: 'swipe': attachment"},
		{"at ms 0 swipe usb 1 4", "line 1: 'swipe': bad data '4'"},
		{"at ms 0 swipe usb 1 zz", "line 1: 'swipe': bad data"},
		{"at ms 0 swipe usb 1", "line 1: 'swipe' takes at least 3"},
		{"at ms 0 swipe usb 1 \"abc", "line 1: unterminated quoted text"},
		{"at ms 0 swipe usb 1 \"a\\qb\"", "line 1: unknown escape"},
		{"at ms 0 type usb 123456789", "line 1: 'type': bad key entry"},
		{"at ms 0 keylock usb 70000", "line 1: 'keylock': position"},
		{"at ms 0 present usb_msr1 2", "line 1: 'present': value must be 0 or 1"},
		{"at ms 0 short_reads ps2_stat lots", "line 1: 'short_reads': bad number"},
		{"at ms 0 raw_status usb_msr1 1 00", "line 1: 'raw_status': not a status node"},
		{"at ms 0 track_len usb 1 70000", "line 1: 'track_len': length"},
		{"at ms 0 exit 300", "line 1: 'exit': status"},
		{"nodes usb pci", "line 1: unknown node 'pci'"},
		{"swipe usb 1 41", "line 1: expected 'at' or 'nodes'"},
	};
	for (const Case &c : cases) {
		SCOPED_TRACE(c.text);
		std::string err = Load(c.text);
		EXPECT_EQ(err.rfind(c.error, 0), 0u) << err;
	}
	// A rejected scenario leaves the previous one in place.
	ASSERT_EQ(Load("at reads usb_msrstat 100 exit 0"), "");
	EXPECT_NE(Load("at ms 0 dance"), "");
	EXPECT_EQ(trvsim_scenario_pending(), 1);
}

TEST_F(SimTest, ScenarioActionsPlayWhenTheirNodeHasBeenReadEnough)
{
	ASSERT_EQ(Load("# a swipe, keys and a keylock turn, counted in polls\n"
		       "at reads usb_msrstat 2 swipe usb 2 \";1234=\\x3f\" 0a\n"
		       "at reads usb_msrstat 2 type usb 1e 0x0100e01c\n"
		       "at reads ps2_stat 1 type ps2 1e9e 30\n"
		       "at reads ps2_stat 1 keylock ps2 2\n"
		       "at reads ps2_stat 1 keylock usb 0x0203\n"
		       "at ms 0 swipe ps2 3 \"%B\" 1e\n"
		       "at ms 600000 exit 9\n"),
		  "");
	EXPECT_EQ(trvsim_scenario_pending(), 7);
	int msr = Open(TRVSIM_USB_MSRSTAT);
	// Opening was the first call: the time-0 action fired.
	EXPECT_EQ(trvsim_scenario_pending(), 6);
	EXPECT_EQ(trvsim_queued(TRVSIM_PS2_MSR3), 3u);

	EXPECT_EQ(ReadRecord<UsbMsrStatusRecord>(msr).ushTrack2Len, 0);
	EXPECT_EQ(ReadRecord<UsbMsrStatusRecord>(msr).ushTrack2Len, 0);
	// Two reads done: the third is answered with the swipe.
	auto rec = ReadRecord<UsbMsrStatusRecord>(msr);
	EXPECT_EQ(rec.ushTrack2Len, 8);
	EXPECT_EQ(trvsim_queued(TRVSIM_USB_KEYBOARD), 2u);
	int t2 = Open(TRVSIM_USB_MSR2);
	EXPECT_EQ(Read(t2, 8), Bytes({';', '1', '2', '3', '4', '=', '?', 0x0A}));

	int ps2 = Open(TRVSIM_PS2_STAT);
	EXPECT_EQ(ReadRecord<Ps2StatusRecord>(ps2).uchKbdCount, 0);
	auto p = ReadRecord<Ps2StatusRecord>(ps2);
	EXPECT_EQ(p.uchKbdCount, 3);
	EXPECT_EQ(p.uchKeyLockPos, 2);
	EXPECT_EQ(p.ushTrack3Len, 3);
	EXPECT_EQ(ReadRecord<UsbMsrStatusRecord>(msr).ushKeyLockPos, 0x0203);
	EXPECT_EQ(trvsim_scenario_pending(), 1);
}

TEST_F(SimTest, ScenarioFaultActions)
{
	ASSERT_EQ(Load("at ms 0 present ps2 0\n"
		       "at ms 0 fail_reads usb_kbdstat,usb_msrstat 1\n"
		       "at ms 0 short_reads usb_keyboard 4\n"
		       "at ms 0 raw_status usb_msrstat 1 01 02 03\n"
		       "at ms 0 track_len usb 3 0xffff\n"
		       "at ms 0 fail_open usb_keylock 1\n"
		       "at reads usb_kbdstat 2 short_reads usb_keyboard off\n"),
		  "");
	EXPECT_EQ(trvsim_scenario_poll(), 1);
	errno = 0;
	EXPECT_EQ(::open("/dev/qkbd_keyboard", O_RDWR), -1);
	EXPECT_EQ(errno, ENOENT);
	EXPECT_EQ(::open("/dev/trvposusb_keylock", O_RDWR), -1);
	EXPECT_EQ(errno, EIO);

	int kbd = Open(TRVSIM_USB_KBDSTAT);
	int msr = Open(TRVSIM_USB_MSRSTAT);
	int keys = Open(TRVSIM_USB_KEYBOARD);
	ssize_t r = 0;
	Read(kbd, 2, &r);
	EXPECT_EQ(r, -1);
	Read(msr, 8, &r);
	EXPECT_EQ(r, -1);
	EXPECT_EQ(Read(msr, 8), Bytes({1, 2, 3})) << "failed read first, then raw";
	const std::uint32_t e[] = {1, 2, 3};
	trvsim_usb_type(e, 3);
	EXPECT_EQ(Read(keys, 12).size(), 4u);
	EXPECT_EQ(Read(msr, 8), Bytes({0, 0, 0, 0, 0xFF, 0xFF, 0, 0}));
	Read(kbd, 2);
	Read(kbd, 2);
	EXPECT_EQ(Read(keys, 12).size(), 8u) << "limit lifted after two reads";
	EXPECT_EQ(trvsim_scenario_pending(), 0);
}

TEST_F(SimTest, ScenarioNodesLineSetsPresence)
{
	ASSERT_EQ(Load("nodes usb_msrstat, usb_msr1 usb_msr2\n"), "");
	errno = 0;
	EXPECT_EQ(::open("/dev/qkbd_stat", O_RDWR), -1);
	EXPECT_EQ(errno, ENOENT);
	EXPECT_EQ(::open("/dev/trvposusb_msr3", O_RDWR), -1);
	Open(TRVSIM_USB_MSR2);
	Open(TRVSIM_USB_MSRSTAT);
}

// ---- Another process, with the preloaded library ----

struct ProbeRun {
	int status = -1; // exit status, or 128 + signal
	std::string out, err, log;
};

std::string Slurp(const std::string &path)
{
	std::ifstream f(path);
	std::stringstream ss;
	ss << f.rdbuf();
	return ss.str();
}

// Runs the probe with the simulator preloaded and the given scenario.
ProbeRun RunProbe(const std::string &scenario, const char *cycles, const char *nodes = nullptr)
{
	char dir_tmpl[] = "/tmp/trvsim_run_XXXXXX";
	std::string dir = mkdtemp(dir_tmpl);
	std::string scen = dir + "/scenario", out = dir + "/out", err = dir + "/err",
		    log = dir + "/log";
	std::ofstream(scen) << scenario;
	pid_t pid = fork();
	if (pid == 0) {
		int o = ::open(out.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0600);
		int e = ::open(err.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0600);
		dup2(o, 1);
		dup2(e, 2);
		setenv("LD_PRELOAD", TRVSIM_PRELOAD_LIB, 1);
		setenv("TRVSIM_SCENARIO", scen.c_str(), 1);
		setenv("TRVSIM_LOG", log.c_str(), 1);
		if (nodes)
			setenv("TRVSIM_NODES", nodes, 1);
		// A sanitizer build preloads an instrumented library ahead of
		// the sanitizer's runtime; that order is intended here.
		setenv("ASAN_OPTIONS", "verify_asan_link_order=0", 1);
		execl(TRVSIM_PROBE, TRVSIM_PROBE, cycles, static_cast<char *>(nullptr));
		_exit(126);
	}
	ProbeRun run;
	int st = 0;
	waitpid(pid, &st, 0);
	run.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
	run.out = Slurp(out);
	run.err = Slurp(err);
	run.log = Slurp(log);
	std::string cmd = "rm -rf '" + dir + "'";
	EXPECT_EQ(std::system(cmd.c_str()), 0);
	return run;
}

TEST(SimScenarioProcess, PlaysTheScenarioAndLogsWhatReachedTheDrivers)
{
	ProbeRun run = RunProbe("at reads usb_msrstat 2 swipe usb 2 \";12=?\"\n"
			   "at reads usb_msrstat 3 type usb 1e 0x0100001c\n"
			   "at reads ps2_stat 4 keylock ps2 2\n"
			   "at reads ps2_stat 5 type ps2 1e9e\n"
			   "at reads usb_msrstat 6 swipe ps2 1 25 30\n"
			   "at reads usb_msrstat 7 keylock usb 3\n"
			   "at reads usb_msrstat 10 exit 3\n",
			   "0");
	EXPECT_EQ(run.status, 3) << run.err;
	// The probe runs forever: its output reached the file because the exit
	// action flushed stdio.
	const char *expected = "config write: 17\n"
			       "usb track 2: 3b 31 32 3d 3f\n"
			       "usb keys: 0000001e 0100001c\n"
			       "ps2 keylock 2\n"
			       "ps2 keys: 1e 9e\n"
			       "ps2 track 1: 25 30\n"
			       "usb keylock 3\n";
	EXPECT_EQ(run.out, expected);
	EXPECT_NE(run.log.find("open /dev/trvposusb_msrstat fd="), std::string::npos) << run.log;
	EXPECT_NE(run.log.find("write /dev/trvposusb_msrstat n=17 ret=17 data=10 00 1e 02 1f 00"),
		  std::string::npos)
		<< run.log;
	EXPECT_NE(run.log.find("close /dev/trvposusb_msr2 fd="), std::string::npos);
	EXPECT_NE(run.log.find("scenario line 7: at reads usb_msrstat 10 exit 3"), std::string::npos);
}

TEST(SimScenarioProcess, NodesAndEndings)
{
	struct Case {
		const char *name;
		const char *scenario;
		const char *nodes;
		int status;
		const char *out_has;
		const char *err_has;
	};
	const Case cases[] = {
		{"only usb nodes", "", "usb", 0, "open /dev/qkbd_stat failed: No such file", ""},
		{"no nodes", "", "none", 0, "open /dev/trvposusb_msrstat failed", ""},
		{"scenario presence", "nodes ps2\n", nullptr, 0, "open /dev/trvposusb_kbdstat failed", ""},
		{"env wins over file", "nodes ps2\n", "all", 0, "config write: 17\n", ""},
		{"time trigger", "at ms 0 keylock usb 5\n", nullptr, 0, "usb keylock 5\n", ""},
		// FILE:LINE: problem, as compilers print it, and a status that
		// passes for neither a crash nor a failed test.
		{"bad scenario", "# one\n\nat ms 0 dance\n", nullptr, TRVSIM_EXIT_BAD_SCENARIO, "",
		 "/scenario:3: unknown action 'dance'\n"},
		{"bad node list", "", "usb,floppy", TRVSIM_EXIT_BAD_SCENARIO, "", "TRVSIM_NODES: unknown node 'floppy'"},
	};
	for (const Case &c : cases) {
		SCOPED_TRACE(c.name);
		ProbeRun run = RunProbe(c.scenario, "3", c.nodes);
		EXPECT_EQ(run.status, c.status) << run.err;
		EXPECT_NE(run.out.find(c.out_has), std::string::npos) << run.out;
		EXPECT_NE(run.err.find(c.err_has), std::string::npos) << run.err;
	}
}

TEST(SimScenarioProcess, ExitActionInThisProcessEndsIt)
{
	trvsim_reset();
	GTEST_FLAG_SET(death_test_style, "threadsafe");
	EXPECT_EXIT(
		{
			char err[64];
			if (trvsim_scenario_load("at reads usb_kbdstat 1 exit 7\n", err, sizeof err))
				_exit(1);
			int fd = ::open("/dev/trvposusb_kbdstat", O_RDWR);
			std::uint8_t b[2];
			(void)!::read(fd, b, 2);
			std::fprintf(stderr, "after the first read\n");
			(void)!::read(fd, b, 2);
			std::fprintf(stderr, "after the second read\n");
			_exit(0);
		},
		::testing::ExitedWithCode(7), "after the first read\n$");
	trvsim_reset();
}

} // namespace
