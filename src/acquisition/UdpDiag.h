#pragma once

#include <optional>

#include "acquisition/NetlinkDiag.h"
#include "acquisition/TableSource.h"

namespace tarvik {

// A UDP socket of a dump as a table row: bound alone ("unconn") it is a listener, state
// Listen; connected ("estab") it is a connection, state Established. Addresses as ToTcpRow
// gives them (mapped and dual-stack sockets as IPv4). nullopt for other families and states.
std::optional<TcpRow> ToUdpRow(const DiagSocket& socket);

// The row of a socket the kernel reports as ended, or nullopt when it is no UDP socket of a
// known family.
std::optional<TcpRow> ToEndedUdpRow(const DiagSocket& socket);

// The row of any socket of a dump or notice by its protocol: UDP rows for UDP sockets, TCP
// rows (ToTcpRow, or ToEndedRow when `ended`) for the rest.
std::optional<TcpRow> ToRow(const DiagSocket& socket, bool ended);

}  // namespace tarvik
