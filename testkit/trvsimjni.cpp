// Native half of com.tarvel.jpos.sim.TrvSim: forwards to the C API of the
// driver simulator (sim/trvsim.h) in the preloaded libtrvsim.so.
//
// The simulator must be the LD_PRELOADed copy: only a preloaded library sees
// the open/read/write calls of libnativelayer.so, which the JVM loads later
// with dlopen. So this library does not link libtrvsim.so; it looks the C API
// up among the symbols the process already has (RTLD_DEFAULT) when it is
// loaded, and TrvSim refuses to start when they are missing, with a message
// that says how to preload the simulator, instead of a test that sees no
// device at all.
#include <dlfcn.h>
#include <jni.h>

#include <cstdint>
#include <vector>

#include "trvsim.h"

#define SIM_JNI(name) Java_com_tarvel_jpos_sim_TrvSim_##name

namespace {

// The simulator's entry points, resolved in JNI_OnLoad; all null when the
// simulator is not preloaded.
struct Api {
#define TRVSIM_FN(name) decltype(&::trvsim_##name) name = nullptr;
#include "trvsimjni_api.inc"
#undef TRVSIM_FN
} api;
bool g_preloaded = false;

void resolve()
{
	bool all = true;
#define TRVSIM_FN(name)                                                                     \
	api.name = reinterpret_cast<decltype(&::trvsim_##name)>(dlsym(RTLD_DEFAULT, "trvsim_" #name)); \
	all = all && api.name != nullptr;
#include "trvsimjni_api.inc"
#undef TRVSIM_FN
	g_preloaded = all;
}

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

// A new Java byte array holding n bytes, or null (with an exception pending
// when the array could not be made).
jbyteArray newBytes(JNIEnv *env, const std::uint8_t *p, std::size_t n)
{
	jbyteArray arr = env->NewByteArray(static_cast<jsize>(n));
	if (arr != nullptr && n > 0)
		env->SetByteArrayRegion(arr, 0, static_cast<jsize>(n), reinterpret_cast<const jbyte *>(p));
	return arr;
}

} // namespace

extern "C" {

JNIEXPORT jint JNICALL JNI_OnLoad(JavaVM *, void *)
{
	resolve();
	return JNI_VERSION_1_8;
}

// The Java side checks this before any other call, so the calls below may
// use the entry points without testing them.
JNIEXPORT jboolean JNICALL SIM_JNI(preloaded)(JNIEnv *, jclass)
{
	return g_preloaded ? JNI_TRUE : JNI_FALSE;
}

JNIEXPORT void JNICALL SIM_JNI(reset)(JNIEnv *, jclass)
{
	api.reset();
}

JNIEXPORT void JNICALL SIM_JNI(nSetPresent)(JNIEnv *, jclass, jint node, jboolean present)
{
	api.set_present(node, present ? 1 : 0);
}

JNIEXPORT void JNICALL SIM_JNI(nTypePs2)(JNIEnv *env, jclass, jbyteArray bytes)
{
	const auto b = bytesOf(env, bytes);
	api.ps2_type(b.data(), b.size());
}

JNIEXPORT void JNICALL SIM_JNI(nTypeUsb)(JNIEnv *env, jclass, jintArray entries)
{
	if (entries == nullptr)
		return;
	std::vector<std::uint32_t> e(static_cast<std::size_t>(env->GetArrayLength(entries)));
	if (!e.empty())
		env->GetIntArrayRegion(entries, 0, static_cast<jsize>(e.size()),
				       reinterpret_cast<jint *>(e.data()));
	api.usb_type(e.data(), e.size());
}

JNIEXPORT void JNICALL SIM_JNI(nSetKeylock)(JNIEnv *, jclass, jint attachment, jint position)
{
	api.set_keylock(attachment, static_cast<std::uint16_t>(position));
}

JNIEXPORT void JNICALL SIM_JNI(nSwipeTrack)(JNIEnv *env, jclass, jint attachment, jint track,
					    jbyteArray bytes)
{
	const auto b = bytesOf(env, bytes);
	api.swipe_track(attachment, track, b.data(), b.size());
}

JNIEXPORT void JNICALL SIM_JNI(nFailOpen)(JNIEnv *, jclass, jint node, jboolean on)
{
	api.fail_open(node, on ? 1 : 0);
}

JNIEXPORT void JNICALL SIM_JNI(nFailReads)(JNIEnv *, jclass, jint node, jint count)
{
	api.fail_reads(node, count);
}

// A negative limit lifts it (SIZE_MAX in the C API).
JNIEXPORT void JNICALL SIM_JNI(nShortReads)(JNIEnv *, jclass, jint node, jint max)
{
	api.short_reads(node, max < 0 ? SIZE_MAX : static_cast<std::size_t>(max));
}

JNIEXPORT void JNICALL SIM_JNI(nShortWrites)(JNIEnv *, jclass, jint node, jint max)
{
	api.short_writes(node, max < 0 ? SIZE_MAX : static_cast<std::size_t>(max));
}

JNIEXPORT void JNICALL SIM_JNI(nRawStatus)(JNIEnv *env, jclass, jint node, jbyteArray bytes,
					   jint count)
{
	const auto b = bytesOf(env, bytes);
	api.raw_status(node, b.data(), b.size(), count);
}

// A negative length ends a forced length.
JNIEXPORT void JNICALL SIM_JNI(nTrackLength)(JNIEnv *, jclass, jint attachment, jint track,
					     jint length)
{
	if (length < 0)
		api.clear_track_len(attachment, track);
	else
		api.force_track_len(attachment, track, static_cast<std::uint16_t>(length));
}

JNIEXPORT void JNICALL SIM_JNI(nUnplug)(JNIEnv *, jclass, jint node, jboolean on)
{
	api.unplug(node, on ? 1 : 0);
}

JNIEXPORT jlong JNICALL SIM_JNI(nReads)(JNIEnv *, jclass, jint node)
{
	return api.reads(node);
}

JNIEXPORT jint JNICALL SIM_JNI(nOpenDescriptors)(JNIEnv *, jclass, jint node)
{
	return api.open_descriptors(node);
}

JNIEXPORT jint JNICALL SIM_JNI(nWriteCount)(JNIEnv *, jclass, jint node)
{
	return api.write_count(node);
}

// The index-th write recorded on the node (-1: the newest), or null.
JNIEXPORT jbyteArray JNICALL SIM_JNI(nWritten)(JNIEnv *env, jclass, jint node, jint index)
{
	const long n = api.written(node, index, nullptr, 0);
	if (n < 0)
		return nullptr;
	std::vector<std::uint8_t> buf(static_cast<std::size_t>(n));
	api.written(node, index, buf.data(), buf.size());
	return newBytes(env, buf.data(), buf.size());
}

JNIEXPORT jlong JNICALL SIM_JNI(nQueued)(JNIEnv *, jclass, jint node)
{
	return static_cast<jlong>(api.queued(node));
}

JNIEXPORT jboolean JNICALL SIM_JNI(nWaitReads)(JNIEnv *, jclass, jint node, jlong count,
					       jint timeoutMs)
{
	return api.wait_reads(node, count, timeoutMs) ? JNI_TRUE : JNI_FALSE;
}

JNIEXPORT void JNICALL SIM_JNI(nStepMode)(JNIEnv *, jclass, jint gateNode, jboolean on)
{
	api.step_mode(gateNode, on ? 1 : 0);
}

JNIEXPORT jboolean JNICALL SIM_JNI(nStep)(JNIEnv *, jclass, jint count, jint timeoutMs)
{
	return api.step(count, timeoutMs) ? JNI_TRUE : JNI_FALSE;
}

// Loads a scenario; null on success, else the message ("line N: problem").
JNIEXPORT jstring JNICALL SIM_JNI(nLoadScenario)(JNIEnv *env, jclass, jstring text)
{
	const char *chars = text != nullptr ? env->GetStringUTFChars(text, nullptr) : nullptr;
	if (text != nullptr && chars == nullptr)
		return nullptr; // OutOfMemoryError pending
	char error[256] = "";
	const int r = api.scenario_load(chars != nullptr ? chars : "", error, sizeof error);
	if (chars != nullptr)
		env->ReleaseStringUTFChars(text, chars);
	return r == 0 ? nullptr : env->NewStringUTF(error);
}

JNIEXPORT jint JNICALL SIM_JNI(scenarioPending)(JNIEnv *, jclass)
{
	return api.scenario_pending();
}

} // extern "C"
