#pragma once

#include <memory>
#include <string>

#include "acquisition/BpfEventSource.h"

namespace tarvik {

// The loaded program and the thread reading its ring buffer. Null with the reason when the
// program cannot be opened, loaded or attached.
std::unique_ptr<IEventSource> OpenBpfTcpStates(std::string& reason, const BpfTraceSink& trace);

}  // namespace tarvik
