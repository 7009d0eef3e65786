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

namespace {
std::filesystem::path freshDir() {
    auto base = std::filesystem::temp_directory_path() /
                ("parlando-traylog-" + std::to_string(::getpid()) + "-" +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(base);
    return base;
}
std::string readAll(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}
}  // namespace

TEST(TrayLog, FirstLineCreatesFolderAndFileThenAppendsInOrder) {
    auto dir = freshDir();
    FakeSystemLog sys;
    std::FILE* err = std::tmpfile();
    TrayLog log(sys, dir / "nested" / "Parlando", err);
    log.append("applicationWillFinishLaunching");
    EXPECT_EQ(readAll(dir / "nested/Parlando/parlando-tray.txt"), "applicationWillFinishLaunching\n");
    log.append("");
    log.append("two\nlines");
    EXPECT_EQ(readAll(dir / "nested/Parlando/parlando-tray.txt"), "applicationWillFinishLaunching\n\ntwo\nlines\n");
    EXPECT_EQ(sys.infos(), (std::vector<std::string>{"applicationWillFinishLaunching", "", "two\nlines"}));
    EXPECT_TRUE(sys.errors().empty());

    std::rewind(err);
    char buf[256] = {};
    const std::size_t n = std::fread(buf, 1, sizeof buf - 1, err);
    EXPECT_EQ(std::string(buf, n), "Parlando: applicationWillFinishLaunching\nParlando: \nParlando: two\nlines\n");
    std::fclose(err);
    std::filesystem::remove_all(dir);
}

TEST(TrayLog, AFileInTheWayOfTheFolderIsReportedToTheSystemLogOnly) {
    auto dir = freshDir();
    std::filesystem::create_directories(dir);
    std::ofstream(dir / "Parlando") << "not a folder";
    FakeSystemLog sys;
    TrayLog log(sys, dir / "Parlando", nullptr);
    log.append("hello");  // returns normally
    ASSERT_EQ(sys.infos(), std::vector<std::string>{"hello"});
    ASSERT_EQ(sys.errors().size(), 1u);
    EXPECT_EQ(sys.errors()[0].rfind("log write failed: ", 0), 0u) << sys.errors()[0];
    EXPECT_EQ(readAll(dir / "Parlando"), "not a folder");
    std::filesystem::remove_all(dir);
}

TEST(TrayLog, NoFolderMeansNoFileAndNoError) {
    FakeSystemLog sys;
    TrayLog log(sys, std::nullopt, nullptr);
    log.append("x");
    EXPECT_EQ(sys.infos().size(), 1u);
    EXPECT_TRUE(sys.errors().empty());
    EXPECT_FALSE(log.filePath());
}

TEST(TrayLog, LinesFromManyThreadsStayWholeAndInPerThreadOrder) {
    auto dir = freshDir();
    FakeSystemLog sys;
    TrayLog log(sys, dir, nullptr);
    constexpr int threads = 6, perThread = 3000;
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&log, t] {
            // Long-ish lines make torn writes visible.
            const std::string pad(static_cast<std::size_t>(40 + t * 25), char('a' + t));
            for (int i = 0; i < perThread; ++i) log.append("t" + std::to_string(t) + " " + std::to_string(i) + " " + pad);
        });
    }
    for (auto& w : workers) w.join();

    std::ifstream in(dir / "parlando-tray.txt");
    std::string line;
    std::map<int, int> next;
    int total = 0;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string tag, pad;
        int i = -1;
        fields >> tag >> i >> pad;
        ASSERT_EQ(tag.size(), 2u) << line;
        const int t = tag[1] - '0';
        ASSERT_EQ(pad, std::string(static_cast<std::size_t>(40 + t * 25), char('a' + t))) << line;
        ASSERT_EQ(i, next[t]) << "thread " << t << " out of order";
        next[t] = i + 1;
        ++total;
    }
    EXPECT_EQ(total, threads * perThread);
    std::filesystem::remove_all(dir);
}
