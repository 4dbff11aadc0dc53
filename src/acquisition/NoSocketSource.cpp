#include "acquisition/NoSocketSource.h"

namespace tarvik {

#ifndef TARVIK_HAVE_BPF
std::unique_ptr<INoSocketSource> OpenNoSocketSource(std::string& reason) {
    reason = "this program was built without eBPF";
    return nullptr;
}
#endif

}  // namespace tarvik
