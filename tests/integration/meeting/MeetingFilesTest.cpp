// The meeting's files on a real file system: the recordings through
// libsndfile survive a SIGKILL as files that sox reads, with their start
// time; the documents folder comes from user-dirs.dirs.
#include "core/XdgPaths.h"
#include "meeting/MeetingText.h"
#include "meeting/adapters/FileMeetingStorage.h"
#include "testenv/TestEnv.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <thread>

using namespace parlando;
using namespace parlando::testenv;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

// Run by the test below in a child process: writes a recording at real-time
// pace, committing once a second as the session does, until it is killed.
TEST(MeetingFiles, WriterChild) {
    const char* target = std::getenv("PARLANDO_WRITER_CHILD");
    if (target == nullptr) GTEST_SKIP() << "only as the child of KilledWriterLeavesReadableRecording";
    FileMeetingStorage storage;
    std::string error;
    auto wav = storage.createWav(target, WallTime(std::chrono::seconds(1'773'480'612)), &error);
    if (!wav) std::abort();
    std::int16_t block[320];
    for (long n = 0;; ++n) {
        for (int i = 0; i < 320; ++i) block[i] = static_cast<std::int16_t>(8000 * std::sin((n * 320 + i) * 0.05));
        wav->write(block, 320);
        if (n % 50 == 49) wav->commit();
        std::this_thread::sleep_for(20ms);
    }
}

TEST(MeetingFiles, KilledWriterLeavesReadableRecording) {
    if (!haveProgram("soxi")) GTEST_SKIP() << "soxi missing";
    TempDir dir("parlando-meeting-files");
    const auto wav = dir.path() / "self.wav";
    auto child = Process::spawn({"/proc/self/exe", "--gtest_filter=MeetingFiles.WriterChild"},
                                {{"PARLANDO_WRITER_CHILD", wav.string()}});
    std::this_thread::sleep_for(2500ms);
    ::kill(child.pid(), SIGKILL);
    child.stop();
    const auto info = run({"soxi", "-D", wav.string()});
    ASSERT_EQ(info.exitCode, 0) << info.out;
    // Committed once a second: at most the last second is missing.
    EXPECT_GE(std::stod(info.out), 1.0);
    EXPECT_LE(std::stod(info.out), 2.6);
    EXPECT_EQ(run({"soxi", "-r", wav.string()}).out, "16000\n");
    setenv("TZ", "Europe/Berlin", 1);
    tzset();
    EXPECT_EQ(readWavStartTime(wav), WallTime(std::chrono::seconds(1'773'480'612)));
}

TEST(MeetingFiles, TranscriptFoldersAndDocumentsDir) {
    TempDir dir("parlando-meeting-files");
    FileMeetingStorage storage;
    const auto folder = dir.path() / "Docs" / "Parlando-Recordings" / "2026-03-14-0930-meeting";
    ASSERT_FALSE(storage.createDirectories(folder));
    std::string error;
    auto text = storage.createText(folder / "transcript.md", "# Meeting x\n\n", &error);
    ASSERT_TRUE(text) << error;
    ASSERT_FALSE(text->append("[09:30:01] [Я] привет\n"));
    EXPECT_EQ(readFile(folder / "transcript.md"), "# Meeting x\n\n[09:30:01] [Я] привет\n");
    // A folder that cannot be made (a file is in the way) says why.
    std::ofstream(dir.path() / "file") << "x";
    const auto failure = storage.createDirectories(dir.path() / "file" / "sub");
    ASSERT_TRUE(failure);
    EXPECT_NE(failure->find("Not a directory"), std::string::npos) << *failure;
    EXPECT_FALSE(storage.createText(dir.path() / "file" / "t.md", "", &error));

    const auto home = dir.path() / "home";
    fs::create_directories(home / ".config");
    auto env = [&](const char* name) -> std::optional<std::string> {
        if (std::string(name) == "HOME") return home.string();
        return std::nullopt;
    };
    EXPECT_EQ(XdgPaths::documentsDir(env), home / "Documents");
    std::ofstream(home / ".config" / "user-dirs.dirs") << "# comment\nXDG_DOWNLOAD_DIR=\"$HOME/Downloads\"\n"
                                                          "XDG_DOCUMENTS_DIR=\"$HOME/Dokumente\"\n";
    EXPECT_EQ(XdgPaths::documentsDir(env), home / "Dokumente");
}

}  // namespace
