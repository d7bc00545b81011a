// The soak in process: the library's entry points called through the fake
// JNI table, the simulator linked in. Built in the plain, ASan+UBSan and
// TSan configurations.
#include <string>

#include "fake_jni.h"
#include "nativelayer.h"
#include "soak.h"
#include "trvsim.h"

namespace {

// Resident memory may grow this much after warm-up (the sanitizers' own
// allocators grow far more, so they only print it).
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr long RSS_BOUND_KIB = 0;
#else
constexpr long RSS_BOUND_KIB = 8 * 1024;
#endif

class FakeApi : public soak::Api {
public:
	FakeApi(fakejni::FakeJni &jni, JNIEnv *env) : jni_(jni), env_(env), obj_(jni.service()) {}

	int Open(soak::Device d) override
	{
		jstring name = jni_.newString("soak");
		const jint r = d == soak::KEYBOARD ? TRV_JNI(openKeyBoard)(env_, obj_, name)
			       : d == soak::MSR    ? TRV_JNI(openMSR)(env_, obj_, name)
						   : TRV_JNI(openKeyLock)(env_, obj_, name);
		env_->DeleteLocalRef(name);
		return r;
	}
	int Close(soak::Device d) override
	{
		if (d == soak::KEYLOCK)
			return TRV_JNI(closeKeyLock)(env_, obj_);
		d == soak::KEYBOARD ? TRV_JNI(closeKeyBoard)(env_, obj_) : TRV_JNI(closeMSR)(env_, obj_);
		return 0;
	}
	int Claim(soak::Device d) override
	{
		return d == soak::KEYBOARD ? TRV_JNI(claimKeyboard)(env_, obj_) : TRV_JNI(claimMSR)(env_, obj_);
	}
	int Release(soak::Device d) override
	{
		return d == soak::KEYBOARD ? TRV_JNI(releaseKeyboard)(env_, obj_) : TRV_JNI(releaseMSR)(env_, obj_);
	}
	void StartPolling() override { TRV_JNI(startPolling)(env_, obj_); }
	void StopPolling() override { TRV_JNI(stopPolling)(env_, obj_); }
	std::vector<std::int32_t> GetKbdData(bool *failed) override
	{
		return Take(TRV_JNI(getKbdData)(env_, obj_), failed);
	}
	std::vector<std::uint8_t> GetTrack(int track, bool *failed) override
	{
		using Getter = jbyteArray (*)(JNIEnv *, jobject);
		static constexpr Getter getters[] = {TRV_JNI(getMsrTrack1Data), TRV_JNI(getMsrTrack2Data),
						     TRV_JNI(getMsrTrack3Data), TRV_JNI(getMsrTrack4Data)};
		return Take(getters[track - 1](env_, obj_), failed);
	}
	std::vector<std::uint8_t> GetKeyLockData(bool *failed) override
	{
		return Take(TRV_JNI(getKeyLockData)(env_, obj_), failed);
	}
	int GetKeyLockPosition() override { return TRV_JNI(getKeyLockPosition)(env_, obj_); }
	std::vector<std::uint8_t> GetVersion() override
	{
		bool failed = false;
		return Take(TRV_JNI(getVersion)(env_, obj_), &failed);
	}
	int SetPosKey(const std::int32_t key[5]) override
	{
		jintArray arr = jni_.newIntArray({key, key + 5});
		const jint r = TRV_JNI(setposkey)(env_, obj_, 0, arr);
		env_->DeleteLocalRef(arr);
		return r;
	}
	int WriteKeyboardConfig() override { return TRV_JNI(writeKeyboardConfig)(env_, obj_); }
	int WriteMsrConfig(const std::vector<std::uint8_t> &leading) override
	{
		jbyteArray arr = jni_.newByteArray(leading);
		const jint r = TRV_JNI(writeMSRConfig)(env_, obj_, 0, arr);
		env_->DeleteLocalRef(arr);
		return r;
	}

private:
	std::vector<std::int32_t> Take(jintArray arr, bool *failed)
	{
		*failed |= arr == nullptr;
		auto v = jni_.ints(arr);
		env_->DeleteLocalRef(arr);
		return v;
	}
	std::vector<std::uint8_t> Take(jbyteArray arr, bool *failed)
	{
		*failed |= arr == nullptr;
		auto v = jni_.bytes(arr);
		env_->DeleteLocalRef(arr);
		return v;
	}

	fakejni::FakeJni &jni_;
	JNIEnv *env_;
	jobject obj_;
};

} // namespace

int main(int argc, char **argv)
{
	fakejni::FakeJni jni;
	const std::pair<const char *, soak::Callback> callbacks[] = {
		{"kbdDataOccurred", soak::KBD_DATA}, {"klkDataOccurred", soak::KLK_DATA}, {"msrDataOccurred", soak::MSR_DATA}};
	for (const auto &[name, cb] : callbacks) {
		jni.onCallback(name, [&jni, cb = cb, name = std::string(name)](JNIEnv *env, jobject) {
			FakeApi api(jni, env);
			// The fake raises the exception as the callback returns.
			jni.throwFrom(name, soak::OnCallback(cb, api));
		});
	}
	soak::Options opt = soak::OptionsFrom(argc, argv, RSS_BOUND_KIB);
	opt.finalCheck = [&jni] {
		for (const std::string &v : jni.violations())
			soak::Violation("no JNI misuse", v);
	};
	FakeApi main(jni, jni.env());
	return soak::Run(opt, main, [&jni](const char *, std::function<void(soak::Api &)> body) {
		return std::thread([&jni, body = std::move(body)] {
			FakeApi api(jni, jni.env());
			body(api);
		});
	});
}
