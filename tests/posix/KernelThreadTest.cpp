// YThread over the POSIX layer, whose handle values are never reused: a
// handle that was closed stays invalid, so a leak or a double close shows.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>

#include "framework/YThread.h"
#include "platform/WinApi.h"

using namespace YNet2;

namespace {

HANDLE AsHandle(DWORD word) {
    return reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(static_cast<LONG>(word)));
}

struct Words {
    DWORD thread = 0;
    DWORD exitEvent = 0;
    std::promise<void> gone;
};

// Deletes itself as the last step of its thread body, as a kernel destroyed
// from one of its own callbacks does.
class SelfDeleting : public YThread {
public:
    explicit SelfDeleting(std::shared_ptr<Words> words) : m_Words(std::move(words)) {}

protected:
    LONG Run(void*) override {
        std::shared_ptr<Words> words = m_Words;
        words->thread = m_Thread;
        words->exitEvent = m_ExitEvent;
        delete this;
        words->gone.set_value();
        return 0;
    }

private:
    std::shared_ptr<Words> m_Words;
};

} // namespace

TEST(KernelThreadPosix, ObjectDestroyedOnItsOwnThreadClosesItsHandles) {
    auto words = std::make_shared<Words>();
    std::future<void> gone = words->gone.get_future();
    auto* object = new SelfDeleting(words);
    ASSERT_EQ(0, object->CreateThread(0, nullptr, nullptr, 0));
    ASSERT_EQ(std::future_status::ready, gone.wait_for(std::chrono::seconds(10)));
    ASSERT_NE(0u, words->exitEvent);
    EXPECT_FALSE(SetEvent(AsHandle(words->exitEvent))); // already closed
    EXPECT_FALSE(CloseHandle(AsHandle(words->thread)));
}
