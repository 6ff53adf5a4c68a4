/*
 * vlan_probe - traffic for the qv_vlan real-kernel tests.
 *
 *   vlan_probe NETNS IFACE DST_MAC DST_IP SRC_IP PORT VID COUNT LABEL
 *   vlan_probe send IFACE DST_MAC DST_IP SRC_IP PORT VID COUNT LABEL
 *   vlan_probe receive DST_IP PORT COUNT LABEL
 *
 * The first form binds a UDP socket to DST_IP:PORT in its own network
 * namespace, then enters the namespace NETNS (a /proc/PID/ns/net path) and
 * sends COUNT IPv4/UDP datagrams of each kind from IFACE to DST_MAC as raw
 * Ethernet frames: 802.1Q-tagged (VLAN VID), untagged, and with an 802.1ad
 * service tag (VLAN VID). It then collects what arrived on the UDP socket
 * until nothing has come for a second and prints
 *
 *   QV_RESULT LABEL tagged=N/COUNT plain=M/COUNT stag=S/COUNT corrupt=K
 *
 * where corrupt counts datagrams that arrived with a payload other than the
 * one sent. Exit status 0 when it could send, 1 on a setup failure.
 *
 * When sender and receiver are on two machines (the lab: the host sends from
 * its tap device, the MIPS guest receives), "send" only sends, from the
 * namespace it runs in, and "receive" only collects: it binds, then goes into
 * the background, so that the sender may start as soon as it has returned;
 * it waits up to ten seconds for the first datagram and prints the same line.
 */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <poll.h>
#include <sched.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#define PAYLOAD_MAX 400

/* The kinds of datagram sent, each with its own payloads. */
static const struct kind {
	const char *name;
	unsigned int tpid;	/* 0: untagged */
} kinds[] = {
	{ "tagged", 0x8100 },
	{ "plain", 0 },
	{ "stag", 0x88A8 },
};
#define KINDS (int)(sizeof kinds / sizeof kinds[0])

static int fail(const char *what)
{
	perror(what);
	return 1;
}

static uint32_t sum16(const unsigned char *p, size_t n, uint32_t sum)
{
	size_t i;

	for (i = 0; i + 1 < n; i += 2)
		sum += (uint32_t)(p[i] << 8 | p[i + 1]);
	if (n & 1)
		sum += (uint32_t)p[n - 1] << 8;
	return sum;
}

static uint16_t fold(uint32_t sum)
{
	while (sum >> 16)
		sum = (sum & 0xFFFF) + (sum >> 16);
	return (uint16_t)~sum;
}

static void put16(unsigned char *p, unsigned int v)
{
	p[0] = (unsigned char)(v >> 8);
	p[1] = (unsigned char)v;
}

/* The payload of datagram i of a kind: a readable prefix, then a pattern. */
static size_t payload(unsigned char *buf, const char *kind, const char *label,
		      int i)
{
	size_t n = (size_t)snprintf((char *)buf, PAYLOAD_MAX, "qv-%s-%s-%d-",
				    kind, label, i);
	size_t len = 100 + (size_t)(i * 37) % 250;	/* odd and even sizes */
	size_t j;

	for (j = n; j < len; j++)
		buf[j] = (unsigned char)(j * 13 + i);
	return len;
}

static size_t build_frame(unsigned char *f, const unsigned char *dst,
			  const unsigned char *src, unsigned int tpid,
			  int vid, uint32_t sip,
			  uint32_t dip, int port, const unsigned char *pl,
			  size_t plen)
{
	unsigned char *ip, *udp;
	size_t off = 12;
	uint32_t s;

	memcpy(f, dst, 6);
	memcpy(f + 6, src, 6);
	if (tpid) {
		put16(f + off, tpid);
		put16(f + off + 2, (3u << 13) | (unsigned int)vid);
		off += 4;
	}
	put16(f + off, 0x0800);
	off += 2;

	ip = f + off;
	memset(ip, 0, 20);
	ip[0] = 0x45;
	put16(ip + 2, (unsigned int)(20 + 8 + plen));
	ip[8] = 64;
	ip[9] = 17;
	memcpy(ip + 12, &sip, 4);
	memcpy(ip + 16, &dip, 4);
	put16(ip + 10, fold(sum16(ip, 20, 0)));

	udp = ip + 20;
	put16(udp, (unsigned int)port + 1);
	put16(udp + 2, (unsigned int)port);
	put16(udp + 4, (unsigned int)(8 + plen));
	put16(udp + 6, 0);
	memcpy(udp + 8, pl, plen);
	s = sum16(ip + 12, 8, 0);
	s += 17 + 8 + (uint32_t)plen;
	s = sum16(udp, 8 + plen, s);
	s = fold(s);
	put16(udp + 6, s ? s : 0xFFFF);
	return off + 20 + 8 + plen;
}

static int parse_mac(const char *s, unsigned char *mac)
{
	unsigned int b[6];
	int i;

	if (sscanf(s, "%x:%x:%x:%x:%x:%x", &b[0], &b[1], &b[2], &b[3], &b[4],
		   &b[5]) != 6)
		return -1;
	for (i = 0; i < 6; i++)
		mac[i] = (unsigned char)b[i];
	return 0;
}

/* Which datagram of which kind this is, or -1 if it is none of ours. */
static int classify(const unsigned char *buf, size_t len, const char *label,
		    int count, int *kind)
{
	unsigned char want[PAYLOAD_MAX];
	int i, k;

	for (k = 0; k < KINDS; k++) {
		for (i = 0; i < count; i++) {
			size_t n = payload(want, kinds[k].name, label, i);

			if (len == n && memcmp(buf, want, n) == 0) {
				*kind = k;
				return i;
			}
		}
	}
	return -1;
}

static int parse_count(const char *port_s, const char *count_s, int *port,
		       int *count)
{
	*port = atoi(port_s);
	*count = atoi(count_s);
	if (*port <= 0 || *port > 65534 || *count <= 0 || *count > 64) {
		fprintf(stderr, "vlan_probe: bad PORT or COUNT\n");
		return -1;
	}
	return 0;
}

/* A UDP socket bound to dst:port, or -1. */
static int bind_udp(uint32_t dip, int port)
{
	struct sockaddr_in sin;
	int us = socket(AF_INET, SOCK_DGRAM, 0);

	if (us < 0) {
		perror("udp socket");
		return -1;
	}
	memset(&sin, 0, sizeof sin);
	sin.sin_family = AF_INET;
	sin.sin_port = htons((uint16_t)port);
	sin.sin_addr.s_addr = dip;
	if (bind(us, (struct sockaddr *)&sin, sizeof sin) < 0) {
		perror("udp bind");
		close(us);
		return -1;
	}
	return us;
}

/* Sends COUNT datagrams of each kind from ifname; 0, or 1 on a failure. */
static int send_all(const char *ifname, const char *dst_mac, uint32_t dip,
		    uint32_t sip, int port, int vid, int count,
		    const char *label)
{
	unsigned char dst[6], src[6], frame[1600], pl[PAYLOAD_MAX];
	struct sockaddr_ll sll;
	struct ifreq ifr;
	int ps, i;

	if (parse_mac(dst_mac, dst) < 0) {
		fprintf(stderr, "vlan_probe: bad address\n");
		return 1;
	}
	ps = socket(AF_PACKET, SOCK_RAW, htons(ETH_P_ALL));
	if (ps < 0)
		return fail("packet socket");
	memset(&ifr, 0, sizeof ifr);
	snprintf(ifr.ifr_name, sizeof ifr.ifr_name, "%s", ifname);
	if (ioctl(ps, SIOCGIFHWADDR, &ifr) < 0)
		return fail("SIOCGIFHWADDR");
	memcpy(src, ifr.ifr_hwaddr.sa_data, 6);
	memset(&sll, 0, sizeof sll);
	sll.sll_family = AF_PACKET;
	sll.sll_protocol = htons(ETH_P_ALL);
	sll.sll_ifindex = (int)if_nametoindex(ifname);
	if (sll.sll_ifindex == 0)
		return fail(ifname);
	if (bind(ps, (struct sockaddr *)&sll, sizeof sll) < 0)
		return fail("packet bind");

	for (i = 0; i < count; i++) {
		int k;

		for (k = 0; k < KINDS; k++) {
			size_t n = payload(pl, kinds[k].name, label, i);
			size_t fl = build_frame(frame, dst, src, kinds[k].tpid,
						vid, sip, dip, port, pl, n);

			if (send(ps, frame, fl, 0) != (ssize_t)fl)
				return fail("send");
		}
	}
	close(ps);
	return 0;
}

/* Collects datagrams on us until none has come for a second (the first may
 * take first_ms) and prints the result line. */
static void collect(int us, const char *label, int count, int first_ms)
{
	int seen[KINDS][64];
	int got[KINDS] = {0}, corrupt = 0, wait_ms = first_ms, i;

	memset(seen, 0, sizeof seen);
	for (;;) {
		struct pollfd pfd = { .fd = us, .events = POLLIN };
		unsigned char buf[2048];
		ssize_t r;
		int k = 0, idx;

		if (poll(&pfd, 1, wait_ms) <= 0)
			break;
		wait_ms = 1000;
		r = recv(us, buf, sizeof buf, 0);
		if (r < 0)
			break;
		idx = classify(buf, (size_t)r, label, count, &k);
		if (idx < 0 || seen[k][idx]) {
			corrupt++;
			continue;
		}
		seen[k][idx] = 1;
		got[k]++;
	}

	printf("QV_RESULT %s", label);
	for (i = 0; i < KINDS; i++)
		printf(" %s=%d/%d", kinds[i].name, got[i], count);
	printf(" corrupt=%d\n", corrupt);
	fflush(stdout);
}

static int parse_ips(const char *dst, const char *src, uint32_t *dip,
		     uint32_t *sip)
{
	if (inet_pton(AF_INET, dst, dip) != 1 ||
	    inet_pton(AF_INET, src, sip) != 1) {
		fprintf(stderr, "vlan_probe: bad address\n");
		return -1;
	}
	return 0;
}

static int parse_vid(const char *s, int *vid)
{
	*vid = atoi(s);
	if (*vid <= 0 || *vid > 4095) {
		fprintf(stderr, "vlan_probe: bad VID\n");
		return -1;
	}
	return 0;
}

int main(int argc, char **argv)
{
	uint32_t sip, dip;
	int us, nsfd, port, vid, count;

	if (argc == 10 && strcmp(argv[1], "send") == 0) {
		if (parse_ips(argv[4], argv[5], &dip, &sip) < 0 ||
		    parse_count(argv[6], argv[8], &port, &count) < 0 ||
		    parse_vid(argv[7], &vid) < 0)
			return 1;
		return send_all(argv[2], argv[3], dip, sip, port, vid, count,
				argv[9]);
	}
	if (argc == 6 && strcmp(argv[1], "receive") == 0) {
		if (inet_pton(AF_INET, argv[2], &dip) != 1) {
			fprintf(stderr, "vlan_probe: bad address\n");
			return 1;
		}
		if (parse_count(argv[3], argv[4], &port, &count) < 0)
			return 1;
		us = bind_udp(dip, port);
		if (us < 0)
			return 1;
		fflush(stdout);
		switch (fork()) {
		case -1:
			return fail("fork");
		case 0:
			collect(us, argv[5], count, 10000);
			_exit(0);
		default:
			return 0;
		}
	}
	if (argc != 10) {
		fprintf(stderr, "usage: vlan_probe NETNS IFACE DST_MAC DST_IP "
			"SRC_IP PORT VID COUNT LABEL\n"
			"       vlan_probe send IFACE DST_MAC DST_IP SRC_IP "
			"PORT VID COUNT LABEL\n"
			"       vlan_probe receive DST_IP PORT COUNT LABEL\n");
		return 1;
	}
	if (parse_ips(argv[4], argv[5], &dip, &sip) < 0 ||
	    parse_count(argv[6], argv[8], &port, &count) < 0 ||
	    parse_vid(argv[7], &vid) < 0)
		return 1;
	us = bind_udp(dip, port);
	if (us < 0)
		return 1;

	nsfd = open(argv[1], O_RDONLY);
	if (nsfd < 0)
		return fail(argv[1]);
	if (setns(nsfd, CLONE_NEWNET) < 0)
		return fail("setns");
	close(nsfd);

	if (send_all(argv[2], argv[3], dip, sip, port, vid, count, argv[9]))
		return 1;
	collect(us, argv[9], count, 1000);
	return 0;
}
