// The untag step of qv_vlan on a frame record of the test's own, with the
// same fields the kernel's socket buffer gives the hook.
#include <arpa/inet.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include <gtest/gtest.h>

typedef uint8_t u8;
typedef uint16_t u16;
typedef uint32_t u32;

namespace {

constexpr unsigned char kChecksumComplete = 3;

struct test_frame {
	u16 protocol;			// network byte order
	unsigned char *data;
	unsigned int len;
	unsigned int data_len;
	unsigned char ip_summed;
	u32 csum;
	unsigned char *network_header;
	unsigned char *mac_header;
};

// Calls of the checksum service, so that a test can see what was summed.
struct csum_calls {
	int count;
	unsigned int last_len;
} g_csum;

// The kernel's csum_partial in its simplest form: native-order 16-bit words
// summed into 32 bits without folding (the kernel may return any value that
// is congruent modulo 0xFFFF, an unfolded one is the hardest case).
u32 stand_in_csum_partial(const unsigned char *p, unsigned int n)
{
	g_csum.count++;
	g_csum.last_len = n;
	u32 sum = 0;
	for (unsigned int i = 0; i + 1 < n; i += 2) {
		u16 w;
		memcpy(&w, p + i, 2);
		sum += w;
	}
	if (n & 1) {
		unsigned char last[2] = {p[n - 1], 0};
		u16 w;
		memcpy(&w, last, 2);
		sum += w;
	}
	return sum;
}

}  // namespace

typedef test_frame qv_frame;
#define qv_frame_protocol(f) ((f)->protocol)
#define qv_frame_set_protocol(f, p) ((f)->protocol = (p))
#define qv_frame_data(f) ((f)->data)
#define qv_frame_len(f) ((f)->len)
#define qv_frame_data_len(f) ((f)->data_len)
#define qv_frame_csum_complete(f) ((f)->ip_summed == kChecksumComplete)
#define qv_frame_csum(f) ((f)->csum)
#define qv_frame_set_csum(f, c) ((f)->csum = (c))
#define qv_frame_advance(f, n) \
	((f)->len -= (n), (f)->data += (n), (f)->network_header += (n))
#define qv_csum_partial(p, n) stand_in_csum_partial((p), (n))

#include "qv_vlan_core.h"

namespace {

bool same(const test_frame &a, const test_frame &b)
{
	return a.protocol == b.protocol && a.data == b.data && a.len == b.len &&
	       a.data_len == b.data_len && a.ip_summed == b.ip_summed &&
	       a.csum == b.csum && a.network_header == b.network_header &&
	       a.mac_header == b.mac_header;
}

// One's-complement sum of a byte range, reduced to 0..0xFFFE, computed
// byte by byte with the weight each byte has in a native-order 16-bit word.
uint64_t reference_sum(const std::vector<unsigned char> &b, size_t from)
{
	const u16 probe = 1;
	unsigned char first;
	memcpy(&first, &probe, 1);
	const bool little = first == 1;
	uint64_t sum = 0;
	for (size_t i = from; i < b.size(); i++) {
		bool low = ((i - from) % 2 == 0) == little;
		sum += low ? b[i] : (uint64_t)b[i] << 8;
	}
	return sum % 0xFFFF;
}

// The 32-bit checksum reduced the same way (0xFFFF and 0 are one value).
uint64_t reduce(u32 csum)
{
	return csum % 0xFFFF;
}

// A frame whose data starts at `off` in `buf` (the Ethernet header before
// it), with everything from there on linear.
test_frame frame_over(std::vector<unsigned char> &buf, size_t off, u16 proto)
{
	test_frame f = {};
	f.protocol = htons(proto);
	f.mac_header = buf.data();
	f.data = buf.data() + off;
	f.network_header = f.data;
	f.len = (unsigned int)(buf.size() - off);
	return f;
}

// Ethernet header, then the tag (if any) and the rest.
std::vector<unsigned char> ether(std::initializer_list<unsigned char> rest)
{
	static const unsigned char head[] = {0x02, 0, 0, 0, 0, 1,
					     0x02, 0, 0, 0, 0, 2, 0x81, 0x00};
	std::vector<unsigned char> b(sizeof head + rest.size());
	memcpy(b.data(), head, sizeof head);
	std::copy(rest.begin(), rest.end(), b.begin() + sizeof head);
	return b;
}

constexpr size_t kEth = 14;

TEST(QvVlanCsumAdd, CarryOutOfBit31IsAddedBackIntoBit0)
{
	struct {
		u32 a, b, sum;
	} cases[] = {
		{1, 2, 3},
		{0xFFFFFFFFu, 1, 1},
		{0x80000000u, 0x80000000u, 1},
		{0xFFFF0000u, 0x00010000u, 1},
		{0xFFFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFFFu},
		{0, 0, 0},
	};
	for (const auto &c : cases) {
		EXPECT_EQ(qv_csum_add(c.a, c.b), c.sum) << c.a << " + " << c.b;
		EXPECT_EQ(qv_csum_add(c.b, c.a), c.sum) << c.b << " + " << c.a;
	}
}

TEST(QvVlanUntag, FramesWithoutAnOuterTagAreUntouched)
{
	// 0x0081 is 0x8100 with its bytes swapped: a check in host byte order
	// would take it for a tag.
	const u16 protos[] = {0x0800, 0x86DD, 0x0806, 0x88A8, 0x0081, 0x0000};
	for (u16 proto : protos) {
		auto buf = ether({0x81, 0x00, 0x08, 0x00, 0x45, 0x00, 0, 0});
		auto copy = buf;
		test_frame f = frame_over(buf, kEth, proto);
		f.ip_summed = kChecksumComplete;
		f.csum = 0x12345678;
		const test_frame before = f;
		g_csum = {};

		EXPECT_EQ(qv_untag(&f), QV_NOT_TAGGED) << std::hex << proto;
		EXPECT_TRUE(same(f, before)) << std::hex << proto;
		EXPECT_EQ(buf, copy);
		EXPECT_EQ(g_csum.count, 0);
	}
}

TEST(QvVlanUntag, TaggedFramesTakeTheProtocolInsideTheTag)
{
	struct {
		const char *name;
		unsigned char tci_hi, tci_lo;	// priority, VLAN id: ignored
		unsigned char type_hi, type_lo;
		unsigned char next0, next1;
		u16 protocol;
	} cases[] = {
		{"ipv4", 0x00, 0x05, 0x08, 0x00, 0x45, 0x00, 0x0800},
		{"ipv4 prio 7 vid 4095", 0xFF, 0xFF, 0x08, 0x00, 0x45, 0x00, 0x0800},
		{"vid 0", 0x00, 0x00, 0x08, 0x00, 0x45, 0x00, 0x0800},
		{"ipv6", 0x00, 0x0A, 0x86, 0xDD, 0x60, 0x00, 0x86DD},
		{"arp", 0x00, 0x0A, 0x08, 0x06, 0x00, 0x01, 0x0806},
		{"lowest type", 0x00, 0x0A, 0x06, 0x00, 0xFF, 0xFF, 0x0600},
		{"length, raw 802.3", 0x00, 0x0A, 0x00, 0x40, 0xFF, 0xFF, 0x0001},
		{"length, llc", 0x00, 0x0A, 0x00, 0x40, 0xAA, 0xAA, 0x0004},
		{"length, llc FF 00", 0x00, 0x0A, 0x00, 0x40, 0xFF, 0x00, 0x0004},
		{"length, llc 00 FF", 0x00, 0x0A, 0x00, 0x40, 0x00, 0xFF, 0x0004},
		{"highest length", 0x00, 0x0A, 0x05, 0xFF, 0xFF, 0xFF, 0x0001},
		{"length 0", 0x00, 0x0A, 0x00, 0x00, 0x42, 0x42, 0x0004},
		{"second tag", 0x00, 0x0A, 0x81, 0x00, 0x00, 0x14, 0x8100},
	};
	for (const auto &c : cases) {
		auto buf = ether({c.tci_hi, c.tci_lo, c.type_hi, c.type_lo,
				  c.next0, c.next1, 0x11, 0x22, 0x33, 0x44});
		auto copy = buf;
		test_frame f = frame_over(buf, kEth, 0x8100);
		f.data_len = 3;	// some of the frame outside the linear buffer
		f.len += 3;
		const test_frame before = f;
		g_csum = {};

		EXPECT_EQ(qv_untag(&f), QV_UNTAGGED) << c.name;
		EXPECT_EQ(f.protocol, htons(c.protocol)) << c.name;
		EXPECT_EQ(f.data, before.data + 4) << c.name;
		EXPECT_EQ(f.len, before.len - 4) << c.name;
		EXPECT_EQ(f.data_len, before.data_len) << c.name;
		EXPECT_EQ(f.network_header, before.network_header + 4) << c.name;
		EXPECT_EQ(f.mac_header, before.mac_header) << c.name;
		EXPECT_EQ(f.csum, before.csum) << c.name;
		EXPECT_EQ(buf, copy) << c.name << ": frame bytes written";
		EXPECT_EQ(g_csum.count, 0) << c.name;
	}
}

TEST(QvVlanUntag, DoubleTagLosesOneTagPerPass)
{
	auto buf = ether({0x00, 0x0A, 0x81, 0x00, 0x00, 0x14, 0x08, 0x00,
			  0x45, 0x00, 0x00, 0x1C});
	test_frame f = frame_over(buf, kEth, 0x8100);

	ASSERT_EQ(qv_untag(&f), QV_UNTAGGED);
	EXPECT_EQ(f.protocol, htons(0x8100));
	EXPECT_EQ(f.data, buf.data() + kEth + 4);

	ASSERT_EQ(qv_untag(&f), QV_UNTAGGED);
	EXPECT_EQ(f.protocol, htons(0x0800));
	EXPECT_EQ(f.data, buf.data() + kEth + 8);
	EXPECT_EQ(f.data[0], 0x45);
	EXPECT_EQ(f.len, 4u);

	EXPECT_EQ(qv_untag(&f), QV_NOT_TAGGED);
	EXPECT_EQ(f.len, 4u);
}

TEST(QvVlanUntag, CompleteChecksumLosesTheSumOfTheTag)
{
	// Tags and payloads with carries in every column; the starting csum is
	// the sum of the frame from the tag on in several 32-bit forms, up to
	// ones so close to 0xFFFFFFFF that removing the tag carries out of
	// bit 31.
	const std::vector<std::vector<unsigned char>> frames = {
		ether({0x00, 0x05, 0x08, 0x00, 0x45, 0x00, 0x00, 0x1C, 0xAB, 0xCD}),
		ether({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}),
		ether({0xE0, 0x01, 0x08, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01}),
		ether({0x80, 0x80, 0x00, 0x40, 0xAA, 0xAA, 0x03, 0x7F, 0xFE, 0x00,
		       0x01}),
	};
	const u32 multiples[] = {0, 1, 0x1234, 0xFFFF, 0x10000};
	for (size_t i = 0; i < frames.size(); i++) {
		for (u32 k : multiples) {
			auto buf = frames[i];
			test_frame f = frame_over(buf, kEth, 0x8100);
			f.ip_summed = kChecksumComplete;
			u32 start = (u32)reference_sum(buf, kEth);
			f.csum = start + k * 0xFFFFu;
			g_csum = {};

			ASSERT_EQ(qv_untag(&f), QV_UNTAGGED) << i;
			EXPECT_EQ(reduce(f.csum), reference_sum(buf, kEth + 4))
				<< "frame " << i << " multiple " << k;
			EXPECT_EQ(g_csum.count, 1);
			EXPECT_EQ(g_csum.last_len, 4u);
		}
	}
}

TEST(QvVlanUntag, OtherChecksumStatesKeepCsum)
{
	const unsigned char states[] = {0, 1, 2};
	for (unsigned char st : states) {
		auto buf = ether({0x00, 0x05, 0x08, 0x00, 0x45, 0x00, 0x00, 0x1C});
		test_frame f = frame_over(buf, kEth, 0x8100);
		f.ip_summed = st;
		f.csum = 0xDEADBEEF;
		g_csum = {};

		ASSERT_EQ(qv_untag(&f), QV_UNTAGGED);
		EXPECT_EQ(f.csum, 0xDEADBEEFu) << (int)st;
		EXPECT_EQ(g_csum.count, 0) << (int)st;
	}
}

TEST(QvVlanUntag, ShortTaggedFramesPassUnchangedAndUnread)
{
	struct {
		const char *name;
		unsigned int linear;	// bytes really there from data on
		unsigned int len;
		unsigned int data_len;
		enum qv_untag_result result;
	} cases[] = {
		{"empty", 0, 0, 0, QV_TOO_SHORT},
		{"len 1", 1, 1, 0, QV_TOO_SHORT},
		{"len 3", 3, 3, 0, QV_TOO_SHORT},
		{"tag only", 4, 4, 0, QV_TOO_SHORT},
		{"tag and one byte", 5, 5, 0, QV_TOO_SHORT},
		{"len 3, rest paged", 0, 3, 3, QV_TOO_SHORT},
		{"linear 5 of 100", 5, 100, 95, QV_TOO_SHORT},
		{"linear 0 of 60", 0, 60, 60, QV_TOO_SHORT},
		{"data_len above len", 2, 2, 7, QV_TOO_SHORT},
		{"linear 6, the least", 6, 6, 0, QV_UNTAGGED},
		{"linear 6 of 64", 6, 64, 58, QV_UNTAGGED},
	};
	for (const auto &c : cases) {
		// Exactly the linear bytes on the heap, so that the sanitizer
		// build sees any read past them.
		const unsigned char pattern[6] = {0x00, 0x05, 0x00, 0x40, 0xFF, 0xFF};
		unsigned char *lin = new unsigned char[c.linear ? c.linear : 1];
		memcpy(lin, pattern, c.linear);
		test_frame f = {};
		f.protocol = htons(0x8100);
		f.data = lin;
		f.network_header = lin;
		f.len = c.len;
		f.data_len = c.data_len;
		f.ip_summed = kChecksumComplete;
		f.csum = 0x0BADF00D;
		const test_frame before = f;
		g_csum = {};

		EXPECT_EQ(qv_untag(&f), c.result) << c.name;
		if (c.result == QV_TOO_SHORT) {
			EXPECT_TRUE(same(f, before)) << c.name;
			EXPECT_EQ(g_csum.count, 0) << c.name;
		} else {
			EXPECT_EQ(f.protocol, htons(0x0001)) << c.name;
			EXPECT_EQ(f.len, c.len - 4) << c.name;
		}
		delete[] lin;
	}
}

TEST(QvVlanPull, CountMustLieInTheLinearData)
{
	struct {
		unsigned int len, data_len, n;
		bool pulled;
	} cases[] = {
		{10, 0, 0, true},  {10, 0, 4, true},  {10, 0, 10, true},
		{10, 0, 11, false}, {10, 6, 4, true}, {10, 6, 5, false},
		{10, 10, 1, false}, {3, 9, 0, true},  {3, 9, 1, false},
	};
	for (const auto &c : cases) {
		std::vector<unsigned char> buf(c.len, 0x5A);
		test_frame f = frame_over(buf, 0, 0x8100);
		f.data_len = c.data_len;
		f.ip_summed = kChecksumComplete;
		f.csum = 0x5A5A;
		const test_frame before = f;

		unsigned char *p = qv_skb_pull_rcsum(&f, c.n);
		if (c.pulled) {
			EXPECT_EQ(p, before.data + c.n);
			EXPECT_EQ(f.data, p);
			EXPECT_EQ(f.len, c.len - c.n);
			EXPECT_EQ(f.network_header, before.network_header + c.n);
		} else {
			EXPECT_EQ(p, nullptr) << c.len << "/" << c.data_len << "/" << c.n;
			EXPECT_TRUE(same(f, before));
		}
	}
}

}  // namespace
