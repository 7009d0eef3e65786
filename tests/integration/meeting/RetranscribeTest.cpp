// parlando-transcribe --meeting: a recorded meeting's two sides go to the
// local service as one two-channel stream; transcript-full.md gets the live
// format with the start time plus each result's place; the originals stay.
#include "../speech/SpeechTestSupport.h"
#include "meeting/adapters/FileMeetingStorage.h"

#include <cmath>

namespace parlando::speechtest {
namespace {

TEST(Retranscribe, MeetingFolderToFullTranscript) {
    testenv::TempDir dir("parlando-retranscribe");
    // Recordings with their start time (09:30:12) and without (the folder's minute).
    struct Case { bool stamped; std::string first, second; };
    for (const Case& c : {Case{true, "[09:30:12] [Я] Привет", "[09:30:13] [Собеседник] Здравствуйте"},
                          Case{false, "[09:30:00] [Я] Привет", "[09:30:01] [Собеседник] Здравствуйте"}}) {
        const auto folder = dir.path() / (c.stamped ? "a" : "b") / "2026-03-14-0930-meeting";
        fs::create_directories(folder);
        FileMeetingStorage storage;
        std::string error;
        for (const char* name : {"self.wav", "others.wav"}) {
            if (c.stamped) {
                auto wav = storage.createWav(folder / name, WallTime(std::chrono::seconds(1'773'480'612)), &error);
                std::vector<std::int16_t> tone(name[0] == 's' ? 16000 : 32000);
                for (std::size_t i = 0; i < tone.size(); ++i) tone[i] = static_cast<std::int16_t>(9000 * std::sin(i * 0.1));
                wav->write(tone.data(), tone.size());
                wav->close();
            } else {
                testenv::run({"sox", "-n", "-r", "16000", "-c", "1", "-b", "16", (folder / name).string(), "synth",
                              name[0] == 's' ? "1" : "2", "sine", "440"});
            }
        }
        std::ofstream(folder / "transcript.md") << "# Meeting 2026-03-14-0930-meeting\n\nlive\n";
        const std::string before = readFile(folder / "self.wav") + readFile(folder / "others.wav");

        std::ofstream(dir.path() / "script") << "after 32000 final ch=0 Привет\nafter 96000 final ch=1 Здравствуйте\n";
        FakeDeepgram service(dir.path(), {"--script", (dir.path() / "script").string(), "--once", "--expect-query",
                                          "model=nova-3&language=multi&encoding=linear16&sample_rate=16000&channels=2"
                                          "&interim_results=true&smart_format=true&punctuate=true&endpointing=300"
                                          "&multichannel=true"});
        auto p = testenv::Process::spawn(
            {std::string(PARLANDO_BINARY_DIR) + "/apps/parlando-transcribe/parlando-transcribe", "--fast", "--meeting",
             folder.string()},
            {{"DEEPGRAM_API_KEY", "k"}, {"PARLANDO_DEEPGRAM_URL", service.base()}, {"TZ", "UTC"}},
            dir.path() / "out", dir.path() / "err");
        ASSERT_EQ(p.wait(60s), 0) << readFile(dir.path() / "err");
        EXPECT_EQ(readFile(folder / "transcript-full.md"),
                  "# Meeting 2026-03-14-0930-meeting\n\n" + c.first + "\n" + c.second + "\n");
        EXPECT_EQ(service.recorded().size(), 2u * 64000);  // both sides, the longer one's length
        EXPECT_EQ(readFile(folder / "self.wav") + readFile(folder / "others.wav"), before);
        EXPECT_EQ(readFile(folder / "transcript.md"), "# Meeting 2026-03-14-0930-meeting\n\nlive\n");
        fs::remove(dir.path() / "port");
        fs::remove(service.recordPath());
    }
}

}  // namespace
}  // namespace parlando::speechtest
