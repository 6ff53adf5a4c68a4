/*
 * qv_vlan - hand 802.1Q-tagged frames that the bridge delivers to this host
 * up the stack as untagged frames of the protocol inside the tag.
 *
 * One bridge netfilter hook at LOCAL_IN, ahead of every other hook there.
 * The VLAN id and priority are ignored; every frame is accepted.
 *
 * Two kernel interfaces are supported, chosen at compile time:
 *  - 2.6.21 to 2.6.23: nf_register_hook(), hook called with the pointer to
 *    the frame pointer, tag still in the frame data at LOCAL_IN;
 *  - 5.0 and later: nf_register_net_hook() on init_net, hook called with
 *    (priv, skb, state). The receive path has normally moved the tag into
 *    the frame's VLAN metadata before the bridge sees it; clearing that
 *    metadata gives the same outcome as pulling the tag out of the data.
 */
#include <linux/version.h>
#include <linux/kernel.h>
#include <linux/module.h>
#include <linux/types.h>
#include <linux/socket.h>
#include <linux/skbuff.h>
#include <linux/if_ether.h>
#include <linux/netfilter.h>
#include <linux/netfilter_bridge.h>
#include <net/checksum.h>

#if LINUX_VERSION_CODE < KERNEL_VERSION(2, 6, 24)
#define QV_HOOK_PSKB	1
#elif LINUX_VERSION_CODE >= KERNEL_VERSION(5, 0, 0)
#define QV_HOOK_NET	1
#include <linux/if_vlan.h>
#include <net/net_namespace.h>
#else
#error "qv_vlan builds for kernels 2.6.21 to 2.6.23 and 5.0 or later"
#endif

typedef struct sk_buff qv_frame;

/*
 * The network-header position follows the data: after the pull the
 * network-layer header starts where the data now starts, as it did at the
 * tag before. The link-layer header position stays where it was.
 */
static inline void qv_skb_advance(struct sk_buff *skb, unsigned int n)
{
	skb->len -= n;
	skb->data += n;
#if LINUX_VERSION_CODE < KERNEL_VERSION(2, 6, 22)
	skb->nh.raw += n;
#else
	skb->network_header += n;
#endif
}

#define qv_frame_protocol(f)		((f)->protocol)
#define qv_frame_set_protocol(f, p)	((f)->protocol = (p))
#define qv_frame_data(f)		((f)->data)
#define qv_frame_len(f)			((f)->len)
#define qv_frame_data_len(f)		((f)->data_len)
#define qv_frame_csum_complete(f)	((f)->ip_summed == CHECKSUM_COMPLETE)
#define qv_frame_csum(f)		((__force u32)(f)->csum)
#define qv_frame_set_csum(f, c)		((f)->csum = (__force __wsum)(c))
#define qv_frame_advance(f, n)		qv_skb_advance(f, n)
#define qv_csum_partial(p, n)		((__force u32)csum_partial(p, n, 0))

#include "qv_vlan_core.h"

#ifdef QV_HOOK_PSKB
static unsigned int vlan_untag_hook(unsigned int hooknum,
				    struct sk_buff **pskb,
				    const struct net_device *in,
				    const struct net_device *out,
				    int (*okfn)(struct sk_buff *))
{
	qv_untag(*pskb);
	return NF_ACCEPT;
}
#else
static unsigned int vlan_untag_hook(void *priv, struct sk_buff *skb,
				    const struct nf_hook_state *state)
{
	/*
	 * The receive path took the outer tag out of the data and already
	 * set the protocol from the inner type (with the same 802.3 length
	 * rule as qv_untag()). Without the metadata the frame goes up as an
	 * untagged frame of that protocol; a second tag, if any, stays in the
	 * data, so only the outer one is lost. Whatever the metadata holds,
	 * the data no longer starts at the outer tag: nothing more to do.
	 */
	if (skb_vlan_tag_present(skb)) {
		/* An 802.1ad service tag is not ours to remove. */
		if (skb->vlan_proto == htons(ETH_P_8021Q))
			__vlan_hwaccel_clear_tag(skb);
		return NF_ACCEPT;
	}

	/* A tag that is still in the data is taken off as on 2.6.21. */
	qv_untag(skb);
	return NF_ACCEPT;
}
#endif

/*
 * The test-only module (tests/qv_vlan_selftest.c) includes this file for the
 * hook and the untag step and brings its own load and unload.
 */
#ifndef QV_VLAN_SELFTEST
static struct nf_hook_ops vlan_hook_ops = {
	.hook		= vlan_untag_hook,
#ifdef QV_HOOK_PSKB
	.owner		= THIS_MODULE,
#endif
	.pf		= PF_BRIDGE,
	.hooknum	= NF_BR_LOCAL_IN,
	.priority	= INT_MIN,
};

int init_module(void)
{
#ifdef QV_HOOK_PSKB
	return nf_register_hook(&vlan_hook_ops);
#else
	return nf_register_net_hook(&init_net, &vlan_hook_ops);
#endif
}

void cleanup_module(void)
{
#ifdef QV_HOOK_PSKB
	nf_unregister_hook(&vlan_hook_ops);
#else
	nf_unregister_net_hook(&init_net, &vlan_hook_ops);
#endif
}

MODULE_DESCRIPTION("Implement for tormesca vlan tag application");
MODULE_LICENSE("Proprietary");
#endif /* QV_VLAN_SELFTEST */
