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

/* About 32,000 samples of 128 bytes (with the ring's header): the notices of some 3,000
 * loopback connections, both sides, so a reader held up for most of a second at 5,000
 * connections a second loses none. It is resident twice over in the reader (8 MiB), which maps
 * the data area twice so that a sample wrapping around the end reads as one. */
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

/* connect() and listen() change the socket's state in the calling process, and accept() hands
 * it to the calling process: the only moments whose context names the socket's owner (an
 * accepted socket changes state in no process's context). The name is the process's (its
 * leader's), not the calling thread's. */
static __always_inline void copy_calling_process(struct tarvik_tcp_sample* s) {
    s->tgid = bpf_get_current_pid_tgid() >> 32;
    const struct task_struct* task = (const struct task_struct*)bpf_get_current_task();
    const struct task_struct* leader = BPF_CORE_READ(task, group_leader);
    bpf_core_read_str(s->comm, sizeof(s->comm), &leader->comm);
}

/* The family of a TCP socket of the namespace watched; 0 for any other socket. */
static __always_inline __u16 watched_family(const struct sock* sk) {
    if (BPF_CORE_READ(sk, sk_protocol) != IPPROTO_TCP)
        return 0;
    const __u16 family = BPF_CORE_READ(sk, __sk_common.skc_family);
    if (family != TARVIK_AF_INET && family != TARVIK_AF_INET6)
        return 0;
    if (netns_inode != 0 && BPF_CORE_READ(sk, __sk_common.skc_net.net, ns.inum) != netns_inode)
        return 0;
    return family;
}

/* A zeroed sample with what the socket says of itself; null when the ring buffer is full. */
static __always_inline struct tarvik_tcp_sample* new_sample(const struct sock* sk, __u16 family,
                                                            __u64 cookie) {
    struct tarvik_tcp_sample* s = bpf_ringbuf_reserve(&samples, sizeof(*s), 0);
    if (!s) {
        count_lost();
        return 0;
    }
    __builtin_memset(s, 0, sizeof(*s));
    s->time_ns = bpf_ktime_get_ns();
    s->cookie = cookie;
    s->family = family;
    s->sport = local_port(sk);
    s->dport = __builtin_bswap16(BPF_CORE_READ(sk, __sk_common.skc_dport));
    s->uid = BPF_CORE_READ(sk, sk_uid.val);
    s->inode = BPF_CORE_READ(sk, sk_socket, file, f_inode, i_ino);
    copy_addresses(s, sk);
    return s;
}

#define RCV_SHUTDOWN 1

/* The byte counters, read as the state changes: at TCP_CLOSE they are the connection's last.
 * That is before tcp_done() marks both directions shut, so a receive side shut means the peer's
 * FIN came, or the process closed or shut it: after a reset of a socket closed so, the reader
 * takes one byte too many off what was received, and then keeps its last dump's larger count. */
static __always_inline void copy_counts(struct tarvik_tcp_sample* s, const struct sock* sk) {
    const struct tcp_sock* tp = (const struct tcp_sock*)sk;
    s->bytes_acked = BPF_CORE_READ(tp, bytes_acked);
    s->bytes_received = BPF_CORE_READ(tp, bytes_received);
    if (bpf_core_field_exists(tp->bytes_sent)) {
        s->bytes_sent = BPF_CORE_READ(tp, bytes_sent);
        s->flags |= TARVIK_SAMPLE_HAS_SENT;
    }
    if (BPF_CORE_READ_BITFIELD_PROBED(sk, sk_shutdown) & RCV_SHUTDOWN)
        s->flags |= TARVIK_SAMPLE_FIN_IN;
}

/* Calls of tcp_state_change now running on each CPU. The kernel skips a program entered again
 * on a CPU where it runs: a loopback packet's soft interrupt, or a task that preempted it,
 * changing another socket's state. The backup program below reports those changes. */
struct {
    __uint(type, BPF_MAP_TYPE_PERCPU_ARRAY);
    __uint(max_entries, 1);
    __type(key, __u32);
    __type(value, __u64);
} running SEC(".maps");

/* State changes the backup reported for a skipped tcp_state_change: the reader counts only
 * skips beyond these as lost. */
struct {
    __uint(type, BPF_MAP_TYPE_PERCPU_ARRAY);
    __uint(max_entries, 1);
    __type(key, __u32);
    __type(value, __u64);
} covered SEC(".maps");

static __always_inline void report_state(const struct sock* sk, int oldstate, int newstate) {
    const __u16 family = watched_family(sk);
    if (!family)
        return;
    struct tarvik_tcp_sample* s = new_sample(sk, family, bpf_get_socket_cookie((void*)sk));
    if (!s)
        return;
    s->kind = TARVIK_SAMPLE_STATE;
    s->oldstate = oldstate;
    s->newstate = newstate;
    copy_counts(s, sk);
    if (newstate == TCP_SYN_SENT || newstate == TCP_LISTEN)
        copy_calling_process(s);
    bpf_ringbuf_submit(s, 0);
}

SEC("tp_btf/inet_sock_set_state")
int BPF_PROG(tcp_state_change, const struct sock* sk, int oldstate, int newstate) {
    __u32 key = 0;
    __u64* running_here = bpf_map_lookup_elem(&running, &key);
    if (running_here)
        *running_here += 1;
    report_state(sk, oldstate, newstate);
    if (running_here)
        *running_here -= 1;
    return 0;
}

/* Attached after tcp_state_change, so it runs after it for every change: it reports only while
 * tcp_state_change is in the middle of a call on this CPU, which means the kernel skipped that
 * program for this change. */
SEC("tp_btf/inet_sock_set_state")
int BPF_PROG(tcp_state_change_nested, const struct sock* sk, int oldstate, int newstate) {
    __u32 key = 0;
    const __u64* running_here = bpf_map_lookup_elem(&running, &key);
    if (!running_here || *running_here == 0)
        return 0;
    __u64* count = bpf_map_lookup_elem(&covered, &key);
    if (count)
        *count += 1;
    report_state(sk, oldstate, newstate);
    return 0;
}

/* Reports that the current process accepted `sk`. The socket's cookie is read as the state
 * changes made it (bpf_get_socket_cookie takes only the kernel's own pointers); none yet:
 * neither a state change nor a dump named the socket, so no record waits for its process. */
static __always_inline void report_accepted(const struct sock* sk) {
    const __u16 family = watched_family(sk);
    const __u64 cookie = BPF_CORE_READ(sk, __sk_common.skc_cookie.counter);
    if (!family || !cookie)
        return;
    struct tarvik_tcp_sample* s = new_sample(sk, family, cookie);
    if (!s)
        return;
    s->kind = TARVIK_SAMPLE_ACCEPTED;
    s->newstate = BPF_CORE_READ(sk, __sk_common.skc_state);
    copy_calling_process(s);
    bpf_ringbuf_submit(s, 0);
}

/* Two ways to see accepts; the reader loads the first this kernel allows, else neither. */

/* After inet_accept() grafted the new socket onto its file, in the accepting process: costs
 * nothing elsewhere. Only the first two arguments are read, the later ones differ between
 * kernel versions; a failed accept leaves the new socket without a sock. */
SEC("fexit/inet_accept")
int BPF_PROG(accept_exit, struct socket* listening, struct socket* accepted) {
    const struct sock* sk = BPF_CORE_READ(accepted, sk);
    if (sk)
        report_accepted(sk);
    return 0;
}

/* The socket behind descriptor `fd` of the current process; null for a descriptor that is no
 * socket. Whatever it finds, the current process holds it. */
static __always_inline const struct sock* socket_of_descriptor(long fd) {
    const struct task_struct* task = (const struct task_struct*)bpf_get_current_task();
    const struct fdtable* table = BPF_CORE_READ(task, files, fdt);
    if (!table || fd >= BPF_CORE_READ(table, max_fds))
        return 0;
    struct file** files = BPF_CORE_READ(table, fd);
    struct file* file = 0;
    bpf_core_read(&file, sizeof(file), &files[fd]);
    if (!file)
        return 0;
    const struct socket* socket = BPF_CORE_READ(file, private_data);
    /* A socket's file and the socket point at each other; other files' data does not. */
    if (!socket || BPF_CORE_READ(socket, file) != file)
        return 0;
    const struct sock* sk = BPF_CORE_READ(socket, sk);
    if (!sk || BPF_CORE_READ(sk, sk_socket) != socket)
        return 0;
    return sk;
}

/* Reports the socket an accept() or accept4() returned, `ret` being the system call's result. */
static __always_inline void report_accepted_descriptor(long ret) {
    if (ret < 0)
        return;
    const struct sock* sk = socket_of_descriptor(ret);
    if (sk)
        report_accepted(sk);
}

/* The record of a system call's exit tracepoint, laid out as its format file in tracefs says
 * (events/syscalls/sys_exit_accept4/format); the same on every 64-bit kernel. */
struct syscall_exit_record {
    __u64 header; /* type, flags, preempt count, pid */
    __s32 number;
    long ret;
};

/* accept4() and accept() returning, for kernels that refuse to hook a function's end. The
 * programs run for these two system calls only, but while any system call tracepoint is in use
 * the kernel takes its slower path for every system call of the machine (tens of ns each).
 * Attaching needs the tracepoints' ids from tracefs. The raw sys_exit tracepoint, which would
 * need no tracefs, is left alone: it would run a program at the end of every system call. */
SEC("tracepoint/syscalls/sys_exit_accept4")
int accept4_returned(const struct syscall_exit_record* record) {
    report_accepted_descriptor(record->ret);
    return 0;
}

SEC("tracepoint/syscalls/sys_exit_accept")
int accept_returned(const struct syscall_exit_record* record) {
    report_accepted_descriptor(record->ret);
    return 0;
}
