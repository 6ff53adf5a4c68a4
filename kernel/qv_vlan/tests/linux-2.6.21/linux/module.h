#include <linux/types.h>
struct module;
extern struct module __this_module;
#define THIS_MODULE (&__this_module)
#define MODULE_DESCRIPTION(d) \
	static const char __mod_description[] __attribute__((used)) = "description=" d
#define MODULE_LICENSE(l) \
	static const char __mod_license[] __attribute__((used)) = "license=" l
extern int init_module(void);
extern void cleanup_module(void);
