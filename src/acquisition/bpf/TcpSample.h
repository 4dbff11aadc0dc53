/* One TCP state change as the kernel program hands it to the reader: shared by both
 * sides, so it holds only fixed-width fields in an order without padding. */
#ifndef TARVIK_TCP_SAMPLE_H
#define TARVIK_TCP_SAMPLE_H

#ifndef __VMLINUX_H__
#include <linux/types.h>
#endif

#define TARVIK_AF_INET 2
#define TARVIK_AF_INET6 10

struct tarvik_tcp_sample {
    __u64 cookie;   /* the socket cookie, as sock_diag reports it */
    __u64 time_ns;  /* CLOCK_MONOTONIC */
    __u64 inode;    /* 0 when no process holds the socket */
    __u8 saddr[16]; /* network order; IPv4 in the first four bytes */
    __u8 daddr[16];
    __u32 uid;
    __u16 sport; /* host order */
    __u16 dport;
    __u8 family;
    __u8 oldstate;
    __u8 newstate;
    __u8 v6only;
    /* The process that connected or listens, read in connect()'s or listen()'s own context:
     * set on SYN_SENT and LISTEN only, 0 and empty otherwise (accepted sockets change state
     * in no process's context). */
    __u32 tgid;
    char comm[16]; /* the process's name as /proc/<pid>/comm shows it; NUL-padded */
};

#endif
