#include "app/TrayLog.h"
#include "fakes/Fakes.h"

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <sstream>
#include <thread>
#include <unistd.h>

using namespace parlando;
using parlando::testing::FakeSystemLog;
namespace fs = std::filesystem;

namespace {
struct Dir {
    fs::path path = fs::temp_directory_path() / ("parlando-traylog-" + std::to_string(::getpid()) + "-" +
                                                 ::testing::UnitTest::GetInstance()->current_test_info()->name());
    Dir() { fs::remove_all(path); }
    ~Dir() { fs::remove_all(path); }
};
std::string readAll(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}
}  // namespace

TEST(TrayLog, FirstLineCreatesTheMissingFolderThenAppendsInOrderEmptyLinesToo) {
    Dir dir;
    FakeSystemLog sys;
    std::FILE* err = std::tmpfile();
    TrayLog log(sys, dir.path / "nested" / "Parlando", err);
    log.append("applicationWillFinishLaunching");
    log.append("");
    log.append("two\nlines");
    log.flush();
    EXPECT_EQ(readAll(dir.path / "nested/Parlando/parlando-tray.txt"), "applicationWillFinishLaunching\n\ntwo\nlines\n");
    EXPECT_EQ(sys.infos(), (std::vector<std::string>{"applicationWillFinishLaunching", "", "two\nlines"}));
    EXPECT_TRUE(sys.errors().empty());
    std::rewind(err);
    char buf[256] = {};
    const std::size_t n = std::fread(buf, 1, sizeof buf - 1, err);
    EXPECT_EQ(std::string(buf, n), "Parlando: applicationWillFinishLaunching\nParlando: \nParlando: two\nlines\n");
    std::fclose(err);
}

TEST(TrayLog, AFileInTheWayOrNoFolderAtAllOnlyReachTheSystemLog) {
    Dir dir;
    fs::create_directories(dir.path);
    std::ofstream(dir.path / "Parlando") << "not a folder";
    FakeSystemLog sys;
    TrayLog(sys, dir.path / "Parlando", nullptr).append("hello");  // returns normally, written on the way out
    ASSERT_EQ(sys.errors().size(), 1u);
    EXPECT_EQ(sys.errors()[0].rfind("log write failed: ", 0), 0u) << sys.errors()[0];
    EXPECT_EQ(readAll(dir.path / "Parlando"), "not a folder");

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
    auto pad = [](int t) { return std::string(static_cast<std::size_t>(40 + t * 25), char('a' + t)); };
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t)
        workers.emplace_back([&, t] {
            for (int i = 0; i < perThread; ++i) log.append("t" + std::to_string(t) + " " + std::to_string(i) + " " + pad(t));
        });
    for (auto& w : workers) w.join();
    log.flush();

    std::ifstream in(dir.path / "parlando-tray.txt");
    std::map<int, int> next;
    int total = 0;
    for (std::string line; std::getline(in, line); ++total) {
        std::istringstream fields(line);
        std::string tag, text;
        int i = -1;
        fields >> tag >> i >> text;
        ASSERT_EQ(tag.size(), 2u) << line;
        const int t = tag[1] - '0';
        ASSERT_EQ(text, pad(t)) << line;
        ASSERT_EQ(i, next[t]++) << "thread " << t << " out of order";
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
        EXPECT_EQ(readAll(dir.path / "parlando-tray.txt"), "after the move\n");
        EXPECT_EQ(readAll(dir.path / "old.txt").size(), 500u * 1001u);
    }
    TrayLog gonePipe(sys, std::nullopt, goneErr);
    gonePipe.append("to a closed pipe");
    gonePipe.flush();
    EXPECT_EQ(sys.infos().back(), "to a closed pipe");  // still alive to check
    std::fclose(fullErr);
    std::fclose(goneErr);
    ::close(full[0]);
}
