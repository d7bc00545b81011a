// Translation of PS/2 track scan codes into characters, and the modifier
// bookkeeping behind it.
#include <gtest/gtest.h>

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "nativelayer.h"

namespace {

std::string Translate(const std::vector<std::uint8_t> &raw)
{
	// Exactly one byte of room per raw byte, plus a guard byte that must stay.
	std::vector<std::uint8_t> out(raw.size() + 1, 0xA5);
	std::int32_t count = -7;
	const std::uint32_t ret =
		TranslateRawToAscii(raw.data(), static_cast<std::int32_t>(raw.size()), out.data(), &count);
	EXPECT_EQ(static_cast<std::int32_t>(ret), count);
	EXPECT_GE(count, 0);
	EXPECT_LE(static_cast<std::size_t>(count), raw.size());
	EXPECT_EQ(out[raw.size()], 0xA5) << "wrote past one byte per raw byte";
	return std::string(out.begin(), out.begin() + count);
}

TEST(TranslateRawToAscii, Sequences)
{
	using namespace std::string_literals;
	struct {
		const char *name;
		std::vector<std::uint8_t> raw;
		std::string expected;
	} cases[] = {
		{"empty", {}, ""},
		{"left shift then release", {0x2A, 0x1E, 0x9E, 0xAA, 0x1E, 0x9E}, "Aa"},
		{"right shift over 2", {0x36, 0x03, 0x83, 0xB6}, "@"},
		{"break codes of table keys", {0x9E, 0xB0, 0x82, 0xB9}, ""},
		{"E0 prefix then keypad 8", {0xE0, 0x48, 0xE0, 0xC8}, "8"},
		{"E1 prefix is skipped", {0xE1, 0x1E}, "a"},
		{"E0 1D is left ctrl, no char", {0xE0, 0x1D, 0x1E}, "a"},
		{"E0 38 is an alt, no char", {0xE0, 0x38, 0x1E}, "a"},
		{"E0 2A changes shift", {0xE0, 0x2A, 0x1E}, "A"},
		{"E0 36 changes shift", {0xE0, 0x36, 0x1E, 0xE0, 0xB6, 0x1E}, "Aa"},
		{"E0 GUI and menu give nothing", {0xE0, 0x5B, 0xE0, 0x5C, 0xE0, 0x5D}, ""},
		{"plain 5B 5C 5D give nothing", {0x5B, 0x5C, 0x5D}, ""},
		{"shift over keypad gives 0x00", {0x2A, 0x47, 0x37, 0x4A, 0x4E, 0x53}, "\0\0\0\0\0"s},
		{"ctrl and alt do not change", {0x1D, 0x1E, 0x38, 0x30}, "ab"},
		{"keys outside the table", {0x1C, 0x0F, 0x0E, 0x3A, 0x3B, 0x44, 0x57, 0x01}, ""},
		{"caps lock keeps case", {0x3A, 0xBA, 0x1E}, "a"},
		{"shift break without make", {0xAA, 0xB6, 0x1E}, "a"},
		{"shift b then 1 (track 1 start)", {0x2A, 0x30, 0xB0, 0xAA, 0x02, 0x82}, "B1"},
		{"both shifts, one released", {0x2A, 0x36, 0xAA, 0x02}, "!"},
		{"space shifted and not", {0x39, 0x2A, 0x39}, "  "},
	};
	for (const auto &c : cases)
		EXPECT_EQ(Translate(c.raw), c.expected) << c.name;
}

// Every make code in the table gives its row's characters, unshifted and
// under each Shift; the break column is the make code with bit 7 set.
TEST(TranslateRawToAscii, EveryTableRow)
{
	std::set<std::uint8_t> makes;
	for (const auto &row : g_MsrMapSet1) {
		EXPECT_EQ(row[1], row[0] | 0x80);
		EXPECT_TRUE(makes.insert(row[0]).second) << "duplicate make code " << int(row[0]);
		EXPECT_EQ(Translate({row[0]}), std::string(1, char(row[2])));
		EXPECT_EQ(Translate({0x2A, row[0]}), std::string(1, char(row[3])));
		EXPECT_EQ(Translate({0x36, row[0]}), std::string(1, char(row[3])));
	}
	// Every byte below 0x80 that is neither a table key nor a modifier
	// yields nothing.
	for (int b = 0; b < 0x80; ++b) {
		if (makes.count(std::uint8_t(b)) == 0) {
			EXPECT_EQ(Translate({std::uint8_t(b)}), "") << "byte " << b;
		}
	}
}

TEST(TranslateRawToAscii, ModifierStateDoesNotCarryOver)
{
	EXPECT_EQ(Translate({0x2A}), "");
	EXPECT_EQ(Translate({0x1E}), "a");
}

TEST(TranslateRawToAscii, NullOrNegativeInputTranslatesNothing)
{
	const std::uint8_t raw[] = {0x1E};
	std::uint8_t out[1] = {0xA5};
	std::int32_t count = 5;
	EXPECT_EQ(TranslateRawToAscii(raw, -1, out, &count), 0u);
	EXPECT_EQ(count, 0);
	count = 5;
	EXPECT_EQ(TranslateRawToAscii(nullptr, 1, out, &count), 0u);
	EXPECT_EQ(count, 0);
	count = 5;
	EXPECT_EQ(TranslateRawToAscii(raw, 1, nullptr, &count), 0u);
	EXPECT_EQ(count, 0);
	EXPECT_EQ(TranslateRawToAscii(raw, 1, out, nullptr), 1u);
	EXPECT_EQ(out[0], 'a');
}

TEST(UpdateModifierFlags, Table)
{
	constexpr std::uint32_t BRK = 0x1, E0 = 0x2, E1 = 0x4;
	struct {
		std::uint8_t code;
		std::uint32_t flags;
		int result;
		std::uint32_t bit; // set by a make, cleared by a break
	} cases[] = {
		{0x1D, E1, 0, 0},       {0x1D, E1 | E0, 0, 0},  {0x1D, E0, 1, 0x004},  {0x1D, 0, 1, 0x002},
		{0x2A, E0, 0, 0},       {0x2A, 0, 1, 0x008},    {0x2A, E1, 1, 0x008},  {0x36, E0, 0, 0},
		{0x36, 0, 1, 0x010},    {0x36, E1, 1, 0x010},   {0x38, E0, 1, 0x040},  {0x38, 0, 1, 0x020},
		{0x38, E1, 1, 0x020},   {0x5B, E0, 1, 0x080},   {0x5C, E0, 1, 0x100},  {0x5D, E0, 1, 0x200},
		{0x5B, 0, 0, 0},        {0x5C, 0, 0, 0},        {0x5D, E1, 0, 0},      {0x1E, 0, 0, 0},
		{0x00, 0, 0, 0},        {0x7F, E0, 0, 0},       {0x3A, 0, 0, 0},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(testing::Message() << "code " << int(c.code) << " flags " << c.flags);
		std::uint32_t mods = 0;
		EXPECT_EQ(UpdateModifierFlags(c.code, c.flags, &mods), c.result);
		EXPECT_EQ(mods, c.bit);
		// The break of the same key clears only its own bit.
		mods = 0x3FE;
		EXPECT_EQ(UpdateModifierFlags(c.code, c.flags | BRK, &mods), c.result);
		EXPECT_EQ(mods, 0x3FEu & ~c.bit);
	}
	EXPECT_EQ(UpdateModifierFlags(0x2A, 0, nullptr), 0);
}

} // namespace
