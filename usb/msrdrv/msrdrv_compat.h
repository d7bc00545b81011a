/* SPDX-License-Identifier: GPL-2.0 */
/*
 * Kernel interface differences between the 2.6.27-era timer API and the
 * current one, kept in one place so that the driver logic carries no
 * version checks of its own.
 *
 *  - Timer set-up: setup_timer() with an unsigned long callback argument
 *    before 4.15; timer_setup() with a struct timer_list * argument since.
 *  - Timer removal: del_timer()/del_timer_sync() before 6.2;
 *    timer_delete()/timer_delete_sync() since (the old names are gone in
 *    current kernels).
 *  - Timer expiry: before 4.8 a timer armed for jiffies + n ran on the n-th
 *    tick; since the timer wheel rework of 4.8 every expiry is rounded up
 *    by one tick so that no timer fires early, and the same request runs
 *    on tick n + 1.  msr_timer_expiry(n) asks for the n-th tick on both.
 */
#ifndef MSRDRV_COMPAT_H
#define MSRDRV_COMPAT_H

#include <linux/version.h>
#include <linux/jiffies.h>
#include <linux/timer.h>

#if LINUX_VERSION_CODE < KERNEL_VERSION(4, 15, 0)
/* Argument type of a timer callback. */
#define MSR_TIMER_ARG unsigned long
#define msr_timer_setup(timer, fn) setup_timer((timer), (fn), 0)
#else
#define MSR_TIMER_ARG struct timer_list *
#define msr_timer_setup(timer, fn) timer_setup((timer), (fn), 0)
#endif

/* Expiry that runs a timer on the @ticks-th tick from now (@ticks >= 1). */
#if LINUX_VERSION_CODE < KERNEL_VERSION(4, 8, 0)
#define msr_timer_expiry(ticks) (jiffies + (ticks))
#else
#define msr_timer_expiry(ticks) (jiffies + (ticks) - 1)
#endif

#if LINUX_VERSION_CODE < KERNEL_VERSION(6, 2, 0)
#define msr_timer_delete(timer) del_timer(timer)
#define msr_timer_delete_sync(timer) del_timer_sync(timer)
#else
#define msr_timer_delete(timer) timer_delete(timer)
#define msr_timer_delete_sync(timer) timer_delete_sync(timer)
#endif

#endif /* MSRDRV_COMPAT_H */
