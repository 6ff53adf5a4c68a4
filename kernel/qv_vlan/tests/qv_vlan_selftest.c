/*
 * qv_vlan_selftest - test-only module: the hook and untag step of qv_vlan.c,
 * compiled in from the same source, run at load time on crafted socket
 * buffers. A current kernel moves the tag into the VLAN metadata before the
 * bridge sees a frame, so no real frame reaches this code there; these do.
 *
 * Each case is reported as KTAP on the kernel log: a diagnostic line with
 * what the frame looks like after the hook, then "ok N name" once the case
 * ran. Whether the values are right is for the reader of the log to decide
 * (tests/selftest_check.sh), so that the module states facts, not opinions.
 *
 * Positions are given relative to where they stood before the hook; csum is
 * the receive checksum folded to 16 bits (little-endian word sums).
 */
#define pr_fmt(fmt) "qv_vlan_selftest: " fmt

#define QV_VLAN_SELFTEST 1
#include "../qv_vlan.c"

#include <linux/gfp.h>
#include <linux/mm.h>
#include <linux/string.h>

#ifndef QV_HOOK_NET
#error "qv_vlan_selftest builds for kernels 5.0 or later"
#endif

#define QV_HEADROOM	32
#define QV_FRAME_MAX	48

struct qv_case {
	const char *name;
	u8 head[6];		/* the frame's first bytes, from the tag on */
	unsigned int head_len;
	unsigned int linear;	/* bytes of the frame in the linear data */
	unsigned int len;	/* of the whole frame: head, then payload */
	bool complete;		/* CHECKSUM_COMPLETE with the sum of the frame */
};

static const struct qv_case qv_cases[] = {
	/* VLAN 42, priority 3, IPv4 inside */
	{ "tag_in_data", { 0x60, 0x2a, 0x08, 0x00 }, 4, 46, 46, false },
	{ "checksum_complete", { 0x60, 0x2a, 0x08, 0x00 }, 4, 46, 46, true },
	/* an 802.3 length, then FF FF: raw 802.3 */
	{ "raw_802_3", { 0x60, 0x2a, 0x00, 0x40, 0xff, 0xff }, 6, 48, 48, false },
	{ "shorter_than_the_tag", { 0x60, 0x2a, 0x08 }, 3, 3, 3, false },
	{ "tag_without_the_next_two_bytes", { 0x60, 0x2a, 0x08, 0x00, 0x45 }, 5, 5, 5, false },
	/* two linear bytes, the rest of the tag and the payload in a page */
	{ "tag_outside_the_linear_data", { 0x60, 0x2a, 0x08, 0x00 }, 4, 2, 46, true },
};

static u16 qv_fold(u32 c)
{
	c = (c & 0xffff) + (c >> 16);
	c = (c & 0xffff) + (c >> 16);
	return c;
}

/* The frame's bytes: the case's head, then a fixed payload pattern. */
static void qv_fill(const struct qv_case *c, u8 *frame)
{
	unsigned int i;

	memcpy(frame, c->head, c->head_len);
	for (i = c->head_len; i < c->len; i++)
		frame[i] = 0x45 + 13 * (i - c->head_len);
}

static struct sk_buff *qv_frame_of(const struct qv_case *c)
{
	u8 frame[QV_FRAME_MAX];
	struct sk_buff *skb;
	struct page *page;

	qv_fill(c, frame);
	skb = alloc_skb(QV_HEADROOM + c->linear, GFP_KERNEL);
	if (!skb)
		return NULL;
	skb_reserve(skb, QV_HEADROOM);
	memcpy(skb_put(skb, c->linear), frame, c->linear);
	if (c->len > c->linear) {
		page = alloc_page(GFP_KERNEL);
		if (!page) {
			kfree_skb(skb);
			return NULL;
		}
		memcpy(page_address(page), frame + c->linear, c->len - c->linear);
		skb_fill_page_desc(skb, 0, page, 0, c->len - c->linear);
		skb->len += c->len - c->linear;
		skb->data_len += c->len - c->linear;
		skb->truesize += PAGE_SIZE;
	}
	/* As the receive path leaves it at bridge LOCAL_IN. */
	skb_set_mac_header(skb, -ETH_HLEN);
	skb_reset_network_header(skb);
	skb->protocol = htons(ETH_P_8021Q);
	if (c->complete) {
		skb->ip_summed = CHECKSUM_COMPLETE;
		skb->csum = csum_partial(frame, c->len, 0);
	} else {
		skb->ip_summed = CHECKSUM_NONE;
		skb->csum = (__force __wsum)0x12345678;
	}
	return skb;
}

static void qv_run(unsigned int number, const struct qv_case *c)
{
	struct sk_buff *skb = qv_frame_of(c);
	unsigned char *data, *network, *mac;

	if (!skb) {
		pr_info("not ok %u %s # no memory\n", number, c->name);
		return;
	}
	data = skb->data;
	network = skb_network_header(skb);
	mac = skb_mac_header(skb);
	vlan_untag_hook(NULL, skb, NULL);
	pr_info("# %s: protocol=0x%04x len=%u data=%+d network=%+d mac=%+d csum=0x%04x\n",
		c->name, ntohs(skb->protocol), skb->len, (int)(skb->data - data),
		(int)(skb_network_header(skb) - network),
		(int)(skb_mac_header(skb) - mac),
		qv_fold((__force u32)skb->csum));
	pr_info("ok %u %s\n", number, c->name);
	kfree_skb(skb);
}

static int __init qv_selftest_init(void)
{
	unsigned int i;

	pr_info("KTAP version 1\n");
	pr_info("1..%zu\n", ARRAY_SIZE(qv_cases));
	for (i = 0; i < ARRAY_SIZE(qv_cases); i++)
		qv_run(i + 1, &qv_cases[i]);
	return 0;
}

static void __exit qv_selftest_exit(void)
{
}

module_init(qv_selftest_init);
module_exit(qv_selftest_exit);

MODULE_DESCRIPTION("qv_vlan untag step on crafted frames (test only)");
MODULE_LICENSE("Proprietary");
