// POS key declaration: the Java side names one POS key per call, and the key
// is entered into the two POS key tables (set-1 code marks for the PS/2
// driver, 16-bit POS key values per HID usage for the USB driver). The
// drivers receive the tables with writeKeyboardConfig.
#include "hid2ps2.h"
#include "nativelayer.h"
#include "sessions.h"

namespace {

// Elements of the declaration array.
constexpr jsize DECL_ELEMENTS = 5;
constexpr int DECL_VALUE = 0;
constexpr int DECL_COMBINATION = 1;
constexpr int DECL_KEY = 3;

// Entry of g_rgushHIDKeyConfUSB that holds the combination key's usage;
// a key declared with a combination key sits at this base + its usage.
constexpr int COMBINATION_ENTRY = 256;

// Region bases of g_rguchSet1KeyConf by prefix byte.
constexpr int REGION_E0 = 128;
constexpr int REGION_E1 = 256;

// Index of a set-1 code in g_rguchSet1KeyConf: region base from the prefix
// byte (bits 8-15), plus the code byte (bits 0-7). The index is not confined
// to the region; it may lie beyond the table for an E1 code byte above 0x80.
int Set1ConfIndex(std::int32_t nKey)
{
	const auto ulKey = static_cast<std::uint32_t>(nKey);
	const std::uint32_t ulPrefix = (ulKey >> 8) & 0xFF;
	const int nBase = ulPrefix == 0xE0 ? REGION_E0 : ulPrefix == 0xE1 ? REGION_E1 : 0;
	return nBase + static_cast<int>(ulKey & 0xFF);
}

// Usage of a set-1 code, when the key table has a row for it and the usage
// has an entry in the USB table; -1 otherwise.
int UsbUsageOf(std::int32_t nSet1Code)
{
	std::uint16_t ushUsage = 0;
	std::uint16_t ushUsageSize = 0;
	if (PS2ToHID(nSet1Code, &ushUsage, &ushUsageSize) == 0 || ushUsage >= HID_KEY_CONF_ENTRIES)
		return -1;
	return ushUsage;
}

// Enters one declaration into the tables. An entry that would lie outside a
// table is skipped; the rest of the declaration still applies.
void DeclarePosKey(const std::int32_t (&decl)[DECL_ELEMENTS])
{
	const auto ushValue = static_cast<std::uint16_t>(static_cast<std::uint32_t>(decl[DECL_VALUE]) & 0xFFFF);
	const std::int32_t nCombination = decl[DECL_COMBINATION];
	const std::int32_t nKey = decl[DECL_KEY];

	if (nCombination == 0) {
		const int nIndex = Set1ConfIndex(nKey);
		if (nIndex < SET1_KEY_CONF_SIZE)
			g_rguchSet1KeyConf[nIndex] = 1;
		const int nUsage = UsbUsageOf(nKey);
		if (nUsage >= 0)
			g_rgushHIDKeyConfUSB[nUsage] = ushValue;
		return;
	}

	// A combination key without a usable usage voids the whole declaration.
	const int nCombinationUsage = UsbUsageOf(nCombination);
	if (nCombinationUsage < 0)
		return;
	g_rgushHIDKeyConfUSB[COMBINATION_ENTRY] = static_cast<std::uint16_t>(nCombinationUsage);

	const int nUsage = UsbUsageOf(nKey);
	if (nUsage >= 0 && COMBINATION_ENTRY + nUsage < HID_KEY_CONF_ENTRIES)
		g_rgushHIDKeyConfUSB[COMBINATION_ENTRY + nUsage] = ushValue;
}

} // namespace

extern "C" {

// Declares one POS key: {value, combination key, -, key, -}. Returns 0 when
// the array has five elements (whether or not the keys were found), -1 for a
// null array, another length, or elements that cannot be fetched.
JNIEXPORT jint JNICALL TRV_JNI(setposkey)(JNIEnv *env, jobject, jint, jintArray keyArray)
{
	if (env == nullptr || keyArray == nullptr)
		return -1;

	const jsize nLength = env->GetArrayLength(keyArray);
	jint *pElements = env->GetIntArrayElements(keyArray, nullptr);
	if (pElements == nullptr) {
		// The VM has an OutOfMemoryError pending; the result says it all.
		if (env->ExceptionCheck())
			env->ExceptionClear();
		return -1;
	}

	jint nResult = -1;
	std::int32_t decl[DECL_ELEMENTS];
	if (nLength == DECL_ELEMENTS) {
		for (int i = 0; i < DECL_ELEMENTS; ++i)
			decl[i] = pElements[i];
		nResult = 0;
	}
	env->ReleaseIntArrayElements(keyArray, pElements, 0);

	// The tables are sent and emptied under the keyboard's session lock;
	// a declaration made beside them would tear the table on its way out.
	if (nResult == 0) {
		std::lock_guard lock(g_KeyboardSessionLock);
		DeclarePosKey(decl);
	}
	return nResult;
}

} // extern "C"
