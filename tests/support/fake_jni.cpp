#include "fake_jni.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <thread>

namespace fakejni {
namespace {

struct Object {
	virtual ~Object() = default;
};
struct ClassObject : Object {};
struct ServiceObject : Object {};
struct ThrowableObject : Object {
	std::string what;
};
struct StringObject : Object {
	std::string utf;
};
struct ByteArrayObject : Object {
	std::vector<jbyte> data;
};
struct IntArrayObject : Object {
	std::vector<jint> data;
};
struct Method {
	std::string name;
};

// The env of one thread: the JNIEnv must come first so that a JNIEnv* can be
// turned back into the thread's state.
struct ThreadEnv {
	JNIEnv_ env;
	FakeJni::Impl *owner;
	jthrowable pending = nullptr;
};

} // namespace

struct FakeJni::Impl {
	std::recursive_mutex mu;
	JNINativeInterface_ table{};
	std::deque<std::unique_ptr<Object>> objects;
	std::map<std::thread::id, std::unique_ptr<ThreadEnv>> envs;
	std::map<std::string, std::unique_ptr<Method>> methods;
	std::map<std::string, Callback> callbacks;
	std::map<std::string, int> callbackCounts;
	std::map<std::string, bool> throwing;
	std::map<std::string, int> callCounts;
	std::map<const void *, int> outstanding; // fetched elements/chars -> count
	std::vector<std::string> violations;
	ClassObject *serviceClass = nullptr;
	bool failNewArrays = false;
	bool failElements = false;

	template <class T> T *make()
	{
		auto p = std::make_unique<T>();
		T *raw = p.get();
		objects.push_back(std::move(p));
		return raw;
	}
	template <class T> T *as(jobject o)
	{
		return dynamic_cast<T *>(reinterpret_cast<Object *>(o));
	}
	void violation(const std::string &what)
	{
		violations.push_back(what);
	}
	// Counts a call and checks the rules that every JNI function shares.
	static ThreadEnv *enter(JNIEnv *env, const char *fn, bool allowedWithPending = false)
	{
		auto *te = reinterpret_cast<ThreadEnv *>(env);
		std::lock_guard lk(te->owner->mu);
		te->owner->callCounts[fn]++;
		if (te->pending != nullptr && !allowedWithPending)
			te->owner->violation(std::string(fn) + " called with an exception pending");
		return te;
	}
	void raise(ThreadEnv *te, const std::string &what)
	{
		auto *t = make<ThrowableObject>();
		t->what = what;
		te->pending = reinterpret_cast<jthrowable>(t);
	}
};

namespace {

using Impl = FakeJni::Impl;

Impl &of(ThreadEnv *te)
{
	return *te->owner;
}

[[noreturn]] void Unsupported()
{
	std::fprintf(stderr, "fake JNI: the library called a JNI function the fake does not provide\n");
	std::abort();
}

jclass GetObjectClass(JNIEnv *env, jobject obj)
{
	auto *te = Impl::enter(env, "GetObjectClass");
	Impl &m = of(te);
	std::lock_guard lk(m.mu);
	if (obj == nullptr) {
		m.violation("GetObjectClass(null)");
		return nullptr;
	}
	return reinterpret_cast<jclass>(m.serviceClass);
}

jmethodID GetMethodID(JNIEnv *env, jclass cls, const char *name, const char *sig)
{
	auto *te = Impl::enter(env, "GetMethodID");
	Impl &m = of(te);
	std::lock_guard lk(m.mu);
	if (cls == nullptr || name == nullptr || sig == nullptr) {
		m.violation("GetMethodID with a null argument");
		return nullptr;
	}
	if (std::strcmp(sig, "()V") != 0) {
		m.violation(std::string("GetMethodID with signature ") + sig);
	}
	auto it = m.methods.find(name);
	if (it == m.methods.end() || !it->second) {
		m.raise(te, std::string("NoSuchMethodError: ") + name);
		return nullptr;
	}
	return reinterpret_cast<jmethodID>(it->second.get());
}

void CallVoidMethod(JNIEnv *env, jobject obj, jmethodID id, ...)
{
	auto *te = Impl::enter(env, "CallVoidMethod");
	Impl &m = of(te);
	FakeJni::Callback cb;
	std::string name;
	{
		std::lock_guard lk(m.mu);
		if (obj == nullptr || id == nullptr) {
			m.violation("CallVoidMethod with a null object or method ID");
			return;
		}
		name = reinterpret_cast<Method *>(id)->name;
		m.callbackCounts[name]++;
		auto it = m.callbacks.find(name);
		if (it != m.callbacks.end())
			cb = it->second;
	}
	if (cb)
		cb(env, obj);
	std::lock_guard lk(m.mu);
	if (m.throwing[name] && te->pending == nullptr)
		m.raise(te, "RuntimeException from " + name);
}

// The C++ JNIEnv wrapper forwards env->CallVoidMethod(...) to this slot; the
// callbacks take no arguments, so both forms end in the same call.
void CallVoidMethodV(JNIEnv *env, jobject obj, jmethodID id, va_list)
{
	CallVoidMethod(env, obj, id);
}

void CallVoidMethodA(JNIEnv *env, jobject obj, jmethodID id, const jvalue *)
{
	CallVoidMethod(env, obj, id);
}

jboolean ExceptionCheck(JNIEnv *env)
{
	auto *te = Impl::enter(env, "ExceptionCheck", true);
	return te->pending != nullptr ? JNI_TRUE : JNI_FALSE;
}

jthrowable ExceptionOccurred(JNIEnv *env)
{
	auto *te = Impl::enter(env, "ExceptionOccurred", true);
	return te->pending;
}

void ExceptionClear(JNIEnv *env)
{
	auto *te = Impl::enter(env, "ExceptionClear", true);
	te->pending = nullptr;
}

void ExceptionDescribe(JNIEnv *env)
{
	auto *te = Impl::enter(env, "ExceptionDescribe", true);
	te->pending = nullptr;
}

const char *GetStringUTFChars(JNIEnv *env, jstring str, jboolean *isCopy)
{
	auto *te = Impl::enter(env, "GetStringUTFChars");
	Impl &m = of(te);
	std::lock_guard lk(m.mu);
	auto *s = m.as<StringObject>(str);
	if (s == nullptr) {
		m.violation("GetStringUTFChars on a null or non-string object");
		return nullptr;
	}
	if (isCopy != nullptr)
		*isCopy = JNI_FALSE;
	const char *p = s->utf.c_str();
	m.outstanding[p]++;
	return p;
}

void ReleaseStringUTFChars(JNIEnv *env, jstring str, const char *chars)
{
	auto *te = Impl::enter(env, "ReleaseStringUTFChars", true);
	Impl &m = of(te);
	std::lock_guard lk(m.mu);
	if (str == nullptr || chars == nullptr || m.outstanding[chars] == 0) {
		m.violation("ReleaseStringUTFChars of chars not fetched");
		return;
	}
	if (--m.outstanding[chars] == 0)
		m.outstanding.erase(chars);
}

jsize GetArrayLength(JNIEnv *env, jarray arr)
{
	auto *te = Impl::enter(env, "GetArrayLength");
	Impl &m = of(te);
	std::lock_guard lk(m.mu);
	if (auto *b = m.as<ByteArrayObject>(arr))
		return static_cast<jsize>(b->data.size());
	if (auto *i = m.as<IntArrayObject>(arr))
		return static_cast<jsize>(i->data.size());
	m.violation("GetArrayLength on a null or non-array object");
	return 0;
}

template <class A> A *NewArray(JNIEnv *env, jsize len, const char *fn)
{
	auto *te = Impl::enter(env, fn);
	Impl &m = of(te);
	std::lock_guard lk(m.mu);
	if (len < 0) {
		m.violation(std::string(fn) + " with a negative length");
		m.raise(te, "NegativeArraySizeException");
		return nullptr;
	}
	if (m.failNewArrays) {
		m.raise(te, "OutOfMemoryError");
		return nullptr;
	}
	auto *a = m.make<A>();
	a->data.resize(static_cast<std::size_t>(len));
	return a;
}

jbyteArray NewByteArray(JNIEnv *env, jsize len)
{
	return reinterpret_cast<jbyteArray>(NewArray<ByteArrayObject>(env, len, "NewByteArray"));
}

jintArray NewIntArray(JNIEnv *env, jsize len)
{
	return reinterpret_cast<jintArray>(NewArray<IntArrayObject>(env, len, "NewIntArray"));
}

template <class A, class E>
E *GetElements(JNIEnv *env, jobject arr, jboolean *isCopy, const char *fn)
{
	auto *te = Impl::enter(env, fn);
	Impl &m = of(te);
	std::lock_guard lk(m.mu);
	auto *a = m.as<A>(arr);
	if (a == nullptr) {
		m.violation(std::string(fn) + " on a null or wrong array");
		return nullptr;
	}
	if (m.failElements) {
		m.raise(te, "OutOfMemoryError");
		return nullptr;
	}
	if (isCopy != nullptr)
		*isCopy = JNI_FALSE;
	// Hand out a copy, as a JVM may, so that a write-back through mode 0 is
	// what makes changes visible.
	auto *copy = static_cast<E *>(std::malloc(a->data.size() * sizeof(E) + 1));
	if (!a->data.empty())
		std::memcpy(copy, a->data.data(), a->data.size() * sizeof(E));
	m.outstanding[copy]++;
	return copy;
}

template <class A, class E>
void ReleaseElements(JNIEnv *env, jobject arr, E *elems, jint mode, const char *fn)
{
	auto *te = Impl::enter(env, fn, true);
	Impl &m = of(te);
	std::lock_guard lk(m.mu);
	auto *a = m.as<A>(arr);
	if (a == nullptr || elems == nullptr || m.outstanding.count(elems) == 0) {
		m.violation(std::string(fn) + " of elements not fetched");
		return;
	}
	if (mode == 0 || mode == JNI_COMMIT) {
		if (!a->data.empty())
			std::memcpy(a->data.data(), elems, a->data.size() * sizeof(E));
	}
	if (mode == 0 || mode == JNI_ABORT) {
		m.outstanding.erase(elems);
		std::free(elems);
	}
}

jbyte *GetByteArrayElements(JNIEnv *env, jbyteArray arr, jboolean *isCopy)
{
	return GetElements<ByteArrayObject, jbyte>(env, arr, isCopy, "GetByteArrayElements");
}
void ReleaseByteArrayElements(JNIEnv *env, jbyteArray arr, jbyte *elems, jint mode)
{
	ReleaseElements<ByteArrayObject, jbyte>(env, arr, elems, mode, "ReleaseByteArrayElements");
}
jint *GetIntArrayElements(JNIEnv *env, jintArray arr, jboolean *isCopy)
{
	return GetElements<IntArrayObject, jint>(env, arr, isCopy, "GetIntArrayElements");
}
void ReleaseIntArrayElements(JNIEnv *env, jintArray arr, jint *elems, jint mode)
{
	ReleaseElements<IntArrayObject, jint>(env, arr, elems, mode, "ReleaseIntArrayElements");
}

template <class A, class E>
void SetRegion(JNIEnv *env, jobject arr, jsize start, jsize len, const E *buf, const char *fn)
{
	auto *te = Impl::enter(env, fn);
	Impl &m = of(te);
	std::lock_guard lk(m.mu);
	auto *a = m.as<A>(arr);
	if (a == nullptr) {
		m.violation(std::string(fn) + " on a null or wrong array");
		return;
	}
	if (start < 0 || len < 0 || static_cast<std::size_t>(start) + static_cast<std::size_t>(len) > a->data.size()) {
		m.raise(te, "ArrayIndexOutOfBoundsException");
		return;
	}
	if (len > 0 && buf == nullptr) {
		m.violation(std::string(fn) + " from a null buffer");
		return;
	}
	if (len > 0)
		std::memcpy(a->data.data() + start, buf, static_cast<std::size_t>(len) * sizeof(E));
}

void SetByteArrayRegion(JNIEnv *env, jbyteArray arr, jsize start, jsize len, const jbyte *buf)
{
	SetRegion<ByteArrayObject, jbyte>(env, arr, start, len, buf, "SetByteArrayRegion");
}
void SetIntArrayRegion(JNIEnv *env, jintArray arr, jsize start, jsize len, const jint *buf)
{
	SetRegion<IntArrayObject, jint>(env, arr, start, len, buf, "SetIntArrayRegion");
}

void GetByteArrayRegion(JNIEnv *env, jbyteArray arr, jsize start, jsize len, jbyte *buf)
{
	auto *te = Impl::enter(env, "GetByteArrayRegion");
	Impl &m = of(te);
	std::lock_guard lk(m.mu);
	auto *a = m.as<ByteArrayObject>(arr);
	if (a == nullptr) {
		m.violation("GetByteArrayRegion on a null or wrong array");
		return;
	}
	if (start < 0 || len < 0 || static_cast<std::size_t>(start) + static_cast<std::size_t>(len) > a->data.size()) {
		m.raise(te, "ArrayIndexOutOfBoundsException");
		return;
	}
	if (len > 0)
		std::memcpy(buf, a->data.data() + start, static_cast<std::size_t>(len));
}

// A string or array the caller deletes is freed, so that a long run does not
// pile up objects; anything else (the service, its class) stays.
void DeleteLocalRef(JNIEnv *env, jobject ref)
{
	auto *te = Impl::enter(env, "DeleteLocalRef", true);
	Impl &m = of(te);
	std::lock_guard lk(m.mu);
	auto *o = reinterpret_cast<Object *>(ref);
	if (!m.as<StringObject>(ref) && !m.as<ByteArrayObject>(ref) && !m.as<IntArrayObject>(ref))
		return;
	for (auto it = m.objects.rbegin(); it != m.objects.rend(); ++it) {
		if (it->get() == o) {
			m.objects.erase(std::next(it).base());
			return;
		}
	}
}

} // namespace

FakeJni::FakeJni() : impl_(std::make_unique<Impl>())
{
	// Every slot the fake does not implement traps.
	auto **slots = reinterpret_cast<void **>(&impl_->table);
	for (std::size_t i = 0; i < sizeof(JNINativeInterface_) / sizeof(void *); ++i)
		slots[i] = reinterpret_cast<void *>(&Unsupported);
	JNINativeInterface_ &t = impl_->table;
	t.reserved0 = t.reserved1 = t.reserved2 = t.reserved3 = nullptr;
	t.GetObjectClass = GetObjectClass;
	t.GetMethodID = GetMethodID;
	t.CallVoidMethod = CallVoidMethod;
	t.CallVoidMethodV = CallVoidMethodV;
	t.CallVoidMethodA = CallVoidMethodA;
	t.ExceptionCheck = ExceptionCheck;
	t.ExceptionOccurred = ExceptionOccurred;
	t.ExceptionClear = ExceptionClear;
	t.ExceptionDescribe = ExceptionDescribe;
	t.GetStringUTFChars = GetStringUTFChars;
	t.ReleaseStringUTFChars = ReleaseStringUTFChars;
	t.GetArrayLength = GetArrayLength;
	t.NewByteArray = NewByteArray;
	t.NewIntArray = NewIntArray;
	t.GetByteArrayElements = GetByteArrayElements;
	t.ReleaseByteArrayElements = ReleaseByteArrayElements;
	t.GetIntArrayElements = GetIntArrayElements;
	t.ReleaseIntArrayElements = ReleaseIntArrayElements;
	t.SetByteArrayRegion = SetByteArrayRegion;
	t.SetIntArrayRegion = SetIntArrayRegion;
	t.GetByteArrayRegion = GetByteArrayRegion;
	t.DeleteLocalRef = DeleteLocalRef;

	impl_->serviceClass = impl_->make<ClassObject>();
	service_ = reinterpret_cast<jobject>(impl_->make<ServiceObject>());
	for (const char *name : {"kbdDataOccurred", "klkDataOccurred", "msrDataOccurred"})
		impl_->methods[name] = std::make_unique<Method>(Method{name});
}

FakeJni::~FakeJni()
{
	for (auto &[p, n] : impl_->outstanding) {
		(void)n;
		// Elements are malloc'd copies; string chars belong to their string.
		bool isString = false;
		for (auto &o : impl_->objects)
			if (auto *s = dynamic_cast<StringObject *>(o.get()); s && s->utf.c_str() == p)
				isString = true;
		if (!isString)
			std::free(const_cast<void *>(p));
	}
}

JNIEnv *FakeJni::env()
{
	std::lock_guard lk(impl_->mu);
	auto &slot = impl_->envs[std::this_thread::get_id()];
	if (!slot) {
		slot = std::make_unique<ThreadEnv>();
		slot->env.functions = &impl_->table;
		slot->owner = impl_.get();
	}
	return &slot->env;
}

jstring FakeJni::newString(const std::string &utf)
{
	std::lock_guard lk(impl_->mu);
	auto *s = impl_->make<StringObject>();
	s->utf = utf;
	return reinterpret_cast<jstring>(s);
}

jbyteArray FakeJni::newByteArray(const std::vector<std::uint8_t> &bytes)
{
	std::lock_guard lk(impl_->mu);
	auto *a = impl_->make<ByteArrayObject>();
	a->data.assign(bytes.begin(), bytes.end());
	return reinterpret_cast<jbyteArray>(a);
}

jintArray FakeJni::newIntArray(const std::vector<std::int32_t> &ints)
{
	std::lock_guard lk(impl_->mu);
	auto *a = impl_->make<IntArrayObject>();
	a->data.assign(ints.begin(), ints.end());
	return reinterpret_cast<jintArray>(a);
}

std::vector<std::uint8_t> FakeJni::bytes(jbyteArray arr)
{
	std::lock_guard lk(impl_->mu);
	auto *a = impl_->as<ByteArrayObject>(arr);
	if (a == nullptr)
		return {};
	return {a->data.begin(), a->data.end()};
}

std::vector<std::int32_t> FakeJni::ints(jintArray arr)
{
	std::lock_guard lk(impl_->mu);
	auto *a = impl_->as<IntArrayObject>(arr);
	if (a == nullptr)
		return {};
	return {a->data.begin(), a->data.end()};
}

void FakeJni::onCallback(const std::string &name, Callback cb)
{
	std::lock_guard lk(impl_->mu);
	impl_->callbacks[name] = std::move(cb);
}

int FakeJni::callbackCount(const std::string &name)
{
	std::lock_guard lk(impl_->mu);
	return impl_->callbackCounts[name];
}

void FakeJni::removeMethod(const std::string &name)
{
	std::lock_guard lk(impl_->mu);
	impl_->methods[name].reset();
}

void FakeJni::throwFrom(const std::string &name, bool on)
{
	std::lock_guard lk(impl_->mu);
	impl_->throwing[name] = on;
}

void FakeJni::failNewArrays(bool on)
{
	std::lock_guard lk(impl_->mu);
	impl_->failNewArrays = on;
}

void FakeJni::failArrayElements(bool on)
{
	std::lock_guard lk(impl_->mu);
	impl_->failElements = on;
}

int FakeJni::calls(const std::string &fn)
{
	std::lock_guard lk(impl_->mu);
	return impl_->callCounts[fn];
}

std::vector<std::string> FakeJni::violations()
{
	std::lock_guard lk(impl_->mu);
	return impl_->violations;
}

int FakeJni::outstanding()
{
	std::lock_guard lk(impl_->mu);
	int n = 0;
	for (auto &[p, c] : impl_->outstanding)
		n += c;
	return n;
}

bool FakeJni::exceptionPending()
{
	auto *te = reinterpret_cast<ThreadEnv *>(env());
	std::lock_guard lk(impl_->mu);
	return te->pending != nullptr;
}

void ExpectCleanJni(FakeJni &jni)
{
	EXPECT_TRUE(jni.violations().empty()) << "first JNI misuse: "
					      << (jni.violations().empty() ? "" : jni.violations().front());
	EXPECT_EQ(jni.outstanding(), 0) << "array elements or string chars not released";
	EXPECT_FALSE(jni.exceptionPending()) << "an exception is left pending";
}

} // namespace fakejni
