// SPDX-License-Identifier: GPL-2.0
/* Every TCP state change of both families, handed to user space through a ring buffer.
 * The program only copies what the socket says; all policy lives in the reader. */
#include "vmlinux.h"

#include <bpf/bpf_core_read.h>
#include <bpf/bpf_helpers.h>
#include <bpf/bpf_tracing.h>

#include "TcpSample.h"

#define IPPROTO_TCP 6
#define TCP_SYN_SENT 2
#define TCP_LISTEN 10

char LICENSE[] SEC("license") = "GPL";

/* The network namespace the reader's dumps see, set before load; 0 takes every namespace. */
const volatile __u32 netns_inode = 0;

struct {
    __uint(type, BPF_MAP_TYPE_RINGBUF);
    __uint(max_entries, 4 * 1024 * 1024);
} samples SEC(".maps");

/* Samples the ring buffer had no room for: the reader's live set is then incomplete. */
struct {
    __uint(type, BPF_MAP_TYPE_PERCPU_ARRAY);
    __uint(max_entries, 1);
    __type(key, __u32);
    __type(value, __u64);
} lost SEC(".maps");

static __always_inline void count_lost(void) {
    __u32 key = 0;
    __u64* count = bpf_map_lookup_elem(&lost, &key);
    if (count)
        *count += 1;
}

static __always_inline void copy_addresses(struct tarvik_tcp_sample* s, const struct sock* sk) {
    /* Sized by the fields, not by the sample's arrays: IPv4 fills the first four bytes. */
    if (s->family == TARVIK_AF_INET) {
        bpf_core_read(s->saddr, sizeof(__be32), &sk->__sk_common.skc_rcv_saddr);
        bpf_core_read(s->daddr, sizeof(__be32), &sk->__sk_common.skc_daddr);
        return;
    }
    bpf_core_read(s->saddr, sizeof(struct in6_addr), &sk->__sk_common.skc_v6_rcv_saddr);
    bpf_core_read(s->daddr, sizeof(struct in6_addr), &sk->__sk_common.skc_v6_daddr);
    s->v6only = BPF_CORE_READ_BITFIELD_PROBED(&sk->__sk_common, skc_ipv6only);
}

/* The kernel releases the port before it reports TCP_CLOSE, clearing skc_num; the source
 * port of the connection is still in inet_sport. */
static __always_inline __u16 local_port(const struct sock* sk) {
    __u16 port = BPF_CORE_READ(sk, __sk_common.skc_num);
    if (port == 0)
        port = __builtin_bswap16(BPF_CORE_READ((const struct inet_sock*)sk, inet_sport));
    return port;
}

/* connect() and listen() change the socket's state in the calling process: the state changes
 * whose context names the socket's owner (an accepted socket changes state in no process's
 * context). The name is the process's (its leader's), not the calling thread's. */
static __always_inline void copy_calling_process(struct tarvik_tcp_sample* s) {
    s->tgid = bpf_get_current_pid_tgid() >> 32;
    const struct task_struct* task = (const struct task_struct*)bpf_get_current_task();
    const struct task_struct* leader = BPF_CORE_READ(task, group_leader);
    bpf_core_read_str(s->comm, sizeof(s->comm), &leader->comm);
}

SEC("tp_btf/inet_sock_set_state")
int BPF_PROG(tcp_state_change, const struct sock* sk, int oldstate, int newstate) {
    if (BPF_CORE_READ(sk, sk_protocol) != IPPROTO_TCP)
        return 0;
    const __u16 family = BPF_CORE_READ(sk, __sk_common.skc_family);
    if (family != TARVIK_AF_INET && family != TARVIK_AF_INET6)
        return 0;
    if (netns_inode != 0 && BPF_CORE_READ(sk, __sk_common.skc_net.net, ns.inum) != netns_inode)
        return 0;

    struct tarvik_tcp_sample* s = bpf_ringbuf_reserve(&samples, sizeof(*s), 0);
    if (!s) {
        count_lost();
        return 0;
    }
    __builtin_memset(s, 0, sizeof(*s));
    s->time_ns = bpf_ktime_get_ns();
    s->cookie = bpf_get_socket_cookie((void*)sk);
    s->family = family;
    s->oldstate = oldstate;
    s->newstate = newstate;
    s->sport = local_port(sk);
    s->dport = __builtin_bswap16(BPF_CORE_READ(sk, __sk_common.skc_dport));
    s->uid = BPF_CORE_READ(sk, sk_uid.val);
    s->inode = BPF_CORE_READ(sk, sk_socket, file, f_inode, i_ino);
    copy_addresses(s, sk);
    if (newstate == TCP_SYN_SENT || newstate == TCP_LISTEN)
        copy_calling_process(s);
    bpf_ringbuf_submit(s, 0);
    return 0;
}
