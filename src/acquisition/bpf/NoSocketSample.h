/* One packet the kernel found no socket for, or one outbound connection attempt that failed,
 * as the kernel program hands it to the reader: shared by both sides, fixed-width fields in
 * an order without padding. */
#ifndef TARVIK_NO_SOCKET_SAMPLE_H
#define TARVIK_NO_SOCKET_SAMPLE_H

#ifndef __VMLINUX_H__
#include <linux/types.h>
#endif

/* What a sample reports. */
#define TARVIK_NO_SOCKET_PROBE 0   /* an inbound TCP segment or UDP datagram nothing took */
#define TARVIK_NO_SOCKET_REFUSED 1 /* a connect() of this host refused or unreachable */

struct tarvik_no_socket_sample {
    __u64 time_ns;   /* CLOCK_MONOTONIC */
    __u8 remote[16]; /* network order; IPv4 in the first four bytes */
    __u8 local[16];
    __u32 tgid;        /* the connecting process (refused only); 0 when unknown */
    __u32 uid;         /* the connecting socket's owner (refused only) */
    __s32 error;       /* the connect()'s errno (refused only) */
    __u16 remote_port; /* host order */
    __u16 local_port;
    __u8 family;            /* 2 or 10 */
    __u8 protocol;          /* 6 or 17 */
    __u8 tcp_flags;         /* the segment's flags byte (probes of TCP only) */
    __u8 tcp_header_length; /* in bytes (probes of TCP only) */
    __u8 kind;              /* TARVIK_NO_SOCKET_PROBE or TARVIK_NO_SOCKET_REFUSED */
    __u8 pad[3];
    char comm[16]; /* the connecting process's name (refused only); NUL-padded */
};

#endif
