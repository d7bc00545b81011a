/* SPDX-License-Identifier: GPL-2.0 */
/*
 * Magnetic stripe track decoder for ISO/IEC 7811 bit streams: track 1 in
 * 7-bit characters (6 data bits and odd parity, value + 0x20), tracks 2
 * and 3 in 5-bit characters (4 data bits and odd parity, value + 0x30),
 * each least significant bit first with the parity bit last, closed by a
 * longitudinal redundancy check character after the end sentinel.
 */
#ifndef MSRDRV_CDECODE_H
#define MSRDRV_CDECODE_H

/* Most characters one track may decode to, sentinels excluded. */
#define CDECODE_MAX_CHARS	256

/* The sixth argument of CDecode_InterpreteSingleTrack: stream format. */
#define CDECODE_FORMAT_ISO	1

/* Card types reported through the cardType pointer. */
#define CDECODE_CARD_NONE	0
#define CDECODE_CARD_ISO	1

/* Results of CDecode_InterpreteSingleTrack; 0 means the track decoded. */
enum cdecode_result {
	CDECODE_OK = 0,
	CDECODE_ERR_ARGS,	/* track number or format not supported */
	CDECODE_ERR_START,	/* no start sentinel after the clock zeros */
	CDECODE_ERR_PARITY,	/* a character failed its parity check */
	CDECODE_ERR_END,	/* the data ended before the end sentinel */
	CDECODE_ERR_LRC,	/* LRC character missing or wrong */
	CDECODE_ERR_LENGTH,	/* more than CDECODE_MAX_CHARS characters */
};

int CDecode_CDecode(void);
unsigned char CDecode_InterpreteSingleTrack(int track, unsigned char length,
					    const unsigned char *data,
					    unsigned char *startSentinel,
					    unsigned char *endSentinel,
					    int format, char *cardType);
int CDecode_GetTrackData(unsigned char *decoded);

#endif /* MSRDRV_CDECODE_H */
