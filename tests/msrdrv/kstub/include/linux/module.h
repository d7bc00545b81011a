/*
 * Stand-in for linux/module.h: the module's init and exit functions become
 * kstub_module_init() and kstub_module_exit(), which the tests call.
 */
#ifndef KSTUB_LINUX_MODULE_H
#define KSTUB_LINUX_MODULE_H

struct module;
#define THIS_MODULE ((struct module *)0)
#define MODULE_LICENSE(x)
#define MODULE_DESCRIPTION(x)
#define MODULE_VERSION(x)
#define module_init(fn) int kstub_module_init(void) { return fn(); }
#define module_exit(fn) void kstub_module_exit(void) { fn(); }

#endif
