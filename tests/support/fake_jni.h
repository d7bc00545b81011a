// A stand-in for the Java virtual machine's JNI function table, for
// in-process tests of the library's entry points.
//
// It implements only the JNI functions the library uses, keeps the Java
// objects it hands out (strings, arrays, the service object) alive for the
// test to inspect, and records every misuse a checking JVM would reject
// (-Xcheck:jni): a JNI call made while an exception is pending, a null
// array or string passed where the JVM requires an object, array elements
// fetched and never released, a call to a function the fake does not
// provide. Tests assert that no violation was recorded.
//
// Each thread gets its own JNIEnv (as in a JVM); a pending exception belongs
// to the env of the thread that raised it.
#pragma once

#include <jni.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace fakejni {

class FakeJni {
public:
	using Callback = std::function<void(JNIEnv *env, jobject obj)>;

	FakeJni();
	~FakeJni();
	FakeJni(const FakeJni &) = delete;
	FakeJni &operator=(const FakeJni &) = delete;

	// The env of the calling thread.
	JNIEnv *env();
	// The receiving object of the native methods (a com.tarvel.jpos.ServiceLayer).
	jobject service() const { return service_; }

	jstring newString(const std::string &utf);
	jbyteArray newByteArray(const std::vector<std::uint8_t> &bytes);
	jintArray newIntArray(const std::vector<std::int32_t> &ints);
	// Contents of an array handed out by the library; empty for null.
	std::vector<std::uint8_t> bytes(jbyteArray arr);
	std::vector<std::int32_t> ints(jintArray arr);

	// Callbacks by method name ("kbdDataOccurred", ...), run on the thread that
	// calls CallVoidMethod. Counted whether or not a handler is set.
	void onCallback(const std::string &name, Callback cb);
	int callbackCount(const std::string &name);
	// GetMethodID fails for this name (null result, NoSuchMethodError pending).
	void removeMethod(const std::string &name);
	// The named callback returns with an exception pending.
	void throwFrom(const std::string &name, bool on = true);

	// Faults: NewByteArray/NewIntArray return null with OutOfMemoryError
	// pending; Get<Type>ArrayElements return null.
	void failNewArrays(bool on);
	void failArrayElements(bool on);

	// Calls per JNI function name, since construction.
	int calls(const std::string &fn);
	// Misuses recorded so far (empty when the library behaved).
	std::vector<std::string> violations();
	// Array elements and string chars fetched and not yet released.
	int outstanding();
	// Whether the calling thread's env has an exception pending.
	bool exceptionPending();

	// Internal, for the function table.
	struct Impl;
	Impl *impl() { return impl_.get(); }

private:
	std::unique_ptr<Impl> impl_;
	jobject service_;
};

// Asserts (gtest) that the fake recorded no misuse and nothing is left
// unreleased.
void ExpectCleanJni(FakeJni &jni);

} // namespace fakejni
