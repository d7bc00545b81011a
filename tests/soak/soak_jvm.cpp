// The soak in a real JVM: Soak.run hands the core a JNI face of the service
// object. Each thread the core starts is attached to the JVM (a Java
// thread), and every call goes through the service's Java methods, so the
// JVM binds and checks (-Xcheck:jni) each native call of the library.
#include <jni.h>

#include <cstring>
#include <string>
#include <vector>

#include "soak.h"

namespace {

// Resident memory of the JVM may grow this much after warm-up (JIT code,
// metaspace); the Java heap is bounded by -Xmx.
constexpr long RSS_BOUND_KIB = 32 * 1024;

JavaVM *g_vm = nullptr;
jobject g_service = nullptr; // global reference

struct Methods {
	jmethodID open[3], close[3], claim[2], release[2];
	jmethodID startPolling, stopPolling, getKbdData, getTrack[4], getKeyLockData, getKeyLockPosition;
	jmethodID getVersion, setposkey, writeKeyboardConfig, writeMSRConfig;
	jclass system; // global reference
	jmethodID gc;
} g_m;

void LookUp(JNIEnv *env, jobject service)
{
	jclass c = env->GetObjectClass(service);
	auto m = [&](const char *name, const char *sig) { return env->GetMethodID(c, name, sig); };
	g_m.open[soak::KEYBOARD] = m("openKeyBoard", "(Ljava/lang/String;)I");
	g_m.open[soak::MSR] = m("openMSR", "(Ljava/lang/String;)I");
	g_m.open[soak::KEYLOCK] = m("openKeyLock", "(Ljava/lang/String;)I");
	g_m.close[soak::KEYBOARD] = m("closeKeyBoard", "()V");
	g_m.close[soak::MSR] = m("closeMSR", "()V");
	g_m.close[soak::KEYLOCK] = m("closeKeyLock", "()I");
	g_m.claim[soak::KEYBOARD] = m("claimKeyboard", "()I");
	g_m.claim[soak::MSR] = m("claimMSR", "()I");
	g_m.release[soak::KEYBOARD] = m("releaseKeyboard", "()I");
	g_m.release[soak::MSR] = m("releaseMSR", "()I");
	g_m.startPolling = m("startPolling", "()V");
	g_m.stopPolling = m("stopPolling", "()V");
	g_m.getKbdData = m("getKbdData", "()[I");
	const char *tracks[] = {"getMsrTrack1Data", "getMsrTrack2Data", "getMsrTrack3Data", "getMsrTrack4Data"};
	for (int i = 0; i < 4; ++i)
		g_m.getTrack[i] = m(tracks[i], "()[B");
	g_m.getKeyLockData = m("getKeyLockData", "()[B");
	g_m.getKeyLockPosition = m("getKeyLockPosition", "()I");
	g_m.getVersion = m("getVersion", "()[B");
	g_m.setposkey = m("setposkey", "(I[I)I");
	g_m.writeKeyboardConfig = m("writeKeyboardConfig", "()I");
	g_m.writeMSRConfig = m("writeMSRConfig", "(I[B)I");
	jclass sys = env->FindClass("java/lang/System");
	g_m.system = static_cast<jclass>(env->NewGlobalRef(sys));
	g_m.gc = env->GetStaticMethodID(sys, "gc", "()V");
	env->DeleteLocalRef(sys);
	env->DeleteLocalRef(c);
}

class JvmApi : public soak::Api {
public:
	explicit JvmApi(JNIEnv *env) : env_(env) {}

	int Open(soak::Device d) override
	{
		jstring name = env_->NewStringUTF("soak");
		const jint r = env_->CallIntMethod(g_service, g_m.open[d], name);
		Check("open");
		env_->DeleteLocalRef(name);
		return r;
	}
	int Close(soak::Device d) override
	{
		if (d == soak::KEYLOCK)
			return Int(g_m.close[d], "closeKeyLock");
		env_->CallVoidMethod(g_service, g_m.close[d]);
		Check("close");
		return 0;
	}
	int Claim(soak::Device d) override { return Int(g_m.claim[d], "claim"); }
	int Release(soak::Device d) override { return Int(g_m.release[d], "release"); }
	void StartPolling() override
	{
		env_->CallVoidMethod(g_service, g_m.startPolling);
		Check("startPolling");
	}
	void StopPolling() override
	{
		env_->CallVoidMethod(g_service, g_m.stopPolling);
		Check("stopPolling");
	}
	std::vector<std::int32_t> GetKbdData(bool *failed) override
	{
		auto arr = static_cast<jintArray>(env_->CallObjectMethod(g_service, g_m.getKbdData));
		Check("getKbdData");
		std::vector<std::int32_t> v;
		*failed |= arr == nullptr;
		if (arr != nullptr) {
			v.resize(static_cast<std::size_t>(env_->GetArrayLength(arr)));
			env_->GetIntArrayRegion(arr, 0, static_cast<jsize>(v.size()), reinterpret_cast<jint *>(v.data()));
			env_->DeleteLocalRef(arr);
		}
		return v;
	}
	std::vector<std::uint8_t> GetTrack(int track, bool *failed) override
	{
		return Bytes(g_m.getTrack[track - 1], failed);
	}
	std::vector<std::uint8_t> GetKeyLockData(bool *failed) override { return Bytes(g_m.getKeyLockData, failed); }
	int GetKeyLockPosition() override { return Int(g_m.getKeyLockPosition, "getKeyLockPosition"); }
	std::vector<std::uint8_t> GetVersion() override
	{
		bool failed = false;
		return Bytes(g_m.getVersion, &failed);
	}
	int SetPosKey(const std::int32_t key[5]) override
	{
		jintArray arr = env_->NewIntArray(5);
		env_->SetIntArrayRegion(arr, 0, 5, reinterpret_cast<const jint *>(key));
		const jint r = env_->CallIntMethod(g_service, g_m.setposkey, 0, arr);
		Check("setposkey");
		env_->DeleteLocalRef(arr);
		return r;
	}
	int WriteKeyboardConfig() override { return Int(g_m.writeKeyboardConfig, "writeKeyboardConfig"); }
	int WriteMsrConfig(const std::vector<std::uint8_t> &leading) override
	{
		jbyteArray arr = env_->NewByteArray(static_cast<jsize>(leading.size()));
		env_->SetByteArrayRegion(arr, 0, static_cast<jsize>(leading.size()),
					 reinterpret_cast<const jbyte *>(leading.data()));
		const jint r = env_->CallIntMethod(g_service, g_m.writeMSRConfig, 0, arr);
		Check("writeMSRConfig");
		env_->DeleteLocalRef(arr);
		return r;
	}
	void CollectGarbage() override
	{
		env_->CallStaticVoidMethod(g_m.system, g_m.gc);
		Check("System.gc");
	}

private:
	// A Java exception out of a native method of the library is a fault.
	void Check(const char *what)
	{
		if (!env_->ExceptionCheck())
			return;
		env_->ExceptionDescribe();
		env_->ExceptionClear();
		soak::Violation("no Java exception", std::string(what) + " threw");
	}
	int Int(jmethodID m, const char *what)
	{
		const jint r = env_->CallIntMethod(g_service, m);
		Check(what);
		return r;
	}
	std::vector<std::uint8_t> Bytes(jmethodID m, bool *failed)
	{
		auto arr = static_cast<jbyteArray>(env_->CallObjectMethod(g_service, m));
		Check("byte array getter");
		std::vector<std::uint8_t> v;
		*failed |= arr == nullptr;
		if (arr != nullptr) {
			v.resize(static_cast<std::size_t>(env_->GetArrayLength(arr)));
			env_->GetByteArrayRegion(arr, 0, static_cast<jsize>(v.size()), reinterpret_cast<jbyte *>(v.data()));
			env_->DeleteLocalRef(arr);
		}
		return v;
	}

	JNIEnv *env_;
};

} // namespace

extern "C" {

JNIEXPORT jint JNICALL Java_com_tarvel_jpos_test_Soak_run(JNIEnv *env, jclass, jobject service, jobjectArray args)
{
	env->GetJavaVM(&g_vm);
	g_service = env->NewGlobalRef(service);
	LookUp(env, service);
	std::vector<std::string> strings{"soak"};
	for (jsize i = 0; i < env->GetArrayLength(args); ++i) {
		auto s = static_cast<jstring>(env->GetObjectArrayElement(args, i));
		const char *c = env->GetStringUTFChars(s, nullptr);
		strings.emplace_back(c);
		env->ReleaseStringUTFChars(s, c);
		env->DeleteLocalRef(s);
	}
	std::vector<char *> argv;
	for (auto &s : strings)
		argv.push_back(s.data());
	soak::Options opt = soak::OptionsFrom(static_cast<int>(argv.size()), argv.data(), RSS_BOUND_KIB);
	opt.cardObject = "libnativelayer.so";
	JvmApi main(env);
	const int status = soak::Run(opt, main, [](const char *name, std::function<void(soak::Api &)> body) {
		return std::thread([name, body = std::move(body)] {
			JNIEnv *e = nullptr;
			JavaVMAttachArgs attach{JNI_VERSION_1_8, const_cast<char *>(name), nullptr};
			if (g_vm->AttachCurrentThread(reinterpret_cast<void **>(&e), &attach) != JNI_OK)
				std::abort();
			{
				JvmApi api(e);
				body(api);
			}
			g_vm->DetachCurrentThread();
		});
	});
	env->DeleteGlobalRef(g_service);
	return status;
}

// True: the Java callback throws when this returns.
JNIEXPORT jboolean JNICALL Java_com_tarvel_jpos_test_Soak_callback(JNIEnv *env, jclass, jint kind)
{
	JvmApi api(env);
	return soak::OnCallback(static_cast<soak::Callback>(kind), api) ? JNI_TRUE : JNI_FALSE;
}

} // extern "C"
