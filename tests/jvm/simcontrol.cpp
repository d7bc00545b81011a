// JNI face of the driver simulator for the JVM tests: lets a Java test queue
// keys, keylock moves and swipes, step the polling loop one cycle at a time
// and read back what the library wrote to the nodes. The simulator itself is
// the LD_PRELOADed libtrvsim.so; this library only forwards to its C API.
#include <jni.h>

#include <cstdint>
#include <vector>

#include "trvsim.h"

#define SIM_JNI(name) Java_com_tarvel_jpos_test_Sim_##name

namespace {

// Copies a Java byte array; a null array gives an empty vector.
std::vector<std::uint8_t> bytesOf(JNIEnv *env, jbyteArray arr)
{
	std::vector<std::uint8_t> out;
	if (arr == nullptr)
		return out;
	out.resize(static_cast<std::size_t>(env->GetArrayLength(arr)));
	if (!out.empty())
		env->GetByteArrayRegion(arr, 0, static_cast<jsize>(out.size()),
					reinterpret_cast<jbyte *>(out.data()));
	return out;
}

} // namespace

extern "C" {

JNIEXPORT void JNICALL SIM_JNI(reset)(JNIEnv *, jclass)
{
	trvsim_reset();
}

JNIEXPORT void JNICALL SIM_JNI(setPresent)(JNIEnv *, jclass, jint node, jboolean present)
{
	trvsim_set_present(node, present ? 1 : 0);
}

JNIEXPORT void JNICALL SIM_JNI(ps2Type)(JNIEnv *env, jclass, jbyteArray bytes)
{
	const auto b = bytesOf(env, bytes);
	trvsim_ps2_type(b.data(), b.size());
}

JNIEXPORT void JNICALL SIM_JNI(usbType)(JNIEnv *env, jclass, jintArray entries)
{
	if (entries == nullptr)
		return;
	std::vector<std::uint32_t> e(static_cast<std::size_t>(env->GetArrayLength(entries)));
	if (!e.empty())
		env->GetIntArrayRegion(entries, 0, static_cast<jsize>(e.size()),
				       reinterpret_cast<jint *>(e.data()));
	trvsim_usb_type(e.data(), e.size());
}

JNIEXPORT void JNICALL SIM_JNI(setKeylock)(JNIEnv *, jclass, jint attachment, jint position)
{
	trvsim_set_keylock(attachment, static_cast<std::uint16_t>(position));
}

JNIEXPORT void JNICALL SIM_JNI(swipeTrack)(JNIEnv *env, jclass, jint attachment, jint track,
					   jbyteArray bytes)
{
	const auto b = bytesOf(env, bytes);
	trvsim_swipe_track(attachment, track, b.data(), b.size());
}

JNIEXPORT jlong JNICALL SIM_JNI(reads)(JNIEnv *, jclass, jint node)
{
	return trvsim_reads(node);
}

JNIEXPORT jint JNICALL SIM_JNI(openDescriptors)(JNIEnv *, jclass, jint node)
{
	return trvsim_open_descriptors(node);
}

JNIEXPORT jint JNICALL SIM_JNI(writeCount)(JNIEnv *, jclass, jint node)
{
	return trvsim_write_count(node);
}

// The index-th write recorded on the node (-1: the newest), or null.
JNIEXPORT jbyteArray JNICALL SIM_JNI(written)(JNIEnv *env, jclass, jint node, jint index)
{
	const long n = trvsim_written(node, index, nullptr, 0);
	if (n < 0)
		return nullptr;
	std::vector<std::uint8_t> buf(static_cast<std::size_t>(n));
	trvsim_written(node, index, buf.data(), buf.size());
	jbyteArray arr = env->NewByteArray(static_cast<jsize>(n));
	if (arr != nullptr && n > 0)
		env->SetByteArrayRegion(arr, 0, static_cast<jsize>(n),
					reinterpret_cast<const jbyte *>(buf.data()));
	return arr;
}

JNIEXPORT jlong JNICALL SIM_JNI(queued)(JNIEnv *, jclass, jint node)
{
	return static_cast<jlong>(trvsim_queued(node));
}

JNIEXPORT jboolean JNICALL SIM_JNI(waitReads)(JNIEnv *, jclass, jint node, jlong count,
					      jint timeoutMs)
{
	return trvsim_wait_reads(node, count, timeoutMs) ? JNI_TRUE : JNI_FALSE;
}

JNIEXPORT void JNICALL SIM_JNI(stepMode)(JNIEnv *, jclass, jint gateNode, jboolean on)
{
	trvsim_step_mode(gateNode, on ? 1 : 0);
}

JNIEXPORT jboolean JNICALL SIM_JNI(step)(JNIEnv *, jclass, jint count, jint timeoutMs)
{
	return trvsim_step(count, timeoutMs) ? JNI_TRUE : JNI_FALSE;
}

} // extern "C"
