#!/usr/bin/env bash
# Checks the dynamic symbols of libnativelayer.so: every JNI entry point of
# com.tarvel.jpos.ServiceLayer and every named C function and table is
# exported unmangled, and no C++ internal leaks out.
set -euo pipefail
lib=$1
syms=$(nm -D --defined-only "$lib" | awk '{print $3}')
fail=0
jni=(getVersion openKeyBoard closeKeyBoard claimKeyboard releaseKeyboard enablekeyBoard
	disableKeyBoard getKeyboardPowerState clearKeyBoardInput getKbdData writeKeyboardConfig
	setposkey openMSR closeMSR claimMSR releaseMSR enableMSR disableMSR clearMSRInput
	getMSRPowerState writeMSRConfig getMsrTrack1Data getMsrTrack2Data getMsrTrack3Data
	getMsrTrack4Data openKeyLock closeKeyLock enableKeylock disableKeylock writeKeylockConfig
	getKeylockPowerState getKeyLockPosition getPositionCount getKeyLockData startPolling
	stopPolling)
named=(HID2PS2Table PS2ToHID HID2Ps2 HID2Ps2USHORT GetKeyParams parseini
	TranslateRawToAscii UpdateModifierFlags g_MsrMapSet1 WriteKeyboardConfiguration
	WriteKeyboardConfigurationToDevice WriteMSRConfiguration WriteMSRConfigurationUSB
	ReadHeaderConfiguration HandleKeyboardDataPS2 HandleKeyboardDataUSB HandleKeylockDataPS2
	HandleKeylockDataUSB HandleMSRDataPS2 HandleMSRDataUSB HandleMSRTrackPS2
	HandleMSRTrackUSB g_DeviceChannels g_rguchSet1KeyConf g_rgushHIDKeyConfUSB)
for name in "${jni[@]}"; do
	grep -qx "Java_com_tarvel_jpos_ServiceLayer_$name" <<<"$syms" || { echo "missing JNI entry point $name"; fail=1; }
done
for name in "${named[@]}"; do
	grep -qx "$name" <<<"$syms" || { echo "missing $name"; fail=1; }
done
count=$(grep -c '^Java_com_tarvel_jpos_ServiceLayer_' <<<"$syms" || true)
[ "$count" -eq 36 ] || { echo "expected 36 JNI entry points, found $count"; fail=1; }
if grep -q '^_Z' <<<"$syms"; then
	echo "C++ symbols exported:"; grep '^_Z' <<<"$syms"; fail=1
fi
[ $fail -eq 0 ] && echo "exports of $lib: 36 JNI entry points and ${#named[@]} named symbols"
exit $fail
