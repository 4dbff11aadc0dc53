#pragma once

#include <iosfwd>
#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <string>
#include <vector>

#include "acquisition/ConnectionRecord.h"

namespace tarvik {

// Exit codes of tarvikctl, as service managers' tools use them.
enum class ControlExit : int { Ok = 0, Failed = 1, Usage = 2, NotRunning = 3, NoPermission = 4 };

// A connection of the list or of an event, read back from its JSON members; nullopt when the
// object is not one. Texts are unescaped, so that writing the record again shows them as the
// daemon did.
std::optional<CConnectionRecord> RecordFromJson(const std::string& objectText);
std::optional<CConnectionRecord> RecordFromJsonValue(const nlohmann::json& object);

// One readable line for an event line of `follow`.
std::string EventText(const std::string& eventLine);

// tarvikctl: runs the command in `args` against the daemon's socket.
int RunControlCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace tarvik
