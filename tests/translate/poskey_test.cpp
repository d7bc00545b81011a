// POS key declarations through setposkey: where each key lands in the PS/2
// and USB tables, and what is refused.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <vector>

#include "fake_jni.h"
#include "nativelayer.h"

namespace {

class SetPosKey : public testing::Test {
protected:
	void SetUp() override { ClearTables(); }
	void TearDown() override
	{
		fakejni::ExpectCleanJni(jni);
		ClearTables();
	}

	static void ClearTables()
	{
		std::memset(g_rguchSet1KeyConf, 0, sizeof g_rguchSet1KeyConf);
		std::memset(g_rgushHIDKeyConfUSB, 0, sizeof g_rgushHIDKeyConfUSB);
	}

	jint Declare(const std::vector<std::int32_t> &elements)
	{
		return TRV_JNI(setposkey)(jni.env(), jni.service(), 0, jni.newIntArray(elements));
	}

	// Non-zero entries of the tables, index -> value.
	static std::map<int, int> Ps2Entries()
	{
		std::map<int, int> m;
		for (int i = 0; i < SET1_KEY_CONF_SIZE; ++i)
			if (g_rguchSet1KeyConf[i] != 0)
				m[i] = g_rguchSet1KeyConf[i];
		return m;
	}
	static std::map<int, int> UsbEntries()
	{
		std::map<int, int> m;
		for (int i = 0; i < HID_KEY_CONF_ENTRIES; ++i)
			if (g_rgushHIDKeyConfUSB[i] != 0)
				m[i] = g_rgushHIDKeyConfUSB[i];
		return m;
	}

	fakejni::FakeJni jni;
};

// One declaration on empty tables: the entries it leaves behind.
TEST_F(SetPosKey, WhereADeclarationLands)
{
	struct {
		const char *name;
		std::vector<std::int32_t> elements;
		std::map<int, int> ps2;
		std::map<int, int> usb;
	} cases[] = {
		{"plain key a", {7, 0, 0, 0x1E, 0}, {{0x1E, 1}}, {{4, 7}}},
		{"E0 key: keypad enter", {7, 0, 0, 0xE01C, 0}, {{156, 1}}, {{88, 7}}},
		{"E1 code without a row", {7, 0, 0, 0xE11D, 0}, {{285, 1}}, {}},
		{"pause: prefix byte 1D counts as plain", {7, 0, 0, 0xE11D45, 0}, {{0x45, 1}}, {{72, 7}}},
		{"plain code above 7F lands in E0 region", {7, 0, 0, 0xF2, 0}, {{242, 1}}, {{144, 7}}},
		{"two-byte usage below 512", {7, 0, 0, 0xE06D, 0}, {{237, 1}}, {{387, 7}}},
		{"usage 512 or more: PS/2 entry only", {7, 0, 0, 0xE065, 0}, {{128 + 0x65, 1}}, {}},
		{"unknown key: PS/2 entry only", {7, 0, 0, 0x7F, 0}, {{0x7F, 1}}, {}},
		{"no-code marker finds usage 3", {7, 0, 0, -1, 0}, {{255, 1}}, {{3, 7}}},
		{"value keeps its low 16 bits", {0x12345, 0, 0, 0x1E, 0}, {{0x1E, 1}}, {{4, 0x2345}}},
		{"negative value", {-1, 0, 0, 0x1E, 0}, {{0x1E, 1}}, {{4, 0xFFFF}}},
		{"unused elements are ignored", {7, 0, 99, 0x1E, -5}, {{0x1E, 1}}, {{4, 7}}},
		{"with combination key", {9, 0x1D, 0, 0x1E, 0}, {}, {{256, 224}, {260, 9}}},
		{"combination key code 0 (usage 0)", {9, 0x1D, 0, 0, 0}, {}, {{256, 9}}},
		{"unknown combination key voids all", {9, 0x7F, 0, 0x1E, 0}, {}, {}},
		{"combination usage 512+ voids all", {9, 0xE065, 0, 0x1E, 0}, {}, {}},
		{"combination with unknown key", {9, 0x1D, 0, 0x7F, 0}, {}, {{256, 224}}},
		{"combination key with two-byte usage", {9, 0xE06D, 0, 0x1E, 0}, {}, {{256, 387}, {260, 9}}},
		// The tables have no entry for these; the entry is skipped and the
		// rest of the declaration still applies.
		{"E1 code byte 0x80: last PS/2 entry", {7, 0, 0, 0xE180, 0}, {{384, 1}}, {}},
		{"E1 code byte 0x81: beyond the PS/2 table", {7, 0, 0, 0xE181, 0}, {}, {}},
		{"E1 code byte 0xFF: beyond the PS/2 table", {7, 0, 0, 0xE1FF, 0}, {}, {}},
		{"combination, key usage 231: entry 487", {9, 0x1D, 0, 0xE05C, 0}, {}, {{256, 224}, {487, 9}}},
		{"key usage 256+ with combination: skipped", {9, 0x1D, 0, 0xE06D, 0}, {}, {{256, 224}}},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		ClearTables();
		EXPECT_EQ(Declare(c.elements), 0);
		EXPECT_EQ(Ps2Entries(), c.ps2);
		EXPECT_EQ(UsbEntries(), c.usb);
	}
}

TEST_F(SetPosKey, DeclarationsAccumulate)
{
	EXPECT_EQ(Declare({7, 0, 0, 0x1E, 0}), 0);
	EXPECT_EQ(Declare({8, 0, 0, 0x30, 0}), 0);
	EXPECT_EQ(Declare({9, 0x1D, 0, 0x1E, 0}), 0);
	EXPECT_EQ(Declare({3, 0x38, 0, 0x30, 0}), 0); // replaces entry 256
	EXPECT_EQ(Declare({5, 0, 0, 0x1E, 0}), 0);    // overwrites a's USB value
	EXPECT_EQ(Ps2Entries(), (std::map<int, int>{{0x1E, 1}, {0x30, 1}}));
	EXPECT_EQ(UsbEntries(), (std::map<int, int>{{4, 5}, {5, 8}, {256, 226}, {260, 9}, {261, 3}}));
}

TEST_F(SetPosKey, RefusedArraysChangeNothing)
{
	Declare({7, 0, 0, 0x30, 0});
	const auto ps2 = Ps2Entries();
	const auto usb = UsbEntries();

	for (std::size_t n : {0u, 1u, 4u, 6u, 10u}) {
		SCOPED_TRACE(n);
		std::vector<std::int32_t> elements(n, 0x1E);
		EXPECT_EQ(Declare(elements), -1);
		EXPECT_EQ(Ps2Entries(), ps2);
		EXPECT_EQ(UsbEntries(), usb);
	}

	const int lengthCalls = jni.calls("GetArrayLength");
	EXPECT_EQ(TRV_JNI(setposkey)(jni.env(), jni.service(), 0, nullptr), -1);
	EXPECT_EQ(jni.calls("GetArrayLength"), lengthCalls) << "array length asked of a null array";

	jni.failArrayElements(true);
	EXPECT_EQ(Declare({7, 0, 0, 0x1E, 0}), -1);
	EXPECT_EQ(jni.calls("ReleaseIntArrayElements"), 6) << "released elements never fetched";
	jni.failArrayElements(false);

	EXPECT_EQ(Ps2Entries(), ps2);
	EXPECT_EQ(UsbEntries(), usb);
}

} // namespace
