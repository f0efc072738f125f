// The camera thread reaper: threads no camera can join any more are kept, joined once they
// have left and at the latest when the process exits, so that no camera code still runs
// while the process's statics are destroyed.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <string>
#include <thread>

#include "../src/camera/CameraThreadReaper.h"
#include "test_camera_support.h"

namespace vireo {
namespace {

using detail::CameraThreadReaper;
using test::waitFor;

TEST(CameraThreadReaper, JoinAllWaitsForEveryKeptThreadToFinish) {
    auto& reaper = CameraThreadReaper::instance();
    reaper.joinAll();
    ASSERT_EQ(reaper.pending(), 0u);
    std::atomic<int> finished{0};
    for (int i = 0; i < 3; ++i) {
        reaper.run([&finished] {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            ++finished;
        });
    }
    EXPECT_EQ(reaper.pending(), 3u);
    reaper.joinAll();
    EXPECT_EQ(finished.load(), 3);
    EXPECT_EQ(reaper.pending(), 0u);
}

TEST(CameraThreadReaper, ThreadsKeptWhileJoiningAreJoinedToo) {
    // A camera destroyed on a kept thread may hand over a thread of its own meanwhile.
    auto& reaper = CameraThreadReaper::instance();
    reaper.joinAll();
    std::atomic<bool> innerFinished{false};
    reaper.run([&reaper, &innerFinished] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        reaper.run([&innerFinished] {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            innerFinished = true;
        });
    });
    reaper.joinAll();
    EXPECT_TRUE(innerFinished.load());
    EXPECT_EQ(reaper.pending(), 0u);
}

TEST(CameraThreadReaper, ThreadsThatHaveLeftAreJoinedAtTheNextHandOver) {
    // Kept threads do not pile up in a process that drops many cameras on their own threads.
    auto& reaper = CameraThreadReaper::instance();
    reaper.joinAll();
    std::promise<std::thread> own;
    auto ownFuture = own.get_future();
    std::atomic<bool> adopted{false};
    std::thread camera([&] {
        reaper.adoptCurrentThread(ownFuture.get());
        adopted = true;
    });
    own.set_value(std::move(camera));
    ASSERT_TRUE(waitFor([&] { return adopted.load(); }));
    EXPECT_EQ(reaper.pending(), 1u);
    // Each hand-over joins the threads that have left; right after one, the task just handed
    // over is still listed, so a count of one means the adopted thread was joined.
    EXPECT_TRUE(waitFor([&] {
        reaper.run([] {});
        return reaper.pending() == 1u;
    }));
    reaper.joinAll();
    EXPECT_EQ(reaper.pending(), 0u);
}

TEST(CameraThreadReaperExit, AThreadStillRunningAtExitFinishesBeforeTheProcessEnds) {
    // A camera dropped on its own thread just before the application returns from main
    // still completes what it was doing (a recording's file) before the process ends.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const std::filesystem::path dir = std::filesystem::path(VIREO_TEST_SCRATCH_DIR) / "camera_thread_reaper";
    std::filesystem::create_directories(dir);
    const std::string path = (dir / "written-at-exit.txt").string();
    std::filesystem::remove(path);
    EXPECT_EXIT(
        {
            CameraThreadReaper::instance().run([path] {
                std::this_thread::sleep_for(std::chrono::milliseconds(300));
                std::ofstream(path) << "complete\n";
            });
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "");
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    EXPECT_EQ(line, "complete") << "the kept thread was cut short by the exit";
}

}  // namespace
}  // namespace vireo
