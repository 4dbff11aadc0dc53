// SPDX-License-Identifier: GPL-2.0
/* The kernel's own verdict that nothing listens: every TCP segment and UDP datagram addressed
 * to this host that no socket took (after fragments were reassembled, both families), and
 * every connect() of this host that a peer refused or the network could not reach. Stray
 * segments of connections that just ended and datagrams to the ephemeral ports (late replies)
 * are left out here, so the reader sees probes only. Tracepoints only: kernels without function
 * tracing load it too. */
#include "vmlinux.h"

#include <bpf/bpf_core_read.h>
#include <bpf/bpf_helpers.h>
#include <bpf/bpf_tracing.h>

#include "NoSocketSample.h"
#include "TcpSample.h" /* the family numbers */

#define IPPROTO_TCP 6
#define IPPROTO_UDP 17
#define ETH_P_IP_BE 0x0008   /* htons(0x0800) */
#define ETH_P_IPV6_BE 0xdd86 /* htons(0x86dd) */
#define BPF_ANY 0
#define TCP_SYN_SENT 2
#define TCP_CLOSE 7
#define TCP_FLAG_SYN 0x02
#define TCP_FLAG_RST 0x04
#define ENETUNREACH 101
#define EHOSTDOWN 112
#define ECONNREFUSED 111
#define EHOSTUNREACH 113
/* A segment of a connection that ended this recently is its late straggler: a peer
 * retransmits for about two minutes at most. */
#define RECENT_NS (120ULL * 1000 * 1000 * 1000)

char LICENSE[] SEC("license") = "GPL";

/* The network namespace watched, set before load; 0 takes every namespace. */
const volatile __u32 netns_inode = 0;
/* The local port range connect() and unbound sends draw from, set before load. A datagram
 * to a port in it that nothing took is most likely a late reply to a query of this host whose
 * socket closed (a name server's answer after the time-out); scanners' lists lie below it. */
const volatile __u16 ephemeral_first = 32768;
const volatile __u16 ephemeral_last = 60999;

/* About 13,000 samples of 88 bytes with the ring's header: a scan of every port at full speed
 * for a quarter of a second. A flood past it is counted in `lost`, not queued. */
struct {
    __uint(type, BPF_MAP_TYPE_RINGBUF);
    __uint(max_entries, 1024 * 1024);
} samples SEC(".maps");

struct {
    __uint(type, BPF_MAP_TYPE_PERCPU_ARRAY);
    __uint(max_entries, 1);
    __type(key, __u32);
    __type(value, __u64);
} lost SEC(".maps");

/* A TCP connection by its far end and local port. */
struct ended_key {
    __u8 remote[16];
    __u16 remote_port;
    __u16 local_port;
};

/* Connections that ended lately, with the time they ended: the least recent go first. */
struct {
    __uint(type, BPF_MAP_TYPE_LRU_HASH);
    __uint(max_entries, 32768);
    __type(key, struct ended_key);
    __type(value, __u64);
} ended SEC(".maps");

struct opener {
    __u32 tgid;
    char comm[16];
};

/* The process that called connect(), by socket cookie, until the attempt ends. */
struct {
    __uint(type, BPF_MAP_TYPE_LRU_HASH);
    __uint(max_entries, 16384);
    __type(key, __u64);
    __type(value, struct opener);
} openers SEC(".maps");

static __always_inline void count_lost(void) {
    __u32 key = 0;
    __u64* count = bpf_map_lookup_elem(&lost, &key);
    if (count)
        *count += 1;
}

static __always_inline int recent(const __u64* when) {
    return when && bpf_ktime_get_ns() - *when < RECENT_NS;
}

static __always_inline int in_watched_namespace(const struct net* net) {
    return netns_inode == 0 || BPF_CORE_READ(net, ns.inum) == netns_inode;
}

/* ---- inbound: packets nothing took ---- */

struct packet {
    __u8 remote[16];
    __u8 local[16];
    __u8 family;
    __u8 protocol;
};

/* Addresses and the transport protocol from the network header. IPv6 extension headers are
 * not followed (reassembly already removed the fragment header); scans send none. */
static __always_inline int read_network(const struct sk_buff* skb, const unsigned char* head,
                                        struct packet* p) {
    const __u16 offset = BPF_CORE_READ(skb, network_header);
    const __be16 protocol = BPF_CORE_READ(skb, protocol);
    if (protocol == ETH_P_IP_BE) {
        p->family = TARVIK_AF_INET;
        bpf_probe_read_kernel(&p->protocol, 1, head + offset + 9);
        bpf_probe_read_kernel(p->remote, 4, head + offset + 12);
        bpf_probe_read_kernel(p->local, 4, head + offset + 16);
        return 1;
    }
    if (protocol == ETH_P_IPV6_BE) {
        p->family = TARVIK_AF_INET6;
        bpf_probe_read_kernel(&p->protocol, 1, head + offset + 6);
        bpf_probe_read_kernel(p->remote, 16, head + offset + 8);
        bpf_probe_read_kernel(p->local, 16, head + offset + 24);
        return 1;
    }
    return 0;
}

/* A zeroed sample stamped now; null (and counted lost) when the ring buffer is full. */
static __always_inline struct tarvik_no_socket_sample* new_sample(void) {
    struct tarvik_no_socket_sample* s = bpf_ringbuf_reserve(&samples, sizeof(*s), 0);
    if (!s) {
        count_lost();
        return 0;
    }
    __builtin_memset(s, 0, sizeof(*s));
    s->time_ns = bpf_ktime_get_ns();
    return s;
}

static __always_inline void submit_probe(const struct packet* p, const __u8 ports[4], __u8 flags,
                                         __u8 header_length) {
    struct tarvik_no_socket_sample* s = new_sample();
    if (!s)
        return;
    __builtin_memcpy(s->remote, p->remote, 16);
    __builtin_memcpy(s->local, p->local, 16);
    s->remote_port = (ports[0] << 8) | ports[1];
    s->local_port = (ports[2] << 8) | ports[3];
    s->family = p->family;
    s->protocol = p->protocol;
    s->tcp_flags = flags;
    s->tcp_header_length = header_length;
    s->kind = TARVIK_NO_SOCKET_PROBE;
    bpf_ringbuf_submit(s, 0);
}

SEC("tp_btf/kfree_skb")
int BPF_PROG(packet_dropped, struct sk_buff* skb, void* location, int reason) {
    if (reason != bpf_core_enum_value(enum skb_drop_reason, SKB_DROP_REASON_NO_SOCKET))
        return 0;
    const struct net_device* dev = BPF_CORE_READ(skb, dev);
    if (!dev || !in_watched_namespace(BPF_CORE_READ(dev, nd_net.net)))
        return 0;
    const unsigned char* head = BPF_CORE_READ(skb, head);
    struct packet p = {};
    if (!read_network(skb, head, &p))
        return 0;
    const unsigned char* transport = head + BPF_CORE_READ(skb, transport_header);
    __u8 ports[4] = {};
    bpf_probe_read_kernel(ports, sizeof(ports), transport);
    if (p.protocol == IPPROTO_UDP) {
        const __u16 local_port = (ports[2] << 8) | ports[3];
        if (local_port >= ephemeral_first && local_port <= ephemeral_last)
            return 0;
        submit_probe(&p, ports, 0, 0);
        return 0;
    }
    if (p.protocol != IPPROTO_TCP)
        return 0;
    __u8 offset_and_flags[2] = {};
    bpf_probe_read_kernel(offset_and_flags, 2, transport + 12);
    const __u8 flags = offset_and_flags[1];
    /* A reset answers something; it never asks. */
    if (flags & TCP_FLAG_RST)
        return 0;
    if (!(flags & TCP_FLAG_SYN)) {
        struct ended_key key = {};
        __builtin_memcpy(key.remote, p.remote, 16);
        key.remote_port = (ports[0] << 8) | ports[1];
        key.local_port = (ports[2] << 8) | ports[3];
        if (recent(bpf_map_lookup_elem(&ended, &key)))
            return 0;
    }
    submit_probe(&p, ports, flags, (offset_and_flags[0] >> 4) * 4);
    return 0;
}

/* ---- TCP sockets: connections that ended, attempts that failed ---- */

/* The far end's address; an IPv4 peer of a dual-stack socket as plain IPv4. */
static __always_inline void remote_of(const struct sock* sk, __u16 family, __u8 remote[16]) {
    if (family == TARVIK_AF_INET) {
        bpf_core_read(remote, 4, &sk->__sk_common.skc_daddr);
        return;
    }
    bpf_core_read(remote, 16, &sk->__sk_common.skc_v6_daddr);
    const __u32* words = (const __u32*)remote;
    if (words[0] == 0 && words[1] == 0 && words[2] == __builtin_bswap32(0xffff)) {
        __builtin_memcpy(remote, remote + 12, 4);
        __builtin_memset(remote + 4, 0, 12);
    }
}

static __always_inline void local_of(const struct sock* sk, __u16 family, __u8 local[16]) {
    if (family == TARVIK_AF_INET)
        bpf_core_read(local, 4, &sk->__sk_common.skc_rcv_saddr);
    else
        bpf_core_read(local, 16, &sk->__sk_common.skc_v6_rcv_saddr);
}

/* The kernel releases the port before it reports TCP_CLOSE, clearing skc_num; the source
 * port of the connection is still in inet_sport. */
static __always_inline __u16 local_port(const struct sock* sk) {
    __u16 port = BPF_CORE_READ(sk, __sk_common.skc_num);
    if (port == 0)
        port = __builtin_bswap16(BPF_CORE_READ((const struct inet_sock*)sk, inet_sport));
    return port;
}

static __always_inline int refusal(int error) {
    return error == ECONNREFUSED || error == EHOSTUNREACH || error == ENETUNREACH ||
           error == EHOSTDOWN;
}

static __always_inline void report_refused(const struct sock* sk, __u16 family, __u64 cookie) {
    const int error = BPF_CORE_READ(sk, sk_err);
    const struct opener* who = bpf_map_lookup_elem(&openers, &cookie);
    if (!refusal(error))
        return;
    struct tarvik_no_socket_sample* s = new_sample();
    if (!s)
        return;
    remote_of(sk, family, s->remote);
    local_of(sk, family, s->local);
    s->remote_port = __builtin_bswap16(BPF_CORE_READ(sk, __sk_common.skc_dport));
    s->local_port = local_port(sk);
    s->family = family;
    s->protocol = IPPROTO_TCP;
    s->kind = TARVIK_NO_SOCKET_REFUSED;
    s->error = error;
    s->uid = BPF_CORE_READ(sk, sk_uid.val);
    if (who) {
        s->tgid = who->tgid;
        __builtin_memcpy(s->comm, who->comm, sizeof(s->comm));
    }
    bpf_ringbuf_submit(s, 0);
}

static __always_inline void remember_opener(__u64 cookie) {
    struct opener who = {};
    who.tgid = bpf_get_current_pid_tgid() >> 32;
    const struct task_struct* task = (const struct task_struct*)bpf_get_current_task();
    const struct task_struct* leader = BPF_CORE_READ(task, group_leader);
    bpf_core_read_str(who.comm, sizeof(who.comm), &leader->comm);
    bpf_map_update_elem(&openers, &cookie, &who, BPF_ANY);
}

static __always_inline void remember_ended(const struct sock* sk, __u16 family) {
    struct ended_key key = {};
    remote_of(sk, family, key.remote);
    key.remote_port = __builtin_bswap16(BPF_CORE_READ(sk, __sk_common.skc_dport));
    key.local_port = local_port(sk);
    const __u64 now = bpf_ktime_get_ns();
    bpf_map_update_elem(&ended, &key, &now, BPF_ANY);
}

SEC("tp_btf/inet_sock_set_state")
int BPF_PROG(tcp_state_seen, const struct sock* sk, int oldstate, int newstate) {
    if (BPF_CORE_READ(sk, sk_protocol) != IPPROTO_TCP)
        return 0;
    const __u16 family = BPF_CORE_READ(sk, __sk_common.skc_family);
    if (family != TARVIK_AF_INET && family != TARVIK_AF_INET6)
        return 0;
    if (!in_watched_namespace(BPF_CORE_READ(sk, __sk_common.skc_net.net)))
        return 0;
    if (newstate == TCP_SYN_SENT) {
        remember_opener(bpf_get_socket_cookie((void*)sk));
        return 0;
    }
    if (oldstate == TCP_SYN_SENT) {
        const __u64 cookie = bpf_get_socket_cookie((void*)sk);
        if (newstate == TCP_CLOSE)
            report_refused(sk, family, cookie);
        bpf_map_delete_elem(&openers, &cookie);
        return 0;
    }
    if (newstate == TCP_CLOSE)
        remember_ended(sk, family);
    return 0;
}
