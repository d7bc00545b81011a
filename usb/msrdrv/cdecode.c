// SPDX-License-Identifier: GPL-2.0
/*
 * Track decoder of the USB MSR driver: turns the raw bit stream of one
 * magnetic stripe track into its characters.
 *
 * A track starts with clock zeros, then the start sentinel, the data
 * characters, the end sentinel and the LRC character, whose data bits are
 * the exclusive or of the data bits of every character before it,
 * sentinels included.  The decoder keeps the characters of the last track
 * that decoded until CDecode_GetTrackData() collects them.  Callers
 * serialise their calls (the driver decodes one swipe at a time).
 */
#include <linux/types.h>
#include <linux/string.h>
#include "cdecode.h"

/* Character set of one track kind. */
struct track_format {
	unsigned int width;	/* data bits per character, parity excluded */
	u8 base;		/* character code of data value 0 */
	u8 start;		/* start sentinel, data value */
	u8 end;			/* end sentinel, data value */
};

static const struct track_format track_formats[3] = {
	{ 6, 0x20, 0x05, 0x1f },	/* track 1: '%' ... '?' */
	{ 4, 0x30, 0x0b, 0x0f },	/* track 2: ';' ... '?' */
	{ 4, 0x30, 0x0b, 0x0f },	/* track 3: ';' ... '?' */
};

static u8 track_chars[CDECODE_MAX_CHARS];
static int track_count;

/* Return bit @pos of the stream, counted from bit 0 of the first byte. */
static unsigned int stream_bit(const u8 *data, unsigned int pos)
{
	return (data[pos >> 3] >> (pos & 7)) & 1;
}

/*
 * Read the character at bit *@pos: @width data bits, least significant
 * first, then the parity bit.  Advance *@pos past it and return its data
 * value, -CDECODE_ERR_END when the stream holds no whole character there
 * or only clock zeros, or -CDECODE_ERR_PARITY when the count of ones is
 * even.
 */
static int read_char(const u8 *data, unsigned int nbits, unsigned int *pos,
		     unsigned int width)
{
	unsigned int i, bit, ones = 0;
	int value = 0;

	if (nbits - *pos < width + 1)
		return -CDECODE_ERR_END;
	for (i = 0; i < width; i++) {
		bit = stream_bit(data, *pos + i);
		value |= bit << i;
		ones += bit;
	}
	ones += stream_bit(data, *pos + width);
	*pos += width + 1;
	if (!ones)
		return -CDECODE_ERR_END;
	if (!(ones & 1))
		return -CDECODE_ERR_PARITY;
	return value;
}

/**
 * CDecode_CDecode() - start a new swipe
 *
 * Forgets the characters of any earlier track.  Return: 0.
 */
int CDecode_CDecode(void)
{
	track_count = 0;
	return 0;
}

/**
 * CDecode_InterpreteSingleTrack() - decode the bit stream of one track
 * @track: track number, 1 to 3
 * @length: number of bytes at @data
 * @data: the bit stream, first bit in bit 0 of the first byte
 * @startSentinel: receives the track's start sentinel character
 * @endSentinel: receives the track's end sentinel character
 * @format: stream format, CDECODE_FORMAT_ISO
 * @cardType: receives CDECODE_CARD_ISO when the track decoded, else
 *	CDECODE_CARD_NONE
 *
 * The sentinels are written for every track, also when it does not decode
 * (0 for a track number out of range).  The characters of a track that
 * decoded are kept for CDecode_GetTrackData(); after a failure it delivers
 * none.
 *
 * Return: 0 when the track decoded, an enum cdecode_result otherwise.
 */
unsigned char CDecode_InterpreteSingleTrack(int track, unsigned char length,
					    const unsigned char *data,
					    unsigned char *startSentinel,
					    unsigned char *endSentinel,
					    int format, char *cardType)
{
	const struct track_format *fmt;
	unsigned int nbits = length * 8u, pos = 0;
	int c, lrc, count = 0;

	track_count = 0;
	*cardType = CDECODE_CARD_NONE;
	if (track < 1 || track > 3) {
		*startSentinel = 0;
		*endSentinel = 0;
		return CDECODE_ERR_ARGS;
	}
	fmt = &track_formats[track - 1];
	*startSentinel = fmt->base + fmt->start;
	*endSentinel = fmt->base + fmt->end;
	if (format != CDECODE_FORMAT_ISO)
		return CDECODE_ERR_ARGS;

	while (pos < nbits && !stream_bit(data, pos))
		pos++;
	c = read_char(data, nbits, &pos, fmt->width);
	if (c != fmt->start)
		return CDECODE_ERR_START;
	lrc = c;

	for (;;) {
		c = read_char(data, nbits, &pos, fmt->width);
		if (c < 0)
			return -c;
		lrc ^= c;
		if (c == fmt->end)
			break;
		if (count == CDECODE_MAX_CHARS)
			return CDECODE_ERR_LENGTH;
		track_chars[count++] = fmt->base + c;
	}

	c = read_char(data, nbits, &pos, fmt->width);
	if (c != lrc)
		return CDECODE_ERR_LRC;

	track_count = count;
	*cardType = CDECODE_CARD_ISO;
	return CDECODE_OK;
}

/**
 * CDecode_GetTrackData() - collect the characters of the last track
 * @decoded: buffer of CDECODE_MAX_CHARS bytes
 *
 * Return: the number of characters copied to @decoded, sentinels excluded;
 * 0 when the last track did not decode.
 */
int CDecode_GetTrackData(unsigned char *decoded)
{
	memcpy(decoded, track_chars, track_count);
	return track_count;
}
