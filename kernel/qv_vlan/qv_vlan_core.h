/*
 * qv_vlan_core.h - the untag step of qv_vlan, shared by the module and its
 * user-space unit test.
 *
 * The includer supplies the frame record and its accessors before including
 * this file, so the same code runs on a kernel socket buffer and on the small
 * frame record of the unit test:
 *
 *   qv_frame                       the frame record type
 *   qv_frame_protocol(f)           16-bit protocol, network byte order
 *   qv_frame_set_protocol(f, p)
 *   qv_frame_data(f)               unsigned char *, current start of data
 *   qv_frame_len(f)                bytes from data to the end of the frame
 *   qv_frame_data_len(f)           bytes of those held outside the linear buffer
 *   qv_frame_csum_complete(f)      non-zero if the receive checksum is complete
 *   qv_frame_csum(f)               receive checksum (u32)
 *   qv_frame_set_csum(f, c)
 *   qv_frame_advance(f, n)         move data and the network-header position
 *                                  n bytes on and take n from len
 *   qv_csum_partial(p, n)          one's-complement sum of n bytes (u32,
 *                                  folding optional)
 *   htons()                        host to network byte order
 *
 * and the types u8, u16, u32.
 */
#ifndef QV_VLAN_CORE_H
#define QV_VLAN_CORE_H

#define QV_ETH_P_8021Q		0x8100	/* 802.1Q tagged frame */
#define QV_ETH_P_802_3		0x0001	/* raw 802.3 (Novell) frame */
#define QV_ETH_P_802_2		0x0004	/* 802.2 LLC frame */
#define QV_ETH_P_802_3_MIN	0x0600	/* below: an 802.3 length, not a type */
#define QV_VLAN_HLEN		4	/* tag control information + inner type */

/*
 * Bytes that must lie in the linear data before a tagged frame is touched:
 * the tag itself and the two bytes after it that tell raw 802.3 from LLC.
 */
#define QV_VLAN_NEED		(QV_VLAN_HLEN + 2)

/* What qv_untag() did with a frame; the hook passes every frame on anyway. */
enum qv_untag_result {
	QV_NOT_TAGGED = 0,	/* not an 802.1Q frame: untouched */
	QV_TOO_SHORT,		/* tagged, but too short to untag: untouched */
	QV_UNTAGGED,		/* tag removed, protocol set */
};

/*
 * a + b in one's-complement arithmetic on 32 bits: a carry out of bit 31 is
 * added back into bit 0.
 */
static inline u32 qv_csum_add(u32 a, u32 b)
{
	u32 sum = a + b;

	return sum + (sum < b);
}

/*
 * Linear bytes from data on. A frame whose bookkeeping claims more
 * non-linear bytes than it has counts as having none.
 */
static inline unsigned int qv_frame_headlen(qv_frame *f)
{
	unsigned int len = qv_frame_len(f);
	unsigned int data_len = qv_frame_data_len(f);

	return data_len > len ? 0 : len - data_len;
}

/*
 * Take n bytes off the front of the frame's data. A complete receive
 * checksum covers the data from the current position on, so the sum of the
 * removed bytes is subtracted (its complement added). The bytes must lie in
 * the linear buffer; if they do not, the frame is left alone and NULL is
 * returned. Otherwise the new data pointer is returned.
 */
static inline unsigned char *qv_skb_pull_rcsum(qv_frame *f, unsigned int n)
{
	unsigned char *data = qv_frame_data(f);

	if (n > qv_frame_headlen(f))
		return NULL;

	if (qv_frame_csum_complete(f))
		qv_frame_set_csum(f, qv_csum_add(qv_frame_csum(f),
						 ~qv_csum_partial(data, n)));

	qv_frame_advance(f, n);
	return data + n;
}

/*
 * Remove the outer 802.1Q tag of a frame whose data starts at the tag and
 * hand it on as a frame of the protocol inside. Only bookkeeping changes: no
 * byte of the frame is written, and the link-layer header stays put.
 */
static inline enum qv_untag_result qv_untag(qv_frame *f)
{
	unsigned char *tag = qv_frame_data(f);
	unsigned int inner;
	unsigned char *next;

	if (qv_frame_protocol(f) != htons(QV_ETH_P_8021Q))
		return QV_NOT_TAGGED;

	if (qv_frame_len(f) < QV_VLAN_HLEN ||
	    qv_frame_headlen(f) < QV_VLAN_NEED)
		return QV_TOO_SHORT;

	next = qv_skb_pull_rcsum(f, QV_VLAN_HLEN);
	if (!next)
		return QV_TOO_SHORT;

	inner = (tag[2] << 8) | tag[3];
	qv_frame_set_protocol(f, htons(inner));
	if (inner >= QV_ETH_P_802_3_MIN)
		return QV_UNTAGGED;

	/*
	 * An 802.3 length: a frame that starts FF FF is raw 802.3 (IPX
	 * without LLC), anything else carries an 802.2 LLC header.
	 */
	if (next[0] == 0xFF && next[1] == 0xFF)
		qv_frame_set_protocol(f, htons(QV_ETH_P_802_3));
	else
		qv_frame_set_protocol(f, htons(QV_ETH_P_802_2));
	return QV_UNTAGGED;
}

#endif /* QV_VLAN_CORE_H */
