/* The few kernel types the eBPF programs read. Each struct carries
 * preserve_access_index, so every field access is relocated against the running
 * kernel's BTF at load time: only the names and types of the fields matter here,
 * not their order or the members left out. Anonymous unions of the kernel's
 * layout are flattened, which the relocation allows. */
#ifndef __VMLINUX_H__
#define __VMLINUX_H__

typedef unsigned char __u8;
typedef unsigned short __u16;
typedef unsigned int __u32;
typedef unsigned long long __u64;
typedef signed char __s8;
typedef short __s16;
typedef int __s32;
typedef long long __s64;
typedef __u16 __be16;
typedef __u32 __be32;
typedef __u32 __wsum;
typedef _Bool bool;
enum { false = 0, true = 1 };

enum {
    BPF_MAP_TYPE_HASH = 1,
    BPF_MAP_TYPE_PERCPU_ARRAY = 6,
    BPF_MAP_TYPE_LRU_HASH = 9,
    BPF_MAP_TYPE_RINGBUF = 27,
};

#pragma clang attribute push(__attribute__((preserve_access_index)), apply_to = record)

struct in6_addr {
    union {
        __u8 u6_addr8[16];
    } in6_u;
};

typedef struct {
    __u32 val;
} kuid_t;

typedef struct {
    __s64 counter;
} atomic64_t;

struct inode {
    unsigned long i_ino;
};

struct file {
    struct inode* f_inode;
    void* private_data;
};

struct fdtable {
    unsigned int max_fds;
    struct file** fd;
};

struct files_struct {
    struct fdtable* fdt;
};

struct sock;

struct socket {
    struct file* file;
    struct sock* sk;
};

struct ns_common {
    unsigned int inum;
};

struct net {
    struct ns_common ns;
};

typedef struct {
    struct net* net;
} possible_net_t;

struct sock_common {
    __be32 skc_daddr;
    __be32 skc_rcv_saddr;
    __be16 skc_dport;
    __u16 skc_num;
    unsigned short skc_family;
    volatile unsigned char skc_state;
    unsigned char skc_ipv6only : 1;
    possible_net_t skc_net;
    struct in6_addr skc_v6_daddr;
    struct in6_addr skc_v6_rcv_saddr;
    atomic64_t skc_cookie;
};

struct sock {
    struct sock_common __sk_common;
    struct socket* sk_socket;
    kuid_t sk_uid;
    __u16 sk_protocol;
    int sk_err;
    __u8 sk_shutdown; /* a two-bit field in older kernels: read it as a bitfield */
};

struct net_device {
    possible_net_t nd_net;
};

struct sk_buff {
    struct net_device* dev;
    unsigned char* head;
    __u16 transport_header;
    __u16 network_header;
    __be16 protocol;
};

struct inet_sock {
    struct sock sk;
    __be16 inet_sport;
};

struct tcp_sock {
    __u64 bytes_received;
    __u64 bytes_acked;
    __u64 bytes_sent; /* from 4.19 */
};

struct task_struct {
    struct task_struct* group_leader;
    char comm[16];
    struct files_struct* files;
};

#pragma clang attribute pop

/* Only the value read is named; it is relocated against the running kernel's own. */
enum skb_drop_reason {
    SKB_DROP_REASON_NO_SOCKET = 3,
};

#endif /* __VMLINUX_H__ */
