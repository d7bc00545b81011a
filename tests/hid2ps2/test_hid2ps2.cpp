// Key table (library build): the rows against the golden file, the
// invariants the lookups rely on, and the lookups' results and outputs.
#include "hid2ps2.h"
#include "table_golden.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <type_traits>
#include <vector>

namespace {

// Written into every output before a call, to see which outputs a call left
// untouched.
constexpr std::uint16_t kUntouched16 = 0xA5A5;
constexpr std::uint32_t kUntouched32 = 0xA5A5A5A5u;
constexpr std::int32_t kUntouchedFlag = 0x5A5A5A5A;

bool IsMarker(std::uint32_t ulCode)
{
	return ulCode == HID2PS2_NO_CODE || ulCode == HID2PS2_RESERVED;
}

static_assert(std::is_same_v<decltype(HID2PS2Entry::bMakeBreak), std::int32_t>);
static_assert(sizeof(HID2PS2Table) / sizeof(HID2PS2Table[0]) == 293);

TEST(Hid2Ps2Table, RowsMatchGoldenFile)
{
	const std::vector<GoldenRow> golden = LoadGoldenRows();
	ASSERT_EQ(golden.size(), 293u) << "cannot read " << TRV_HID2PS2_GOLDEN;
	for (int i = 0; i < HID2PS2_ROWS; ++i) {
		SCOPED_TRACE("row " + std::to_string(i));
		const HID2PS2Entry &row = HID2PS2Table[i];
		ExpectRowMatchesGolden(row, golden[i]);
		ASSERT_NE(row.pszKeyName, nullptr);
		EXPECT_STREQ(row.pszKeyName, golden[i].name.c_str());
	}
}

TEST(Hid2Ps2Table, LayoutOfUsagesAndSizes)
{
	for (int i = 0; i < HID2PS2_ROWS; ++i) {
		SCOPED_TRACE("row " + std::to_string(i));
		const HID2PS2Entry &row = HID2PS2Table[i];
		EXPECT_EQ(row.ushUsageSize, row.ushUsage < 256 ? 1 : 2);
		if (i < 256) {
			EXPECT_EQ(row.ushUsage, i == 49 ? 50 : i);
		}
	}
	// Usage 49 has no row at all.
	for (const HID2PS2Entry &row : HID2PS2Table)
		EXPECT_NE(row.ushUsage, 49);
}

TEST(Hid2Ps2Table, ReservedRowsAndMarkers)
{
	int nReserved = 0;
	for (int i = 0; i < HID2PS2_ROWS; ++i) {
		SCOPED_TRACE("row " + std::to_string(i));
		const HID2PS2Entry &row = HID2PS2Table[i];
		const bool bReservedUsage = (i >= 166 && i <= 223) || (i >= 232 && i <= 255);
		EXPECT_EQ(row.ulSet1Code == HID2PS2_RESERVED, bReservedUsage);
		EXPECT_EQ(std::strcmp(row.pszKeyName, "RESERVED") == 0, bReservedUsage);
		nReserved += bReservedUsage;
	}
	EXPECT_EQ(nReserved, 82);
}

// The flags follow from three rules; check every row against them.
TEST(Hid2Ps2Table, FlagsFollowTheirRules)
{
	int n11 = 0, n10 = 0, n00 = 0;
	for (int i = 0; i < HID2PS2_ROWS; ++i) {
		SCOPED_TRACE("row " + std::to_string(i));
		const HID2PS2Entry &row = HID2PS2Table[i];
		const std::string name = row.pszKeyName;
		int nMakeBreak = 1, nTypematic = 1;
		if (IsMarker(row.ulSet1Code)) {
			nMakeBreak = nTypematic = 0;
		} else if (i < 256) {
			const std::uint16_t u = row.ushUsage;
			if (u == 0 || u == 1 || u == 2 || u == 72 || u == 165)
				nMakeBreak = nTypematic = 0;
		} else if (name != "Volume Up" && name != "Volume Down") {
			nTypematic = 0;
		}
		EXPECT_EQ(row.bMakeBreak, nMakeBreak);
		EXPECT_EQ(row.bTypematic, nTypematic);
		if (row.bMakeBreak && row.bTypematic)
			++n11;
		else if (row.bMakeBreak)
			++n10;
		else if (!row.bTypematic)
			++n00;
	}
	EXPECT_EQ(n11, 136);
	EXPECT_EQ(n10, 29);
	EXPECT_EQ(n00, 128);
}

TEST(Hid2Ps2Table, Set1CodesAreUniqueExceptBackslash)
{
	std::map<std::uint32_t, std::vector<int>> rowsByCode;
	for (int i = 0; i < HID2PS2_ROWS; ++i)
		if (!IsMarker(HID2PS2Table[i].ulSet1Code))
			rowsByCode[HID2PS2Table[i].ulSet1Code].push_back(i);
	for (const auto &[ulCode, rows] : rowsByCode) {
		if (ulCode == 0x2B)
			EXPECT_EQ(rows, (std::vector<int>{ 49, 50 }));
		else
			EXPECT_EQ(rows.size(), 1u) << "code 0x" << std::hex << ulCode;
	}
}

TEST(Hid2Ps2Lookup, PS2ToHID)
{
	struct Case {
		std::uint32_t ulCode;
		int nResult;
		std::uint16_t ushUsage; // expected outputs; untouched on 0
		std::uint16_t ushSize;
	} const cases[] = {
		{ 0x2B, 1, 50, 1 },          // row 49 answers first
		{ 0x1E, 1, 4, 1 },
		{ 0xE020, 1, 226, 1 },       // "Mute", a consumer row
		{ 0xE06D, 1, 387, 2 },
		{ 0xE071, 1, 769, 2 },
		{ 0xE11D45, 1, 72, 1 },      // Pause
		{ 0xE070, 1, 184, 1 },       // last row
		{ 0x00, 1, 0, 1 },
		{ 0xFF, 1, 1, 1 },
		{ HID2PS2_NO_CODE, 1, 3, 1 },  // markers match like codes
		{ HID2PS2_RESERVED, 1, 166, 1 },
		{ 0xE11D, 0, kUntouched16, kUntouched16 }, // E1 prefix: no row
		{ 0xE1, 0, kUntouched16, kUntouched16 },
		{ 0x1E1E, 0, kUntouched16, kUntouched16 },
		{ 0x8000001E, 0, kUntouched16, kUntouched16 }, // all 32 bits count
		{ 0xE02B, 0, kUntouched16, kUntouched16 },
	};
	for (const Case &c : cases) {
		SCOPED_TRACE(testing::Message() << "code 0x" << std::hex << c.ulCode);
		std::uint16_t ushUsage = kUntouched16, ushSize = kUntouched16;
		EXPECT_EQ(PS2ToHID(static_cast<std::int32_t>(c.ulCode), &ushUsage, &ushSize), c.nResult);
		EXPECT_EQ(ushUsage, c.ushUsage);
		EXPECT_EQ(ushSize, c.ushSize);
	}
}

TEST(Hid2Ps2Lookup, HID2Ps2)
{
	struct Case {
		std::uint8_t uchUsage;
		int nResult;
		std::uint32_t ulCode; // expected outputs; kUntouched* when not written
		std::int32_t bMakeBreak;
		std::int32_t bTypematic;
	} const cases[] = {
		{ 49, 0, kUntouched32, kUntouchedFlag, kUntouchedFlag },
		{ 50, 1, 0x2B, 1, 1 },
		{ 72, 1, 0xE11D45, 0, 0 },
		{ 0, 1, 0x00, 0, 0 },
		{ 4, 1, 0x1E, 1, 1 },
		{ 226, 1, 0x38, 1, 1 },               // keyboard row, never "Mute"
		{ 181, 0, HID2PS2_RESERVED, 0, 0 },   // marker rows write, return 0
		{ 102, 0, HID2PS2_NO_CODE, 0, 0 },
		{ 255, 0, HID2PS2_RESERVED, 0, 0 },
	};
	for (const Case &c : cases) {
		SCOPED_TRACE(testing::Message() << "usage " << int(c.uchUsage));
		std::uint32_t ulCode = kUntouched32;
		std::int32_t bMakeBreak = kUntouchedFlag, bTypematic = kUntouchedFlag;
		EXPECT_EQ(HID2Ps2(c.uchUsage, &ulCode, &bMakeBreak, &bTypematic), c.nResult);
		EXPECT_EQ(ulCode, c.ulCode);
		EXPECT_EQ(bMakeBreak, c.bMakeBreak);
		EXPECT_EQ(bTypematic, c.bTypematic);
	}
}

TEST(Hid2Ps2Lookup, HID2Ps2USHORT)
{
	struct Case {
		std::uint16_t ushUsage;
		std::uint16_t ushSize;
		int nResult;
		std::uint32_t ulCode; // expected outputs; kUntouched* when not written
		std::int32_t bMakeBreak;
		std::int32_t bTypematic;
	} const cases[] = {
		{ 181, 1, 1, 0xE019, 1, 0 },  // reserved keyboard row skipped
		{ 184, 1, 1, 0xE070, 1, 0 },
		{ 205, 1, 1, 0xE022, 1, 0 },
		{ 226, 1, 1, 0x38, 1, 1 },    // "Left Alt" hides "Mute"
		{ 229, 1, 1, 0x36, 1, 1 },    // "Right Shift" hides "Bass Boost"
		{ 231, 1, 1, 0xE05C, 1, 1 },  // "Right GUI" hides "Loudness"
		{ 233, 1, 1, 0xE030, 1, 1 },
		{ 234, 1, 1, 0xE02E, 1, 1 },
		{ 769, 2, 1, 0xE071, 1, 0 },
		{ 50, 1, 1, 0x2B, 1, 1 },
		{ 72, 1, 1, 0xE11D45, 0, 0 },
		// No row with a code: the set-1 output keeps the last marker seen.
		{ 338, 2, 0, HID2PS2_NO_CODE, kUntouchedFlag, kUntouchedFlag },
		{ 102, 1, 0, HID2PS2_NO_CODE, kUntouchedFlag, kUntouchedFlag },
		{ 166, 1, 0, HID2PS2_RESERVED, kUntouchedFlag, kUntouchedFlag },
		// No row at all: nothing written.
		{ 4, 2, 0, kUntouched32, kUntouchedFlag, kUntouchedFlag },
		{ 49, 1, 0, kUntouched32, kUntouchedFlag, kUntouchedFlag },
		{ 387, 1, 0, kUntouched32, kUntouchedFlag, kUntouchedFlag },
		{ 0xFFFF, 2, 0, kUntouched32, kUntouchedFlag, kUntouchedFlag },
	};
	for (const Case &c : cases) {
		SCOPED_TRACE(testing::Message() << "usage " << c.ushUsage << " size " << c.ushSize);
		std::uint32_t ulCode = kUntouched32;
		std::int32_t bMakeBreak = kUntouchedFlag, bTypematic = kUntouchedFlag;
		EXPECT_EQ(HID2Ps2USHORT(c.ushUsage, c.ushSize, &ulCode, &bMakeBreak, &bTypematic),
			  c.nResult);
		EXPECT_EQ(ulCode, c.ulCode);
		EXPECT_EQ(bMakeBreak, c.bMakeBreak);
		EXPECT_EQ(bTypematic, c.bTypematic);
	}
}

TEST(Hid2Ps2Lookup, GetKeyParams)
{
	struct Case {
		std::uint16_t ushUsage;
		std::uint16_t ushSize; // takes no part in the match
		int nResult;
		std::int32_t bMakeBreak;
		std::int32_t bTypematic;
	} const cases[] = {
		{ 226, 2, 1, 1, 1 },  // "Left Alt"
		{ 181, 1, 1, 0, 0 },  // reserved row answers first
		{ 72, 1, 1, 0, 0 },
		{ 769, 1, 1, 1, 0 },
		{ 233, 2, 1, 0, 0 },
		{ 49, 1, 0, kUntouchedFlag, kUntouchedFlag },
		{ 1000, 2, 0, kUntouchedFlag, kUntouchedFlag },
	};
	for (const Case &c : cases) {
		SCOPED_TRACE(testing::Message() << "usage " << c.ushUsage << " size " << c.ushSize);
		std::int32_t bMakeBreak = kUntouchedFlag, bTypematic = kUntouchedFlag;
		EXPECT_EQ(GetKeyParams(c.ushUsage, c.ushSize, &bMakeBreak, &bTypematic), c.nResult);
		EXPECT_EQ(bMakeBreak, c.bMakeBreak);
		EXPECT_EQ(bTypematic, c.bTypematic);
	}
}

// Every key row with a code is reached from its code, apart from row 50,
// which row 49 hides.
TEST(Hid2Ps2Lookup, EveryCodeLeadsToItsFirstRow)
{
	for (int i = 0; i < HID2PS2_ROWS; ++i) {
		const HID2PS2Entry &row = HID2PS2Table[i];
		if (IsMarker(row.ulSet1Code) || i == 50)
			continue;
		std::uint16_t ushUsage = kUntouched16, ushSize = kUntouched16;
		ASSERT_EQ(PS2ToHID(static_cast<std::int32_t>(row.ulSet1Code), &ushUsage, &ushSize), 1);
		EXPECT_EQ(ushUsage, row.ushUsage) << "row " << i;
		EXPECT_EQ(ushSize, row.ushUsageSize) << "row " << i;
	}
}

TEST(Hid2Ps2Lookup, NullOutputsAreSkipped)
{
	EXPECT_EQ(PS2ToHID(0x1E, nullptr, nullptr), 1);
	EXPECT_EQ(HID2Ps2(4, nullptr, nullptr, nullptr), 1);
	EXPECT_EQ(HID2Ps2USHORT(181, 1, nullptr, nullptr, nullptr), 1);
	EXPECT_EQ(GetKeyParams(4, 1, nullptr, nullptr), 1);
}

} // namespace
