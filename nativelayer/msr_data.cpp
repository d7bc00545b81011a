// MSR data path: the polling thread reads each announced track into its
// track buffer, decides when a swipe is complete and calls msrDataOccurred
// once per swipe; Java fetches the tracks with getMsrTrack1Data..4Data.
// Both attachments share the four track buffers.
#include <errno.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>

#include "nativelayer.h"
#include "sessions.h"

namespace {

// Largest track the USB attachment keeps (the track buffer's size).
constexpr std::uint16_t USB_TRACK_LIMIT = TRACK_BUFFER_SIZE;
// Largest track the PS/2 attachment translates (its scratch area).
constexpr std::uint16_t PS2_TRACK_LIMIT = 512;
// A longer track (a damaged card, a driver fault) is still read off the node
// whole, since the driver keeps announcing it until it is read, and then
// discarded. 0xFFFF is no length but the "no usable data" mark.
constexpr std::size_t LONGEST_TRACK = 0xFFFE;
// A PS/2 frame is 0x00, the start sentinel, the characters and '?'.
constexpr int PS2_FRAME_OVERHEAD = 3;
constexpr int PS2_FRAME_MAX_CHARS = TRACK_BUFFER_SIZE - PS2_FRAME_OVERHEAD;

// One poll adds this much waiting; a swipe without track 3 is reported once
// the wait exceeds REPORT_AFTER_USEC (the fifth poll after the last
// announcement).
constexpr std::int32_t POLL_USEC = 50000;
constexpr std::int32_t REPORT_AFTER_USEC = 299999;

struct TrackSlot {
	std::uint8_t *puchData;
	std::int32_t *pnLength;
	std::uint8_t **ppJavaData;
	jbyteArray *pJavaArr;
};

// Track buffer, length and hand-over state of track 1..4; null data for any
// other track number.
TrackSlot SlotOfTrack(int track)
{
	switch (track) {
	case 1:
		return {g_puchTrack1Data, &g_nTrack1DataLength, &g_pJavaTrack1Data, &g_pJavaTrack1DataArr};
	case 2:
		return {g_puchTrack2Data, &g_nTrack2DataLength, &g_pJavaTrack2Data, &g_pJavaTrack2DataArr};
	case 3:
		return {g_puchTrack3Data, &g_nTrack3DataLength, &g_pJavaTrack3Data, &g_pJavaTrack3DataArr};
	case 4:
		return {g_puchTrack4Data, &g_nTrack4DataLength, &g_pJavaTrack4Data, &g_pJavaTrack4DataArr};
	default:
		return {nullptr, nullptr, nullptr, nullptr};
	}
}

// Slot of the track node of an attachment; null for a bad track number.
std::atomic<std::int32_t> *UsbTrackSlot(int track)
{
	switch (track) {
	case 1: return &g_DeviceChannels.fdUsbMsr1;
	case 2: return &g_DeviceChannels.fdUsbMsr2;
	case 3: return &g_DeviceChannels.fdUsbMsr3;
	default: return nullptr;
	}
}

std::atomic<std::int32_t> *Ps2TrackSlot(int track)
{
	switch (track) {
	case 1: return &g_DeviceChannels.fdPs2Msr1;
	case 2: return &g_DeviceChannels.fdPs2Msr2;
	case 3: return &g_DeviceChannels.fdPs2Msr3;
	default: return nullptr;
	}
}

// Reads up to n bytes of a track node into buf; the caller holds the MSR
// session lock. Returns the read's result, or TRACK_NOT_OPEN when nothing
// was read because the MSR is not open, the slot holds no descriptor, or
// the MSR was opened anew since the swipe being gathered began. A node that
// reports its device gone is closed and left to the polling loop to reopen.
constexpr ssize_t TRACK_NOT_OPEN = -2;
ssize_t ReadTrackNode(std::atomic<std::int32_t> *slot, std::uint8_t *buf, std::size_t n);

// Scratch area for tracks too long to keep: read off whole, then wiped.
// Used under the MSR session lock only.
std::array<std::uint8_t, LONGEST_TRACK> g_rguchDiscardScratch;

// Reads a track too long for its buffer off its node and discards it, so
// that the driver gives it up, and empties the track. Returns 1 when it was
// read (the swipe goes on with that track empty), 0 otherwise. The caller
// holds the MSR session lock.
int DiscardTrack(std::atomic<std::int32_t> *node, const TrackSlot &track, std::uint16_t ushLength)
{
	const ssize_t nRead = ReadTrackNode(node, g_rguchDiscardScratch.data(),
					    std::min<std::size_t>(ushLength, LONGEST_TRACK));
	if (nRead <= 0)
		return 0;
	WipeCardBytes(g_rguchDiscardScratch.data(), static_cast<std::size_t>(nRead));
	std::lock_guard lock(g_TrackDataLock);
	WipeCardBytes(track.puchData, TRACK_BUFFER_SIZE);
	*track.pnLength = 0;
	return 1;
}

// Aggregation state of one attachment's swipe: microseconds waited since
// the last announcement and, per track, whether it was read and not yet
// reported; and the MSR session it is gathered in (g_ulMsrSession).
struct SwipeState {
	std::int32_t nMSRTimeOut_usec;
	std::int32_t bTrack1DataAvailable;
	std::int32_t bTrack2DataAvailable;
	std::int32_t bTrack3DataAvailable;
	std::uint64_t ulSession;
};

// One per attachment. Only the polling thread touches them (through the data
// handlers); openMSR starts a new session, which each handler notices at its
// next call.
SwipeState g_UsbSwipe{};
SwipeState g_Ps2Swipe{};

// The session the handler on this thread gathers for, checked by the track
// readers under the MSR session lock, so that no track of a new session
// joins a swipe of the old one; 0 when a reader is called on its own.
thread_local std::uint64_t t_ulGatheringSession = 0;

ssize_t ReadTrackNode(std::atomic<std::int32_t> *slot, std::uint8_t *buf, std::size_t n)
{
	const int fd = slot != nullptr ? slot->load() : 0;
	if (g_bMsrOpened.load() == 0 || fd <= 0 ||
	    (t_ulGatheringSession != 0 && t_ulGatheringSession != g_ulMsrSession.load()))
		return TRACK_NOT_OPEN;
	const ssize_t nRead = read(fd, buf, n);
	if (nRead < 0)
		DropIfGone(*slot, fd, errno);
	return nRead;
}

bool Held(const SwipeState &s, int track)
{
	return (track == 1 && s.bTrack1DataAvailable) || (track == 2 && s.bTrack2DataAvailable) ||
	       (track == 3 && s.bTrack3DataAvailable);
}

// A new swipe begins on an attachment: the tracks of the last report that
// Java did not fetch are dropped and wiped, so that this swipe's report
// carries its own tracks only. Tracks the other attachment holds for its
// own swipe stay.
void DropUnfetchedTracks(const SwipeState &other)
{
	std::lock_guard lock(g_TrackDataLock);
	for (int track = 1; track <= 3; ++track) {
		if (Held(other, track))
			continue;
		const TrackSlot slot = SlotOfTrack(track);
		WipeCardBytes(slot.puchData, TRACK_BUFFER_SIZE);
		*slot.pnLength = 0;
	}
}

using TrackReader = int (*)(JNIEnv *, jobject, jmethodID, std::uint8_t, std::uint16_t);

// Whether msrDataOccurred is being made for a swipe, guarded by
// g_TrackDataLock: an openMSR meanwhile leaves that report's tracks to the
// callback, which may be fetching them.
bool g_bReportInFlight = false;

// Reports the swipe held in s, unless the MSR was opened anew since it was
// gathered: that swipe belongs to no session now. Either way s is idle
// afterwards, in the current session.
void ReportSwipe(SwipeState &s, std::uint64_t ulSession, JNIEnv *env, jobject obj, jmethodID msrMethod)
{
	bool bReport = false;
	{
		std::lock_guard lock(g_TrackDataLock);
		bReport = g_ulMsrSession.load() == ulSession;
		g_bReportInFlight = bReport;
	}
	if (bReport) {
		CallJavaCallback(env, obj, msrMethod);
		std::lock_guard lock(g_TrackDataLock);
		g_bReportInFlight = false;
		// The MSR was opened anew during the callback: what it left of
		// the old session's tracks goes now, as the open would have.
		if (g_ulMsrSession.load() != ulSession)
			WipeTracks();
	}
	s = SwipeState{0, 0, 0, 0, g_ulMsrSession.load()};
}

// One poll of swipe aggregation: read the announced tracks, count the wait,
// and report the swipe when track 3 is in or the wait has run out. Returns
// 1 while tracks are held and not yet reported. A swipe gathered in an
// earlier MSR session is dropped: opening the MSR starts with none.
int AggregateSwipe(SwipeState &s, const SwipeState &other, JNIEnv *env, jobject obj, jmethodID msrMethod,
		   const std::array<std::uint16_t, 3> &lengths, TrackReader readTrack)
{
	const std::uint64_t ulSession = g_ulMsrSession.load();
	if (s.ulSession != ulSession)
		s = SwipeState{0, 0, 0, 0, ulSession};

	std::int32_t *flags[3] = {&s.bTrack1DataAvailable, &s.bTrack2DataAvailable,
				  &s.bTrack3DataAvailable};
	// A track announced again while it is held belongs to the next card:
	// the held swipe is complete and is reported first, so that no report
	// carries tracks of two cards.
	for (int i = 0; i < 3; ++i) {
		const std::uint16_t len = lengths[static_cast<std::size_t>(i)];
		if (len != 0 && len != TRACK_LEN_NO_DATA && *flags[i] != 0) {
			ReportSwipe(s, ulSession, env, obj, msrMethod);
			break;
		}
	}
	t_ulGatheringSession = ulSession;
	for (int i = 0; i < 3; ++i) {
		const std::uint16_t len = lengths[static_cast<std::size_t>(i)];
		if (len == 0)
			continue;
		if (len != TRACK_LEN_NO_DATA) {
			if (!s.bTrack1DataAvailable && !s.bTrack2DataAvailable && !s.bTrack3DataAvailable)
				DropUnfetchedTracks(other);
			*flags[i] = readTrack(env, obj, msrMethod, static_cast<std::uint8_t>(i + 1), len);
		}
		s.nMSRTimeOut_usec = 0;
	}
	t_ulGatheringSession = 0;
	if (g_ulMsrSession.load() != ulSession) {
		// The MSR was closed and opened again meanwhile: what was read
		// belongs to no session now.
		s = SwipeState{0, 0, 0, 0, g_ulMsrSession.load()};
		return 0;
	}

	const bool bAny = s.bTrack1DataAvailable || s.bTrack2DataAvailable || s.bTrack3DataAvailable;
	if (bAny)
		s.nMSRTimeOut_usec += POLL_USEC;

	if (s.bTrack3DataAvailable ||
	    ((s.bTrack1DataAvailable || s.bTrack2DataAvailable) && s.nMSRTimeOut_usec > REPORT_AFTER_USEC))
		ReportSwipe(s, ulSession, env, obj, msrMethod);
	return (s.bTrack1DataAvailable || s.bTrack2DataAvailable || s.bTrack3DataAvailable) ? 1 : 0;
}

// Copies a track into a new Java array and marks it fetched; the bytes are
// then wiped from the track buffer and the staging copy, as card data must
// not linger in the process once Java has it. On a failed allocation it
// returns null and the track stays pending.
jbyteArray FetchTrack(JNIEnv *env, int track)
{
	const TrackSlot slot = SlotOfTrack(track);
	std::lock_guard lock(g_TrackDataLock);
	myFree(*slot.ppJavaData);
	*slot.ppJavaData = nullptr;

	const jsize n = std::clamp(*slot.pnLength, 0, TRACK_BUFFER_SIZE);
	auto *staged = static_cast<std::uint8_t *>(std::malloc(std::max<std::size_t>(static_cast<std::size_t>(n), 1)));
	if (staged == nullptr)
		return nullptr;
	std::memcpy(staged, slot.puchData, static_cast<std::size_t>(n));
	*slot.ppJavaData = staged;

	jbyteArray arr = NewJavaByteArray(env, staged, n);
	WipeCardBytes(staged, static_cast<std::size_t>(n));
	*slot.pJavaArr = arr;
	if (arr == nullptr)
		return nullptr;
	WipeCardBytes(slot.puchData, static_cast<std::size_t>(n));
	*slot.pnLength = 0;
	return arr;
}

} // namespace

std::atomic<std::uint64_t> g_ulMsrSession{0};

void WipeCardBytes(void *p, std::size_t n)
{
	if (p != nullptr && n > 0)
		explicit_bzero(p, n);
}

void StartMsrSession()
{
	std::lock_guard lock(g_TrackDataLock);
	g_ulMsrSession.fetch_add(1);
	if (!g_bReportInFlight)
		WipeTracks();
}

void WipeTracks()
{
	for (int track = 1; track <= 4; ++track) {
		const TrackSlot slot = SlotOfTrack(track);
		WipeCardBytes(slot.puchData, TRACK_BUFFER_SIZE);
		*slot.pnLength = 0;
	}
}

extern "C" {

// Reads one USB track, stored as read; a failed read leaves the track empty.
// A track too long for the buffer is read off and discarded, leaving the
// track empty: the result is 1 then too, as the swipe goes on without it.
// The track is stored under the MSR session lock, so that no track of a
// closed session lands after the next open has emptied the buffers.
int HandleMSRTrackUSB(JNIEnv *, jobject, jmethodID, std::uint8_t uchTrack, std::uint16_t ushLength)
{
	if (g_bMsrOpened.load() == 0 || ushLength == 0 || ushLength == TRACK_LEN_NO_DATA)
		return 0;
	const TrackSlot slot = SlotOfTrack(uchTrack);
	if (slot.puchData == nullptr || uchTrack > 3)
		return 0;

	std::lock_guard session(g_MsrSessionLock);
	if (ushLength > USB_TRACK_LIMIT)
		return DiscardTrack(UsbTrackSlot(uchTrack), slot, ushLength);
	std::array<std::uint8_t, TRACK_BUFFER_SIZE> bytes{};
	const ssize_t nRead = ReadTrackNode(UsbTrackSlot(uchTrack), bytes.data(), ushLength);
	if (nRead == TRACK_NOT_OPEN)
		return 0;
	const std::int32_t n = nRead < 0 ? 0 : static_cast<std::int32_t>(std::min<ssize_t>(nRead, ushLength));

	// What the buffer held is wiped first, whatever replaces it.
	std::lock_guard lock(g_TrackDataLock);
	WipeCardBytes(slot.puchData, TRACK_BUFFER_SIZE);
	std::memcpy(slot.puchData, bytes.data(), static_cast<std::size_t>(n));
	WipeCardBytes(bytes.data(), static_cast<std::size_t>(n));
	*slot.pnLength = n;
	return n > 0 ? 1 : 0;
}

// Reads one PS/2 track of set-1 scan codes and frames its characters as
// 0x00, start sentinel, characters, '?'. At most 252 characters are kept.
// A failed read, or one that yields no character, empties the track, so
// that a swipe never reports another card's track in its place. A track too
// long for the scratch area is read off and discarded, as on USB.
int HandleMSRTrackPS2(JNIEnv *, jobject, jmethodID, std::uint8_t uchTrack, std::uint16_t ushLength)
{
	if (g_bMsrOpened.load() == 0 || ushLength == 0 || ushLength == TRACK_LEN_NO_DATA)
		return 0;
	const TrackSlot slot = SlotOfTrack(uchTrack);
	if (slot.puchData == nullptr || uchTrack > 3)
		return 0;
	const std::uint8_t uchStart = uchTrack == 1 ? '%' : ';';

	std::lock_guard session(g_MsrSessionLock);
	if (ushLength > PS2_TRACK_LIMIT)
		return DiscardTrack(Ps2TrackSlot(uchTrack), slot, ushLength);
	std::array<std::uint8_t, PS2_TRACK_LIMIT> raw{};
	const ssize_t nRead = ReadTrackNode(Ps2TrackSlot(uchTrack), raw.data(), ushLength);
	if (nRead == TRACK_NOT_OPEN)
		return 0;
	const auto nRaw = static_cast<std::int32_t>(std::clamp<ssize_t>(nRead, 0, ushLength));

	// One character at most per raw byte.
	std::array<std::uint8_t, PS2_TRACK_LIMIT> chars{};
	std::int32_t nChars = 0;
	if (nRaw > 0)
		TranslateRawToAscii(raw.data(), nRaw, chars.data(), &nChars);
	WipeCardBytes(raw.data(), static_cast<std::size_t>(nRaw));
	nChars = std::clamp(nChars, 0, PS2_FRAME_MAX_CHARS);

	// What the buffer held is wiped first, whatever replaces it.
	std::lock_guard lock(g_TrackDataLock);
	WipeCardBytes(slot.puchData, TRACK_BUFFER_SIZE);
	if (nChars == 0) {
		*slot.pnLength = 0;
		return 0;
	}
	slot.puchData[0] = 0x00;
	slot.puchData[1] = uchStart;
	std::memcpy(slot.puchData + 2, chars.data(), static_cast<std::size_t>(nChars));
	WipeCardBytes(chars.data(), chars.size());
	slot.puchData[nChars + 2] = '?';
	*slot.pnLength = nChars + PS2_FRAME_OVERHEAD;
	return 1;
}

int HandleMSRDataUSB(JNIEnv *env, jobject obj, jmethodID msrMethod, UsbMsrStatusRecord status)
{
	return AggregateSwipe(g_UsbSwipe, g_Ps2Swipe, env, obj, msrMethod,
			      {status.ushTrack1Len, status.ushTrack2Len, status.ushTrack3Len},
			      HandleMSRTrackUSB);
}

int HandleMSRDataPS2(JNIEnv *env, jobject obj, jmethodID msrMethod, Ps2StatusRecord status)
{
	return AggregateSwipe(g_Ps2Swipe, g_UsbSwipe, env, obj, msrMethod,
			      {status.ushTrack1Len, status.ushTrack2Len, status.ushTrack3Len},
			      HandleMSRTrackPS2);
}

JNIEXPORT jbyteArray JNICALL TRV_JNI(getMsrTrack1Data)(JNIEnv *env, jobject)
{
	return FetchTrack(env, 1);
}

JNIEXPORT jbyteArray JNICALL TRV_JNI(getMsrTrack2Data)(JNIEnv *env, jobject)
{
	return FetchTrack(env, 2);
}

JNIEXPORT jbyteArray JNICALL TRV_JNI(getMsrTrack3Data)(JNIEnv *env, jobject)
{
	return FetchTrack(env, 3);
}

// No attachment delivers a fourth track: its length is always 0.
JNIEXPORT jbyteArray JNICALL TRV_JNI(getMsrTrack4Data)(JNIEnv *env, jobject)
{
	return FetchTrack(env, 4);
}

} // extern "C"
