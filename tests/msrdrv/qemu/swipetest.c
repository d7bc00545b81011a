/*
 * Runs inside the test kernel: writes swipe records to the swipe device,
 * reads the typed keys from the driver's evdev node and compares them with
 * what each card must type, also while the ring is busy and for records
 * batched in one write; then unloads the module while a swipe is typing
 * and checks on the console that the whole swipe was typed.  Prints the spacing of the key events
 * and "SWIPETEST PASS" or "SWIPETEST FAIL".
 */
#define _GNU_SOURCE
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/input.h>
#include <linux/kd.h>
#include <linux/tiocl.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#define DEVICE_NAME "Tarvel USB MSR keyboard"
#define SWIPE_NODE "/dev/trvposusb_swipe"
#define MAX_EVENTS 2048

static int failures;

#define CHECK(cond, ...)                                       \
	do {                                                   \
		if (!(cond)) {                                 \
			printf("swipetest: FAILED: " __VA_ARGS__); \
			printf("\n");                          \
			failures++;                            \
		}                                              \
	} while (0)

/* ---- an ISO/IEC 7811 encoder ---- */

struct stream {
	unsigned char bytes[255];
	unsigned int nbits;
};

static void put_bit(struct stream *s, int bit)
{
	if (bit)
		s->bytes[s->nbits / 8] |= 1u << (s->nbits % 8);
	s->nbits++;
}

static void put_char(struct stream *s, int track, unsigned int v)
{
	unsigned int width = track == 1 ? 6 : 4, i, ones = 0;

	for (i = 0; i < width; i++) {
		put_bit(s, (v >> i) & 1);
		ones += (v >> i) & 1;
	}
	put_bit(s, !(ones & 1));
}

/* Encodes text (sentinels included) with its LRC between clock zeros;
 * @reverse delivers it as a backwards swipe would.  Returns the bytes. */
static unsigned int encode(unsigned char *out, int track, const char *text, int reverse)
{
	struct stream s;
	unsigned int base = track == 1 ? 0x20 : 0x30, lrc = 0, i, n;

	memset(&s, 0, sizeof(s));
	for (i = 0; i < 12; i++)
		put_bit(&s, 0);
	for (; *text; text++) {
		put_char(&s, track, (unsigned char)*text - base);
		lrc ^= (unsigned char)*text - base;
	}
	put_char(&s, track, lrc);
	for (i = 0; i < 12; i++)
		put_bit(&s, 0);
	n = (s.nbits + 7) / 8;
	memset(out, 0, n);
	for (i = 0; i < n * 8; i++) {
		unsigned int from = reverse ? n * 8 - 1 - i : i;
		if ((s.bytes[from / 8] >> (from % 8)) & 1)
			out[i / 8] |= 1u << (i % 8);
	}
	return n;
}

/* ---- what a character types on the German layout ---- */

struct key {
	char ch;
	unsigned short code;
	int shift, altgr;
};

#define PLAIN(ch, code) { ch, code, 0, 0 }
#define SHIFT(ch, code) { ch, code, 1, 0 }
#define ALTGR(ch, code) { ch, code, 0, 1 }

static const struct key keys[] = {
	PLAIN('0', KEY_0), PLAIN('1', KEY_1), PLAIN('2', KEY_2), PLAIN('3', KEY_3),
	PLAIN('4', KEY_4), PLAIN('5', KEY_5), PLAIN('6', KEY_6), PLAIN('7', KEY_7),
	PLAIN('8', KEY_8), PLAIN('9', KEY_9), PLAIN('^', KEY_GRAVE), PLAIN(' ', KEY_SPACE),
	PLAIN('<', KEY_102ND), SHIFT(';', KEY_COMMA), SHIFT('?', KEY_MINUS),
	SHIFT('%', KEY_5), SHIFT('=', KEY_0), SHIFT('/', KEY_7), SHIFT(':', KEY_DOT),
	SHIFT('>', KEY_102ND), SHIFT('A', KEY_A), SHIFT('B', KEY_B), SHIFT('E', KEY_E),
	SHIFT('I', KEY_I), SHIFT('K', KEY_K), SHIFT('M', KEY_M), SHIFT('N', KEY_N),
	SHIFT('R', KEY_R), SHIFT('S', KEY_S), SHIFT('T', KEY_T), SHIFT('U', KEY_U),
	SHIFT('Y', KEY_Z), SHIFT('Z', KEY_Y), ALTGR('@', KEY_Q), ALTGR('[', KEY_8),
	ALTGR('\\', KEY_MINUS), ALTGR(']', KEY_9),
};

struct expect {
	unsigned short code[MAX_EVENTS];
	int value[MAX_EVENTS];
	int n;
};

static void expect_key(struct expect *e, unsigned short code, int value)
{
	e->code[e->n] = code;
	e->value[e->n] = value;
	e->n++;
}

static void expect_text(struct expect *e, const char *text)
{
	size_t i;

	for (; *text; text++) {
		for (i = 0; i < sizeof(keys) / sizeof(keys[0]) && keys[i].ch != *text; i++)
			;
		if (i == sizeof(keys) / sizeof(keys[0])) {
			printf("swipetest: no key for '%c'\n", *text);
			exit(2);
		}
		if (keys[i].altgr)
			expect_key(e, KEY_RIGHTALT, 1);
		if (keys[i].shift)
			expect_key(e, KEY_LEFTSHIFT, 1);
		expect_key(e, keys[i].code, 1);
		expect_key(e, keys[i].code, 0);
		if (keys[i].shift)
			expect_key(e, KEY_LEFTSHIFT, 0);
		if (keys[i].altgr)
			expect_key(e, KEY_RIGHTALT, 0);
	}
	expect_key(e, KEY_ENTER, 1);
	expect_key(e, KEY_ENTER, 0);
}

/* ---- the devices ---- */

static int open_event_node(void)
{
	char path[300], name[128];
	struct dirent *d;
	DIR *dir = opendir("/sys/class/input");
	FILE *f;

	while (dir && (d = readdir(dir))) {
		if (strncmp(d->d_name, "event", 5))
			continue;
		snprintf(path, sizeof(path), "/sys/class/input/%s/device/name", d->d_name);
		f = fopen(path, "r");
		if (!f)
			continue;
		if (fgets(name, sizeof(name), f) && !strncmp(name, DEVICE_NAME, strlen(DEVICE_NAME))) {
			fclose(f);
			closedir(dir);
			snprintf(path, sizeof(path), "/dev/input/%s", d->d_name);
			printf("swipetest: %s is %s\n", DEVICE_NAME, path);
			return open(path, O_RDONLY);
		}
		fclose(f);
	}
	if (dir)
		closedir(dir);
	return -1;
}

static double spacing[4 * MAX_EVENTS];
static long spacing_n;

static int cmp_double(const void *a, const void *b)
{
	double x = *(const double *)a, y = *(const double *)b;

	return (x > y) - (x < y);
}

/* Reads key events until @want arrived or 3 s pass without any. */
static int read_keys(int fd, struct input_event *keys_out, int want)
{
	struct input_event ev[64];
	struct pollfd p = { .fd = fd, .events = POLLIN };
	int got = 0, pending_syn = 0, i;
	ssize_t r;

	while (got < want || pending_syn) {
		if (poll(&p, 1, 3000) <= 0)
			break;
		r = read(fd, ev, sizeof(ev));
		if (r <= 0)
			break;
		for (i = 0; i < (int)(r / sizeof(ev[0])); i++) {
			if (ev[i].type == EV_KEY) {
				CHECK(!pending_syn, "key event %d without SYN_REPORT before it", got);
				if (got < MAX_EVENTS)
					keys_out[got] = ev[i];
				got++;
				pending_syn = 1;
			} else if (ev[i].type == EV_SYN && ev[i].code == SYN_REPORT) {
				pending_syn = 0;
			}
		}
	}
	CHECK(!pending_syn, "last key event without SYN_REPORT");
	return got;
}

/* Adds the tracks given (NULL: absent; r: delivered backwards) to @rec and
 * what they type to @e.  Returns the record's size. */
static size_t make_swipe(unsigned char *rec, struct expect *e, const char *t1, int r1,
			 const char *t2, int r2, const char *t3, int r3)
{
	unsigned char raw[255];
	size_t size = 3;
	unsigned int n;

	memset(rec, 0, 394);
	if (t1) {
		n = encode(raw, 1, t1, r1);
		rec[0] = n;
		memcpy(rec + 3, raw, n);
		size = 3 + n;
		expect_text(e, t1);
	}
	if (t2) {
		n = encode(raw, 2, t2, r2);
		rec[1] = n;
		memcpy(rec + 90, raw, n);
		size = 90 + n;
		expect_text(e, t2);
	}
	if (t3) {
		n = encode(raw, 3, t3, r3);
		rec[2] = n;
		memcpy(rec + 139, raw, n);
		size = 139 + n;
		expect_text(e, t3);
	}
	return size;
}

static void write_swipe(int node, const char *label, const unsigned char *rec, size_t size)
{
	CHECK(write(node, rec, size) == (ssize_t)size, "%s: write: %s", label, strerror(errno));
}

/* Reads what was typed, compares it with @e, records the spacing, and
 * checks that nothing more is typed within 0.2 s. */
static void check_typed(int evfd, const char *label, const struct expect *e)
{
	static struct input_event got[MAX_EVENTS + 64];
	struct pollfd p = { .fd = evfd, .events = POLLIN };
	int i, count, mismatches = 0;

	count = read_keys(evfd, got, e->n);
	CHECK(count == e->n, "%s: %d key events, expected %d", label, count, e->n);
	for (i = 0; i < count && i < e->n; i++) {
		if (got[i].code != e->code[i] || got[i].value != e->value[i]) {
			if (mismatches++ < 5)
				CHECK(0, "%s: event %d is key %d value %d, expected key %d value %d",
				      label, i, got[i].code, got[i].value, e->code[i], e->value[i]);
		}
		if (i > 0) {
			double ms = (got[i].input_event_sec - got[i - 1].input_event_sec) * 1e3 +
				    (got[i].input_event_usec - got[i - 1].input_event_usec) / 1e3;
			if (spacing_n < (long)(sizeof(spacing) / sizeof(spacing[0])))
				spacing[spacing_n++] = ms;
		}
	}
	CHECK(poll(&p, 1, 200) == 0, "%s: more keys typed than expected", label);
	printf("swipetest: %s: %d key events%s\n", label, count,
	       count == e->n && !mismatches ? ", as expected" : "");
}

static void run_card(int node, int evfd, const char *label, const char *t1, int r1,
		     const char *t2, int r2, const char *t3, int r3)
{
	static unsigned char rec[394];
	static struct expect e;
	size_t size;

	e.n = 0;
	size = make_swipe(rec, &e, t1, r1, t2, r2, t3, r3);
	write_swipe(node, label, rec, size);
	check_typed(evfd, label, &e);
}

/*
 * A long swipe A is typing; B, which does not fit behind it, is refused
 * with ENOSPC; C, which fits, is accepted.  A is typed whole, then C whole,
 * and nothing of B.
 */
static void busy_ring(int node, int evfd)
{
	static unsigned char rec[394];
	static struct expect e, refused;
	char t1[80] = "%B", t3a[110] = ";", t3b[110] = ";";
	size_t size;

	memset(t1 + 2, 'M', 60);
	strcat(t1, "?");
	memset(t3a + 1, '=', 100);
	strcat(t3a, "?");
	memset(t3b + 1, ':', 100);
	strcat(t3b, "?");

	e.n = 0;
	size = make_swipe(rec, &e, t1, 1, ";4111111111111111111111111111111111111?", 0, t3a, 1);
	write_swipe(node, "long swipe", rec, size);

	refused.n = 0;
	size = make_swipe(rec, &refused, NULL, 0, NULL, 0, t3b, 0);
	errno = 0;
	CHECK(write(node, rec, size) < 0 && errno == ENOSPC,
	      "a swipe of %d events behind one of %d was not refused with ENOSPC (%s)",
	      refused.n, e.n, strerror(errno));

	size = make_swipe(rec, &e, NULL, 0, ";4111111111111111=2512?", 1, NULL, 0);
	write_swipe(node, "swipe behind it", rec, size);
	check_typed(evfd, "long swipe, refused swipe, swipe behind it", &e);
}

/*
 * Two records in one write, as a stdio stream sends them: the first write
 * takes the first record (its whole 139 bytes, padding included), the
 * write of the rest takes the second, and both swipes are typed.
 */
static void batched_write(int node, int evfd)
{
	static unsigned char rec[394], batch[2 * 394];
	static struct expect e;
	size_t size, first;
	ssize_t r;

	e.n = 0;
	make_swipe(rec, &e, NULL, 0, ";4111111111111111=2512?", 0, NULL, 0);
	first = 139;
	memcpy(batch, rec, first);
	size = make_swipe(rec, &e, NULL, 0, ";1234?", 1, NULL, 0);
	memcpy(batch + first, rec, size);
	r = write(node, batch, first + size);
	CHECK(r == (ssize_t)first, "batched write took %zd bytes, expected %zu", r, first);
	if (r > 0 && r < (ssize_t)(first + size))
		write_swipe(node, "rest of the batch", batch + r, first + size - r);
	check_typed(evfd, "two records in one write", &e);
}

/*
 * Keys that reached the console: with the foreground VT in medium raw
 * mode, each press arrives as its key code and each release as the code
 * with bit 7 set.  Unlike an evdev client, the tty keeps what it got when
 * the input device goes away.
 */
static int console_keys(int tty, unsigned short *code, int *value, int max)
{
	unsigned char b[256];
	ssize_t r;
	int n = 0, i;

	while ((r = read(tty, b, sizeof(b))) > 0)
		for (i = 0; i < r && n < max; i++, n++) {
			code[n] = b[i] & 0x7f;
			value[n] = !(b[i] & 0x80);
		}
	return n;
}

/*
 * Unloads the module while a swipe is typing: rmmod waits until the whole
 * swipe is typed (every key pressed is released, the card's full text
 * arrived), returns within a full ring's typing time, leaves no key
 * (Shift, AltGr) pressed and no timer to fire.
 */
static void unload_while_typing(int node, int evfd, double period_ms)
{
	static unsigned char rec[394];
	static struct expect e;
	static struct input_event ev[MAX_EVENTS + 64];
	static unsigned short code[MAX_EVENTS];
	static int value[MAX_EVENTS];
	struct timespec t0, t1;
	struct termios raw, saved;
	char shift = TIOCL_GETSHIFTSTATE, shift_before;
	int tty, vt, rc, n, i, down[256] = { 0 }, unbalanced = 0, mismatches = 0;
	double ms, bound_ms;
	size_t size;

	vt = open("/dev/tty1", O_RDONLY | O_NOCTTY | O_NONBLOCK);
	CHECK(vt >= 0, "/dev/tty1: %s", strerror(errno));
	if (vt >= 0) {
		tcgetattr(vt, &saved);
		raw = saved;
		cfmakeraw(&raw);
		CHECK(tcsetattr(vt, TCSANOW, &raw) == 0, "tty1 raw: %s", strerror(errno));
		CHECK(ioctl(vt, KDSKBMODE, K_MEDIUMRAW) == 0, "KDSKBMODE: %s", strerror(errno));
		tcflush(vt, TCIFLUSH);
	}

	e.n = 0;
	size = make_swipe(rec, &e, "%B4111111111111111^MUSTERMANN/ERIKA^2512?", 0,
			  ";4111111111111111=2512?", 1, NULL, 0);
	write_swipe(node, "swipe to unload under", rec, size);
	read_keys(evfd, ev, 1);
	close(node);

	tty = open("/dev/tty0", O_RDONLY);
	CHECK(tty >= 0, "/dev/tty0: %s", strerror(errno));
	shift_before = shift;
	if (tty >= 0 && ioctl(tty, TIOCLINUX, &shift_before) < 0)
		shift_before = -1;

	clock_gettime(CLOCK_MONOTONIC, &t0);
	rc = syscall(__NR_delete_module, "msrdrv", O_NONBLOCK);
	clock_gettime(CLOCK_MONOTONIC, &t1);
	ms = (t1.tv_sec - t0.tv_sec) * 1e3 + (t1.tv_nsec - t0.tv_nsec) / 1e6;
	CHECK(rc == 0, "rmmod while typing: %s", strerror(errno));
	/* A full ring (1023 events) at the measured pace, plus a second. */
	bound_ms = 1023 * (period_ms > 0 ? period_ms : 8) + 1000;
	CHECK(ms < bound_ms, "rmmod while typing took %.1f ms, bound %.0f ms", ms, bound_ms);

	fcntl(evfd, F_SETFL, O_NONBLOCK);
	while (read(evfd, ev, sizeof(ev)) > 0)
		;
	CHECK(errno == ENODEV, "the event node outlived the module (%s)", strerror(errno));

	n = vt >= 0 ? console_keys(vt, code, value, MAX_EVENTS) : 0;
	CHECK(n == e.n, "rmmod while typing: %d key events reached the console, expected %d",
	      n, e.n);
	for (i = 0; i < n; i++) {
		if (i < e.n && (code[i] != e.code[i] || value[i] != e.value[i]) &&
		    mismatches++ < 5)
			CHECK(0, "rmmod while typing: event %d is key %d value %d, expected key %d value %d",
			      i, code[i], value[i], e.code[i], e.value[i]);
		if (value[i])
			unbalanced += down[code[i]]++ != 0;
		else
			unbalanced += down[code[i]]-- != 1;
	}
	for (i = 0; i < 256; i++)
		unbalanced += down[i] != 0;
	CHECK(!unbalanced, "rmmod while typing: %d presses without their release", unbalanced);

	/* 50 ticks at HZ=250: a timer left behind would fire into the
	 * unloaded module. */
	usleep(200000);
	if (tty >= 0) {
		CHECK(ioctl(tty, TIOCLINUX, &shift) == 0, "TIOCLINUX: %s", strerror(errno));
		CHECK(shift == 0, "shift state %#x left after the unload", shift);
		close(tty);
	}
	if (vt >= 0) {
		ioctl(vt, KDSKBMODE, K_XLATE);
		tcsetattr(vt, TCSANOW, &saved);
		close(vt);
	}
	CHECK(access("/sys/module/msrdrv", F_OK) != 0, "the module is still loaded");
	printf("swipetest: rmmod while typing took %.1f ms (bound %.0f ms); %d of %d key events "
	       "typed, %d presses without release; shift state before %#x, after %#x\n",
	       ms, bound_ms, n, e.n, unbalanced, shift_before, shift);
}

int main(void)
{
	unsigned char shortrec[8] = { 10, 0, 0 };
	double period_ms = 0;
	int evfd, node;

	setvbuf(stdout, NULL, _IONBF, 0);
	evfd = open_event_node();
	node = open(SWIPE_NODE, O_WRONLY);
	if (evfd < 0 || node < 0) {
		printf("swipetest: cannot open the event node (%d) or %s (%d)\n", evfd,
		       SWIPE_NODE, node);
		printf("SWIPETEST FAIL\n");
		return 1;
	}

	CHECK(write(node, shortrec, 2) < 0 && errno == EINVAL, "a 2-byte record was accepted");
	CHECK(write(node, shortrec, 8) < 0 && errno == EINVAL,
	      "a record shorter than its track 1 was accepted");

	run_card(node, evfd, "track 2 backwards", NULL, 0, ";1234?", 1, NULL, 0);
	run_card(node, evfd, "three tracks",
		 "%B4111111111111111^MUSTERMANN/ERIKA^2512?", 0,
		 ";4111111111111111=2512?", 1, ";0123456789=<>:?", 0);
	run_card(node, evfd, "AltGr and German positions", "%@[\\]YZ?", 1, NULL, 0, NULL, 0);
	busy_ring(node, evfd);
	batched_write(node, evfd);

	if (spacing_n) {
		double sum = 0;
		long i;

		for (i = 0; i < spacing_n; i++)
			sum += spacing[i];
		qsort(spacing, spacing_n, sizeof(spacing[0]), cmp_double);
		printf("swipetest: event spacing over %ld intervals: min %.2f ms, median %.2f ms, "
		       "mean %.2f ms, max %.2f ms\n", spacing_n, spacing[0],
		       spacing[spacing_n / 2], sum / spacing_n, spacing[spacing_n - 1]);
		period_ms = spacing[spacing_n / 2];
	}
	unload_while_typing(node, evfd, period_ms);
	printf(failures ? "SWIPETEST FAIL\n" : "SWIPETEST PASS\n");
	return failures ? 1 : 0;
}
