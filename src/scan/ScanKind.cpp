#include "scan/ScanKind.h"

#include <array>
#include <utility>

namespace tarvik {

std::string ScanKinds::Text() const {
    static constexpr std::array<std::pair<ProbeKind, const char*>, 8> kNames = {{
        {ProbeKind::Connect, "connect"},
        {ProbeKind::Syn, "SYN"},
        {ProbeKind::Fin, "FIN"},
        {ProbeKind::Null, "NULL"},
        {ProbeKind::Xmas, "Xmas"},
        {ProbeKind::Ack, "ACK"},
        {ProbeKind::Maimon, "Maimon"},
        {ProbeKind::Udp, "UDP"},
    }};
    const char* only = "connect";
    int count = 0;
    for (const auto& [kind, name] : kNames) {
        if (!Has(kind) || (kind == ProbeKind::Syn && Has(ProbeKind::Connect))) {
            continue;
        }
        only = name;
        ++count;
    }
    return count > 1 ? "mixed" : only;
}

}  // namespace tarvik
