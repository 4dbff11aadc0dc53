/* One TCP state change as the kernel program hands it to the reader: shared by both
 * sides, so it holds only fixed-width fields in an order without padding. */
#ifndef TARVIK_TCP_SAMPLE_H
#define TARVIK_TCP_SAMPLE_H

#ifndef __VMLINUX_H__
#include <linux/types.h>
#endif

#define TARVIK_AF_INET 2
#define TARVIK_AF_INET6 10

/* What a sample reports. */
#define TARVIK_SAMPLE_STATE 0    /* the socket entered newstate */
#define TARVIK_SAMPLE_ACCEPTED 1 /* a process accepted the socket; newstate is its state now */

/* Flags of a state sample. */
#define TARVIK_SAMPLE_HAS_SENT 1 /* the kernel keeps bytes_sent */
#define TARVIK_SAMPLE_FIN_IN 2   /* the peer's FIN came: bytes_received counts it as one */

struct tarvik_tcp_sample {
    __u64 cookie;  /* the socket cookie, as sock_diag reports it */
    __u64 time_ns; /* CLOCK_MONOTONIC */
    __u64 inode;   /* 0 when no process holds the socket */
    /* The socket's counters as tcp_info gives them (state samples only); bytes_sent only where
     * the flags say TARVIK_SAMPLE_HAS_SENT. */
    __u64 bytes_acked;
    __u64 bytes_sent;
    __u64 bytes_received;
    __u8 saddr[16]; /* network order; IPv4 in the first four bytes */
    __u8 daddr[16];
    __u32 uid;
    __u16 sport; /* host order */
    __u16 dport;
    __u8 family;
    __u8 oldstate;
    __u8 newstate;
    __u8 v6only;
    /* The process that connected, listens or accepted, read in connect()'s, listen()'s or
     * accept()'s own context: set on SYN_SENT, LISTEN and accepted samples only, 0 and empty
     * otherwise (an accepted socket changes state in no process's context). */
    __u32 tgid;
    char comm[16]; /* the process's name as /proc/<pid>/comm shows it; NUL-padded */
    __u32 kind;    /* TARVIK_SAMPLE_STATE or TARVIK_SAMPLE_ACCEPTED */
    __u32 flags;   /* TARVIK_SAMPLE_HAS_SENT, TARVIK_SAMPLE_FIN_IN */
};

#endif
