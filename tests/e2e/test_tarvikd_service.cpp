// tarvikd as scripts and log shippers use it: the JSON list against its schema, the list
// filters, the event stream and the metrics file.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "ChildProcess.h"
#include "Waits.h"
#include "acquisition/BpfEventSource.h"
#include "base/UniqueFd.h"
#include "support/ScanLoopback.h"

namespace tarvik {
namespace {

using namespace std::chrono_literals;
using test::ChildProcess;
using test::kEventDeadline;
using test::WaitUntil;

const std::string kSchema = std::string(TARVIK_SOURCE_DIR) + "/docs/tarvik-list.schema.json";

struct Output {
    int status = -1;
    std::string text;
};

// Runs a shell command line and returns its standard output and exit status.
Output RunShell(const std::string& command) {
    Output output;
    std::FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return output;
    }
    char buffer[4096];
    std::size_t count = 0;
    while ((count = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) {
        output.text.append(buffer, count);
    }
    const int status = ::pclose(pipe);
    output.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return output;
}

bool HaveJsonSchema() {
    return RunShell("python3 -c 'import jsonschema' 2>/dev/null").status == 0;
}

// Validates `file` against the schema (or, given a definition, each line against it); the
// validator's complaint, or empty when valid.
std::string Validate(const std::filesystem::path& file, const std::string& lineDefinition = "") {
    const std::string script =
        "import json, sys, jsonschema\n"
        "schema = json.load(open(sys.argv[1]))\n"
        "jsonschema.Draft202012Validator.check_schema(schema)\n"
        "if sys.argv[3] != 'whole':\n"
        "    event = dict(schema, **{'$ref': '#/$defs/' + sys.argv[3]})\n"
        "    for key in ('type', 'required', 'properties', 'additionalProperties'):\n"
        "        event.pop(key, None)\n"
        "    v = jsonschema.Draft202012Validator(event)\n"
        "    docs = [json.loads(l) for l in open(sys.argv[2]) if l.strip()]\n"
        "else:\n"
        "    v = jsonschema.Draft202012Validator(schema)\n"
        "    docs = [json.load(open(sys.argv[2]))]\n"
        "for d in docs:\n"
        "    for e in v.iter_errors(d):\n"
        "        print(e.message)\n";
    const std::filesystem::path scriptFile = file.string() + ".py";
    std::ofstream(scriptFile) << script;
    const Output output =
        RunShell("python3 " + scriptFile.string() + " " + kSchema + " " + file.string() + " " +
                 (lineDefinition.empty() ? "whole" : lineDefinition) + " 2>&1");
    return output.status == 0 ? output.text : "validator failed: " + output.text;
}

// A loopback listener on a free port.
UniqueFd Listen(int& port) {
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (!fd || ::bind(fd.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd.Get(), 8) != 0 ||
        ::getsockname(fd.Get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        return {};
    }
    port = ntohs(address.sin_port);
    return fd;
}

UniqueFd Connect(int port) {
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (!fd || ::connect(fd.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        return {};
    }
    return fd;
}

class TarvikdServiceTest : public ::testing::Test {
protected:
    // tarvikd's standard output read by the test, for its --events lines.
    static ChildProcess::Options Captured() {
        ChildProcess::Options options;
        options.captureOutput = true;
        return options;
    }

    void SetUp() override {
        char pattern[] = "/tmp/tarvikd-service-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    std::filesystem::path dir_;
};

TEST_F(TarvikdServiceTest, JsonListMatchesItsSchema) {
    if (!HaveJsonSchema()) {
        GTEST_SKIP() << "python3 with the jsonschema module is not installed";
    }
    int port = 0;
    const UniqueFd listener = Listen(port);
    ASSERT_TRUE(listener);
    const UniqueFd client = Connect(port);
    ASSERT_TRUE(client);
    const std::filesystem::path list = dir_ / "list.json";
    ASSERT_EQ(
        RunShell(std::string(TARVIKD_PATH) + " --list --format=json > " + list.string()).status, 0);
    EXPECT_EQ(Validate(list), "");
}

TEST_F(TarvikdServiceTest, FiltersPickRowsAndBadValuesAreUsageErrors) {
    int port = 0;
    const UniqueFd listener = Listen(port);
    ASSERT_TRUE(listener);
    const Output listed = RunShell(std::string(TARVIKD_PATH) + " --list --format=json --port " +
                                   std::to_string(port) + " --state listening --family 4");
    ASSERT_EQ(listed.status, 0);
    const auto rows = nlohmann::json::parse(listed.text)["connections"];
    ASSERT_EQ(rows.size(), 1u) << listed.text;
    EXPECT_EQ(rows[0]["localPort"], port);
    EXPECT_EQ(rows[0]["state"], "listening");

    const Output none = RunShell(std::string(TARVIKD_PATH) + " --list --format=json --port " +
                                 std::to_string(port) + " --category outbound");
    ASSERT_EQ(none.status, 0);
    EXPECT_TRUE(nlohmann::json::parse(none.text)["connections"].empty());

    const Output bad =
        RunShell(std::string(TARVIKD_PATH) + " --list --state nonsense 2>&1 >/dev/null");
    EXPECT_EQ(bad.status, 2);
    EXPECT_NE(bad.text.find("unknown state 'nonsense'"), std::string::npos) << bad.text;
}

TEST_F(TarvikdServiceTest, EventsAndMetricsOfALoopbackConnection) {
    const std::filesystem::path config = dir_ / "Tarvik.conf";
    const std::filesystem::path events = dir_ / "events.jsonl";
    const std::filesystem::path metrics = dir_ / "tarvik.prom";
    const std::filesystem::path eventsFile = dir_ / "events" / "tarvik.jsonl";
    std::ofstream(config) << "[View]\nreverselookup=0\n[Logging]\ninboundfolder=" << dir_.string()
                          << "\noutboundfolder=" << dir_.string()
                          << "\nunknownfolder=" << dir_.string()
                          << "\n[Export]\nmetricsfile=" << metrics.string()
                          << "\neventsfile=" << eventsFile.string() << "\n";
    int port = 0;
    const UniqueFd listener = Listen(port);
    ASSERT_TRUE(listener);

    ChildProcess tarvikd({TARVIKD_PATH, "--config", config.string(), "--events"}, Captured());
    ASSERT_TRUE(tarvikd.WaitForError("tarvikd: started", kEventDeadline)) << tarvikd.Errors();

    // The client's side, which talks to the listener's port.
    int clientPort = 0;
    auto clientSide = [&](const char* kind) {
        return [&clientPort, &port, kind](const std::string& line) {
            return test::IsConnectionEvent(line, kind, clientPort, port);
        };
    };
    {
        const UniqueFd client = Connect(port);
        ASSERT_TRUE(client);
        clientPort = test::LocalPortOf(client.Get());
        const UniqueFd accepted(::accept4(listener.Get(), nullptr, nullptr, SOCK_CLOEXEC));
        ASSERT_TRUE(accepted);
        EXPECT_TRUE(tarvikd.WaitForOutputLine(clientSide("open"), kEventDeadline));
    }  // both ends closed: the client's side ends in TIME_WAIT, the server's goes
    EXPECT_TRUE(tarvikd.WaitForOutputLine(clientSide("close"), kEventDeadline));
    // The first metrics file is written at the start.
    EXPECT_TRUE(WaitUntil([&] { return std::filesystem::exists(metrics); }));
    EXPECT_EQ(tarvikd.Stop(SIGTERM), 0) << tarvikd.Errors();
    std::ofstream(events) << tarvikd.Output();

    std::ifstream in(metrics);
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_NE(text.str().find("# TYPE tarvik_connections_ended_total counter\n"),
              std::string::npos);
    // The back-end in effect, as the start line named it.
    const std::string said = tarvikd.Errors();
    const std::string prefix = "tarvikd: acquisition: ";
    const auto at = said.find(prefix);
    ASSERT_NE(at, std::string::npos) << said;
    const std::string mode = said.substr(
        at + prefix.size(), said.find_first_of(" \n", at + prefix.size()) - at - prefix.size());
    EXPECT_NE(text.str().find("tarvik_backend_info{backend=\"" + mode + "\"} 1\n"),
              std::string::npos)
        << mode;
    EXPECT_NE(text.str().find("tarvik_connections{category=\"listening\",state=\"listening\"}"),
              std::string::npos)
        << text.str();
    // The file got what standard output got, line for line.
    std::ifstream fileLines(eventsFile);
    std::stringstream fileText;
    fileText << fileLines.rdbuf();
    EXPECT_EQ(fileText.str(), tarvikd.Output());

    if (HaveJsonSchema()) {
        EXPECT_EQ(Validate(events, "event"), "");
    } else {
        std::cout << "[  NOTE    ] event lines not checked against the schema: no jsonschema\n";
    }
}

// Events in ECS names to the events file alone, whose lines survive a log rotation: the moved
// file keeps its lines and a hangup makes a new one.
TEST_F(TarvikdServiceTest, EcsEventsFileMatchesItsSchemaAndReopensOnHangup) {
    const std::filesystem::path config = dir_ / "Tarvik.conf";
    const std::filesystem::path events = dir_ / "tarvik.jsonl";
    std::ofstream(config) << "[View]\nreverselookup=0\n[Logging]\ninboundfolder=" << dir_.string()
                          << "\noutboundfolder=" << dir_.string()
                          << "\nunknownfolder=" << dir_.string()
                          << "\n[Export]\neventformat=ecs\neventsfile=" << events.string() << "\n";
    int port = 0;
    const UniqueFd listener = Listen(port);
    ASSERT_TRUE(listener);
    ChildProcess tarvikd({TARVIKD_PATH, "--config", config.string(), "--socket", "none"},
                         Captured());
    ASSERT_TRUE(tarvikd.WaitForError("tarvikd: started", kEventDeadline)) << tarvikd.Errors();

    // The flow IDs of the ECS events with `action` whose source is the client's port: the
    // client's side (outbound) and the accepted side (inbound) of one flow.
    auto flowIds = [](const std::filesystem::path& file, const std::string& action, int client) {
        std::vector<std::string> ids;
        std::ifstream in(file);
        for (std::string line; std::getline(in, line);) {
            using Pointer = nlohmann::json::json_pointer;
            const auto event = nlohmann::json::parse(line, nullptr, false);
            if (event.is_object() && event.value(Pointer("/event/action"), "") == action &&
                event.value(Pointer("/source/port"), -1) == client) {
                ids.push_back(event.value(Pointer("/network/community_id"), ""));
            }
        }
        return ids;
    };
    auto connectOnce = [&]() {
        const UniqueFd client = Connect(port);
        const UniqueFd accepted(::accept4(listener.Get(), nullptr, nullptr, SOCK_CLOEXEC));
        return client ? static_cast<int>(test::LocalPortOf(client.Get())) : -1;
    };
    const int first = connectOnce();
    ASSERT_TRUE(WaitUntil([&] { return !flowIds(events, "close", first).empty(); }));
    std::vector<std::string> ids = flowIds(events, "open", first);
    ASSERT_FALSE(ids.empty());
    for (const std::string& id : flowIds(events, "close", first)) {
        ids.push_back(id);
    }
    for (const std::string& id : ids) {
        EXPECT_EQ(id, ids.front()) << "one flow, one ID, whichever side and event";
    }
    EXPECT_FALSE(ids.front().empty());

    const std::filesystem::path rotated = dir_ / "tarvik.jsonl.old";
    std::filesystem::rename(events, rotated);
    ::kill(tarvikd.Pid(), SIGHUP);
    ASSERT_TRUE(tarvikd.WaitForError("tarvikd: reloaded", kEventDeadline));
    const int second = connectOnce();
    EXPECT_TRUE(WaitUntil([&] { return !flowIds(events, "close", second).empty(); }));
    EXPECT_EQ(tarvikd.Stop(SIGTERM), 0) << tarvikd.Errors();
    EXPECT_EQ(tarvikd.Output(), "") << "no --events: nothing on standard output";

    if (!HaveJsonSchema()) {
        GTEST_SKIP() << "python3 with the jsonschema module is not installed";
    }
    EXPECT_EQ(Validate(rotated, "ecsEvent"), "");
    EXPECT_EQ(Validate(events, "ecsEvent"), "");
}

// The accepted end of a connection names the process that accepted it in every mode: with the
// eBPF program from the accept itself, else from /proc once a read of the table saw the
// accepted socket.
class InboundOwnerTest : public TarvikdServiceTest,
                         public ::testing::WithParamInterface<const char*> {};

TEST_P(InboundOwnerTest, TheClosedInboundSideNamesTheAcceptingProcess) {
    const std::string mode = GetParam();
    if (std::string reason; mode == "events" && !OpenBpfEventSource(&reason)) {
        GTEST_SKIP() << "the events back-end cannot run here: " << reason;
    }
    const std::filesystem::path config = dir_ / "Tarvik.conf";
    std::ofstream(config) << "[View]\nreverselookup=0\n[Logging]\ninboundfolder=" << dir_.string()
                          << "\noutboundfolder=" << dir_.string()
                          << "\nunknownfolder=" << dir_.string() << "\n";
    int port = 0;
    const UniqueFd listener = Listen(port);
    ASSERT_TRUE(listener);
    ChildProcess tarvikd(
        {TARVIKD_PATH, "--config", config.string(), "--acquisition=" + mode, "--events"},
        Captured());
    ASSERT_TRUE(tarvikd.WaitForError("tarvikd: started", kEventDeadline)) << tarvikd.Errors();
    ASSERT_NE(tarvikd.Errors().find("tarvikd: acquisition: " + mode), std::string::npos)
        << tarvikd.Errors();

    const auto findEvent = [&](const char* kind, int localPort, const nlohmann::json& remotePort) {
        const auto line = tarvikd.WaitForOutputLine(
            [&](const std::string& text) {
                return test::IsConnectionEvent(text, kind, localPort, remotePort);
            },
            kEventDeadline);
        return line ? nlohmann::json::parse(*line) : nlohmann::json();
    };
    // The first read of the table is over: the connection is seen the mode's own way.
    ASSERT_FALSE(findEvent("open", port, nullptr).is_null()) << "the listener was not seen";
    UniqueFd client = Connect(port);
    ASSERT_TRUE(client);
    UniqueFd accepted(::accept4(listener.Get(), nullptr, nullptr, SOCK_CLOEXEC));
    ASSERT_TRUE(accepted);
    const int clientPort = test::LocalPortOf(client.Get());
    // Once a connection made after the accept is seen, so is the accepted socket.
    const UniqueFd later = Connect(port);
    ASSERT_TRUE(later);
    ASSERT_FALSE(findEvent("open", test::LocalPortOf(later.Get()), port).is_null());
    client.Reset();
    accepted.Reset();

    const auto closed = findEvent("close", port, clientPort);
    ASSERT_FALSE(closed.is_null()) << "no close of the inbound side";
    std::string command;
    std::getline(std::ifstream("/proc/self/comm"), command);
    const auto& process = closed["process"];
    ASSERT_TRUE(process.is_object()) << closed.dump();
    EXPECT_EQ(process["pid"], ::getpid()) << closed.dump();
    EXPECT_EQ(process["command"], command) << closed.dump();
    EXPECT_EQ(tarvikd.Stop(SIGTERM), 0) << tarvikd.Errors();
}

INSTANTIATE_TEST_SUITE_P(Modes, InboundOwnerTest, ::testing::Values("events", "destroy", "poll"));

}  // namespace
}  // namespace tarvik
