#include "AppRig.h"
#include "app/TrayLog.h"

#include <gtest/gtest.h>

#include <unistd.h>
#include <map>
#include <thread>

using namespace parlando;
using namespace parlando::testing;
namespace fs = std::filesystem;
using Dir = ScratchDir;

TEST(TrayLog, AFileInTheWayOrNoFolderAtAllOnlyReachTheSystemLog) {
    Dir dir;
    std::ofstream(dir.path / "Parlando") << "not a folder";
    FakeSystemLog sys;
    TrayLog(sys, dir.path / "Parlando", nullptr).append("hello");  // returns normally, written on the way out
    EXPECT_EQ(sys.errors().size(), 1u);
    EXPECT_EQ(readText(dir.path / "Parlando"), "not a folder");

    FakeSystemLog quiet;
    TrayLog none(quiet, std::nullopt, nullptr);
    none.append("x");
    none.flush();
    EXPECT_EQ(quiet.infos(), std::vector<std::string>{"x"});
    EXPECT_TRUE(quiet.errors().empty());
}

TEST(TrayLog, LinesFromManyThreadsStayWholeAndInPerThreadOrder) {
    Dir dir;
    FakeSystemLog sys;
    TrayLog log(sys, dir.path, nullptr);
    constexpr int threads = 6, perThread = 3000;
    // Long-ish lines make torn writes visible.
    auto line = [](int t, int i) {
        return "t" + std::to_string(t) + " " + std::to_string(i) + " " +
               std::string(std::size_t(40 + t * 25), char('a' + t));
    };
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t)
        workers.emplace_back([&, t] {
            for (int i = 0; i < perThread; ++i) log.append(line(t, i));
        });
    for (auto& w : workers) w.join();
    log.flush();

    std::ifstream in(dir.path / "parlando-tray.txt");
    std::map<int, int> next;
    int total = 0;
    for (std::string got; std::getline(in, got); ++total) {
        const int t = got.size() > 1 ? got[1] - '0' : 0;
        ASSERT_EQ(got, line(t, next[t]++)) << "torn, or thread " << t << " out of order";
    }
    EXPECT_EQ(total, threads * perThread);
}

TEST(TrayLog, AStderrNobodyReadsNeitherKillsNorStallsAndAMovedFileIsReplaced) {
    Dir dir;
    FakeSystemLog sys;
    int full[2], gone[2];
    ASSERT_EQ(::pipe(full), 0);
    ASSERT_EQ(::pipe(gone), 0);
    ::close(gone[0]);  // the reader of this one has ended: writing raises SIGPIPE
    std::FILE* fullErr = ::fdopen(full[1], "w");
    std::FILE* goneErr = ::fdopen(gone[1], "w");
    {
        TrayLog log(sys, dir.path, fullErr);
        // Far more than a pipe holds; nobody reads it.
        const std::string line(1000, 'x');
        for (int i = 0; i < 500; ++i) log.append(line);
        log.flush();
        fs::rename(dir.path / "parlando-tray.txt", dir.path / "old.txt");
        log.append("after the move");
        log.flush();
        EXPECT_EQ(readText(dir.path / "parlando-tray.txt"), "after the move\n");
        EXPECT_EQ(readText(dir.path / "old.txt").size(), 500u * 1001u);
    }
    TrayLog gonePipe(sys, std::nullopt, goneErr);
    gonePipe.append("to a closed pipe");
    gonePipe.flush();
    EXPECT_EQ(sys.infos().back(), "to a closed pipe");  // still alive to check
    std::fclose(fullErr);
    std::fclose(goneErr);
    ::close(full[0]);
}
