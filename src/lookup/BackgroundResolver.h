#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "lookup/NameResolver.h"

namespace tarvik {

// Runs blocking reverse lookups one at a time on a thread of its own, so that the worker that
// asks is never blocked by the name service and can always end at once. Abandon() lets go of
// that thread without waiting for it: a lookup in progress finishes on its own (the thread owns
// what it uses) and its answer is thrown away.
class CBackgroundResolver {
public:
    struct Answer {
        std::string address;
        std::optional<std::string> name;  // nothing when the name service had none
    };
    // Called on the resolver thread when an answer is ready to take; never after Abandon()
    // has returned.
    using Ready = std::function<void()>;

    CBackgroundResolver(std::unique_ptr<INameResolver> resolver, Ready ready);
    ~CBackgroundResolver();

    CBackgroundResolver(const CBackgroundResolver&) = delete;
    CBackgroundResolver& operator=(const CBackgroundResolver&) = delete;

    // Queues a lookup; the thread is started on the first request. Ignored after Abandon().
    void Request(std::string address);
    // The answers ready so far, in the order they came.
    std::vector<Answer> TakeAnswers();
    // Drops the queued lookups and every answer still to come. Returns without waiting.
    void Abandon();

private:
    struct State;
    static void Run(std::shared_ptr<State> state);

    std::shared_ptr<State> state_;
};

}  // namespace tarvik
