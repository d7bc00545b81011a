// Loads table_rows.golden: the key table as a person reads it, one row per
// line, shared by the library-build and tool-build tests.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

struct GoldenRow {
	std::uint16_t ushUsage;
	std::uint16_t ushUsageSize;
	int bMakeBreak;
	int bTypematic;
	std::uint32_t ulSet1Code;
	std::string name;
};

inline std::vector<GoldenRow> LoadGoldenRows()
{
	std::vector<GoldenRow> rows;
	std::ifstream in(TRV_HID2PS2_GOLDEN);
	std::string line;
	while (std::getline(in, line)) {
		if (line.empty() || line[0] == '#')
			continue;
		std::istringstream fields(line);
		std::string usage, size, mb, tm, code;
		std::getline(fields, usage, '\t');
		std::getline(fields, size, '\t');
		std::getline(fields, mb, '\t');
		std::getline(fields, tm, '\t');
		std::getline(fields, code, '\t');
		GoldenRow row{};
		row.ushUsage = static_cast<std::uint16_t>(std::stoul(usage));
		row.ushUsageSize = static_cast<std::uint16_t>(std::stoul(size));
		row.bMakeBreak = std::stoi(mb);
		row.bTypematic = std::stoi(tm);
		row.ulSet1Code = static_cast<std::uint32_t>(std::stoul(code, nullptr, 16));
		std::getline(fields, row.name); // the rest of the line, blanks included
		rows.push_back(row);
	}
	return rows;
}

// Checks the fields both builds share against one golden row. The flag
// fields are 32-bit in the library build and 8-bit in the tool build.
template <class Entry> void ExpectRowMatchesGolden(const Entry &row, const GoldenRow &golden)
{
	EXPECT_EQ(row.ushUsage, golden.ushUsage);
	EXPECT_EQ(row.ushUsageSize, golden.ushUsageSize);
	EXPECT_EQ(row.bMakeBreak, golden.bMakeBreak);
	EXPECT_EQ(row.bTypematic, golden.bTypematic);
	EXPECT_EQ(row.ulSet1Code, golden.ulSet1Code);
}
