#include <linux/types.h>
#define NF_DROP 0
#define NF_ACCEPT 1
struct list_head { struct list_head *next, *prev; };
struct sk_buff;
struct net_device;
struct module;
typedef unsigned int nf_hookfn(unsigned int hooknum, struct sk_buff **skb,
			       const struct net_device *in,
			       const struct net_device *out,
			       int (*okfn)(struct sk_buff *));
struct nf_hook_ops {
	struct list_head list;
	nf_hookfn *hook;
	struct module *owner;
	int pf;
	int hooknum;
	int priority;
};
extern int nf_register_hook(struct nf_hook_ops *reg);
extern void nf_unregister_hook(struct nf_hook_ops *reg);
