#include "lookup/BackgroundResolver.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

namespace tarvik {

struct CBackgroundResolver::State {
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<std::string> requests;
    std::vector<Answer> answers;
    bool abandoned = false;
    bool threadStarted = false;
    std::unique_ptr<INameResolver> resolver;
    Ready ready;
};

CBackgroundResolver::CBackgroundResolver(std::unique_ptr<INameResolver> resolver, Ready ready)
    : state_(std::make_shared<State>()) {
    state_->resolver = std::move(resolver);
    state_->ready = std::move(ready);
}

CBackgroundResolver::~CBackgroundResolver() {
    Abandon();
}

void CBackgroundResolver::Request(std::string address) {
    std::lock_guard lock(state_->mutex);
    if (state_->abandoned || !state_->resolver) {
        return;
    }
    state_->requests.push_back(std::move(address));
    if (!state_->threadStarted) {
        try {
            // Detached: a call into the name service cannot be interrupted, and the end of
            // the program must not wait for one.
            std::thread(Run, state_).detach();
            state_->threadStarted = true;
        } catch (const std::system_error&) {
            // No thread to be had now: the request waits and the next one tries again.
        }
    }
    state_->wake.notify_one();
}

std::vector<CBackgroundResolver::Answer> CBackgroundResolver::TakeAnswers() {
    std::lock_guard lock(state_->mutex);
    return std::exchange(state_->answers, {});
}

void CBackgroundResolver::Abandon() {
    {
        std::lock_guard lock(state_->mutex);
        state_->abandoned = true;
        state_->requests.clear();
        state_->answers.clear();
        state_->ready = nullptr;
    }
    state_->wake.notify_all();
}

void CBackgroundResolver::Run(std::shared_ptr<State> state) {
    std::unique_lock lock(state->mutex);
    for (;;) {
        state->wake.wait(lock, [&] { return state->abandoned || !state->requests.empty(); });
        if (state->abandoned) {
            return;
        }
        std::string address = std::move(state->requests.front());
        state->requests.pop_front();
        lock.unlock();
        std::optional<std::string> name = state->resolver->Resolve(address);
        lock.lock();
        if (state->abandoned) {
            return;
        }
        state->answers.push_back(Answer{std::move(address), std::move(name)});
        // Under the lock, so that once Abandon() has returned no call is in progress either.
        if (state->ready) {
            state->ready();
        }
    }
}

}  // namespace tarvik
