// Configuration reader, golden-file cases: fixtures/<case>.ini is the file
// under test and fixtures/<case>.expected lists the calls with the results of
// both builds. This source is compiled once against each build and checks
// the column of its own build. Each case runs in a fresh temporary working
// directory with the fixture copied to ./trvpos.ini.
#include "trvini.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

constexpr const char *kSystemIni = "/etc/tarvel/pos/trvpos.ini";

struct ExpectedCall {
	std::string section;
	std::string key;
	long nLibrary;
	long nTool;
};

std::vector<std::string> ListFixtures()
{
	std::vector<std::string> names;
	for (const auto &entry : fs::directory_iterator(TRV_CONFIG_FIXTURES))
		if (entry.path().extension() == ".expected")
			names.push_back(entry.path().stem().string());
	std::sort(names.begin(), names.end());
	return names;
}

std::vector<ExpectedCall> LoadExpected(const fs::path &path)
{
	std::vector<ExpectedCall> calls;
	std::ifstream in(path);
	std::string line;
	while (std::getline(in, line)) {
		if (line.empty() || line[0] == '#')
			continue;
		std::istringstream fields(line);
		ExpectedCall call;
		std::string lib, tool;
		fields >> call.section >> call.key >> lib >> tool;
		call.nLibrary = std::stol(lib, nullptr, 0);
		call.nTool = std::stol(tool, nullptr, 0);
		calls.push_back(call);
	}
	return calls;
}

// A private working directory for one case; the previous one comes back
// when the case ends.
class ScratchCwd {
public:
	ScratchCwd()
	{
		m_oldCwd = fs::current_path();
		std::string templ = (fs::temp_directory_path() / "trvini-XXXXXX").string();
		if (mkdtemp(templ.data()) == nullptr)
			throw std::runtime_error("mkdtemp failed");
		m_dir = templ;
		fs::current_path(m_dir);
	}
	~ScratchCwd()
	{
		std::error_code ec;
		fs::current_path(m_oldCwd, ec);
		fs::remove_all(m_dir, ec);
	}
	ScratchCwd(const ScratchCwd &) = delete;
	ScratchCwd &operator=(const ScratchCwd &) = delete;

private:
	fs::path m_oldCwd;
	fs::path m_dir;
};

class IniGolden : public testing::TestWithParam<std::string> {};

TEST_P(IniGolden, Results)
{
	const fs::path fixtures = TRV_CONFIG_FIXTURES;
	const fs::path ini = fixtures / (GetParam() + ".ini");
	const std::vector<ExpectedCall> calls = LoadExpected(fixtures / (GetParam() + ".expected"));
	ASSERT_FALSE(calls.empty());

	ScratchCwd cwd;
	if (fs::exists(ini))
		fs::copy_file(ini, "trvpos.ini");
	else if (access(kSystemIni, F_OK) == 0)
		GTEST_SKIP() << kSystemIni << " exists on this machine; the no-file case cannot run";

	for (const ExpectedCall &call : calls) {
#ifdef TRVINI_TOOL_BUILD
		const long nExpected = call.nTool;
#else
		const long nExpected = call.nLibrary;
#endif
		EXPECT_EQ(parseini(call.section.c_str(), call.key.c_str()), nExpected)
			<< "[" << call.section << "] " << call.key;
	}
}

INSTANTIATE_TEST_SUITE_P(Fixtures, IniGolden, testing::ValuesIn(ListFixtures()),
			 [](const testing::TestParamInfo<std::string> &info) { return info.param; });

// getsection and getvalue on their own: their result and where they leave
// the file position.
TEST(IniSearch, PositionsAfterSectionAndValue)
{
	struct Case {
		const char *content;
		const char *section;
		int nSection;  // getsection result
		off_t offAfter; // file position after getsection
	} const cases[] = {
		{ "[GH]x", "GH", 0, 4 },
		{ "ab[G][GHX]x", "GH", 0, 10 },
		{ "[G]", "GH", -1, 3 },
		{ "[GH", "GH", -1, 3 },
		{ "no header", "GH", -1, 9 },
		{ "[]x", "", 0, 2 },
	};
	for (const Case &c : cases) {
		SCOPED_TRACE(c.content);
		ScratchCwd cwd;
		std::ofstream("f") << c.content;
		const int fd = open("f", O_RDONLY);
		ASSERT_GE(fd, 0);
		EXPECT_EQ(getsection(c.section, fd), c.nSection);
		EXPECT_EQ(lseek(fd, 0, SEEK_CUR), c.offAfter);
		close(fd);
	}

	// The value search stops just past the white space that ends the value.
	ScratchCwd cwd;
	std::ofstream("f") << "k=1D next";
	const int fd = open("f", O_RDONLY);
	ASSERT_GE(fd, 0);
#ifdef TRVINI_TOOL_BUILD
	EXPECT_EQ(getvalue("k", fd), 224); // 0x1D: Left Control
#else
	EXPECT_EQ(getvalue("k", fd), 0x1D);
#endif
	EXPECT_EQ(lseek(fd, 0, SEEK_CUR), 5);
	EXPECT_EQ(getvalue("k", fd), -1);
	close(fd);
	EXPECT_EQ(getvalue("k", -1), -1); // a failing read ends the search
}

} // namespace
