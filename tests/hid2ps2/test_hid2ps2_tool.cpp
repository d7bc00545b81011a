// Key table (tool build): same rows in the same order as the library build,
// without names and with 8-bit flags; PS2ToHID is the one lookup hdrcfg uses.
#include "hid2ps2.h"
#include "table_golden.h"

#include <gtest/gtest.h>

#include <type_traits>
#include <vector>

namespace {

static_assert(std::is_same_v<decltype(HID2PS2Entry::bMakeBreak), std::uint8_t>);
static_assert(std::is_same_v<decltype(HID2PS2Entry::bTypematic), std::uint8_t>);
static_assert(sizeof(HID2PS2Table) / sizeof(HID2PS2Table[0]) == 293);

TEST(Hid2Ps2ToolTable, RowsMatchGoldenFile)
{
	const std::vector<GoldenRow> golden = LoadGoldenRows();
	ASSERT_EQ(golden.size(), 293u) << "cannot read " << TRV_HID2PS2_GOLDEN;
	for (int i = 0; i < HID2PS2_ROWS; ++i) {
		SCOPED_TRACE("row " + std::to_string(i));
		const HID2PS2Entry &row = HID2PS2Table[i];
		ExpectRowMatchesGolden(row, golden[i]);
	}
}

TEST(Hid2Ps2ToolTable, PS2ToHID)
{
	struct Case {
		std::uint32_t ulCode;
		int nResult;
		std::uint16_t ushUsage;
		std::uint16_t ushSize;
	} const cases[] = {
		{ 0x1E, 1, 4, 1 },
		{ 0x2B, 1, 50, 1 },
		{ 0xE06D, 1, 387, 2 },
		{ 0xE11D45, 1, 72, 1 },
		{ HID2PS2_NO_CODE, 1, 3, 1 },
		{ 0xE11D, 0, 0xA5A5, 0xA5A5 },
	};
	for (const Case &c : cases) {
		SCOPED_TRACE(testing::Message() << "code 0x" << std::hex << c.ulCode);
		std::uint16_t ushUsage = 0xA5A5, ushSize = 0xA5A5;
		EXPECT_EQ(PS2ToHID(static_cast<std::int32_t>(c.ulCode), &ushUsage, &ushSize), c.nResult);
		EXPECT_EQ(ushUsage, c.ushUsage);
		EXPECT_EQ(ushSize, c.ushSize);
	}
}

} // namespace
