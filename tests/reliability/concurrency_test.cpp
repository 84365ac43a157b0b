// Eight threads calling all seven functions at once. The library lock must
// keep every call whole: its trace lines together, its count its own, and
// every result one that some call produced. This is also the program that
// the ThreadSanitizer build runs, and, cross-built against the Windows DLL,
// one that scripts/test-windows runs under Wine.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <fstream>
#include <future>
#include <iostream>
#include <map>
#include <mutex>
#include <opencv2/core.hpp>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "test_images.h"
#include "trace_text.h"
#include "zentrel/zentrel.h"
#include "zentrel/zentrel_ext.h"

namespace zentrel::testing {
namespace {

using Rectangle = std::array<int, 4>;

constexpr int kThreads = 8;
constexpr int kRounds = 3;

Rectangle Getters() { return {ReturnX(), ReturnY(), ReturnW(), ReturnH()}; }

// ReturnPath's text, whatever the platform's wide character is.
std::u16string PathText(const ZentrelWideChar* path) {
    const std::basic_string<ZentrelWideChar> text(path);
    return {text.begin(), text.end()};
}

// The C runtime of Windows would write the trace with CRLF line ends.
#ifdef O_BINARY
constexpr int kBinary = O_BINARY;
#else
constexpr int kBinary = 0;
#endif

// Standard output goes to `path` while this lives.
class StdoutToFile {
public:
    explicit StdoutToFile(const std::string& path) {
        std::cout.flush();
        std::fflush(stdout);
        saved_ = dup(STDOUT_FILENO);
        const int file = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | kBinary, 0644);
        dup2(file, STDOUT_FILENO);
        close(file);
    }
    ~StdoutToFile() {
        std::cout.flush();
        std::fflush(stdout);
        dup2(saved_, STDOUT_FILENO);
        close(saved_);
    }
    StdoutToFile(const StdoutToFile&) = delete;
    StdoutToFile& operator=(const StdoutToFile&) = delete;

private:
    int saved_;
};

std::vector<std::string> ReadLines(const std::string& path) {
    std::ifstream file(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(file, line);) lines.push_back(line);
    return lines;
}

// One working call as the trace shows it: the count line and what followed.
struct TracedCall {
    bool repeat;
    int count;
    std::vector<std::string> lines;
};

std::vector<TracedCall> SplitCalls(const std::vector<std::string>& lines) {
    std::vector<TracedCall> calls;
    for (const std::string& line : lines) {
        for (const auto& [label, repeat] :
             {std::pair{"Show F5 Count = ", true}, std::pair{"Pers F5 Count = ", false}}) {
            const std::string prefix(label);
            if (line.rfind(prefix, 0) == 0) {
                calls.push_back({repeat, std::stoi(line.substr(prefix.size())), {}});
            }
        }
        if (!calls.empty()) calls.back().lines.push_back(line);
    }
    return calls;
}

// What one thread saw of a rectification it made under the host's lock.
struct Rectified {
    std::string output;
    std::string buffer;
    std::u16string returned;
};

TEST(ConcurrentCallers, EightThreadsSeeWholeCallsAndResultsOfSomeCall) {
    TempDir dir;
    const std::vector<std::string> images = {
        WriteImage(dir, "a.png", TiledPattern({80, 60}, {480, 300}, CV_8UC1, 1)),
        WriteImage(dir, "b.png", TiledPattern({64, 48}, {480, 300}, CV_8UC3, 2)),
        WriteImage(dir, "c.png", TiledPattern({96, 72}, {480, 300}, CV_8UC4, 3)),
        WriteImage(dir, "d.png", TiledPattern({60, 60}, {480, 300}, CV_16UC1, 4)),
    };
    const std::string unreadable = dir.File("notes.png");
    std::ofstream(unreadable) << "not an image\n";
    for (int k = 0; k < 4; ++k) {
        WriteImage(dir, "page" + std::to_string(k) + ".png",
                   TiledPattern({10, 10}, {60, 40}, CV_8UC1));
    }

    // Alone first: the rectangle each image gives.
    std::map<std::string, Rectangle> expected;
    {
        StdoutToFile quiet(dir.File("baseline.txt"));
        for (const std::string& image : images) {
            ShowRepeatPoints(image.c_str());
            expected[image] = Getters();
        }
    }
    std::set<int> knownValues[4];
    for (const auto& [image, rectangle] : expected) {
        for (int i = 0; i < 4; ++i) knownValues[i].insert(rectangle[i]);
    }

    // The pointer from ReturnPath is released by the next SavePerspectiveImage
    // from any thread, so a host that reads through it serializes the pair.
    std::mutex pathLock;
    std::vector<std::vector<Rectangle>> seen(kThreads);
    std::vector<std::vector<Rectified>> rectified(kThreads);
    {
        StdoutToFile capture(dir.File("trace.txt"));
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&, t] {
                for (int round = 0; round < kRounds; ++round) {
                    for (int step = 0; step < 4; ++step) {
                        const int k = (t + round + step) % 4;
                        switch ((t + step) % 4) {
                            case 0:
                                ShowRepeatPoints(images[k].c_str());
                                break;
                            case 1:
                                seen[t].push_back(Getters());
                                break;
                            case 2: {
                                const std::lock_guard<std::mutex> lock(pathLock);
                                char buffer[205] = {};
                                dir.path().copy(buffer, sizeof buffer - 1);
                                const std::string name = "page" + std::to_string(k);
                                SavePerspectiveImage(0, 40, 40, 0, 0, 0, 30, 30, buffer,
                                                     name.c_str(), "png");
                                rectified[t].push_back(
                                    {dir.File(name + "_pers.png"), buffer, PathText(ReturnPath())});
                                break;
                            }
                            default:
                                ShowRepeatPoints(unreadable.c_str());
                                ReturnPath();  // only the pointer: nothing is read through it
                                break;
                        }
                    }
                }
            });
        }
        for (std::thread& thread : threads) thread.join();
    }

    const std::vector<TracedCall> calls = SplitCalls(ReadLines(dir.File("trace.txt")));
    std::vector<int> showCounts;
    std::vector<int> persCounts;
    std::string lastResult;
    std::string lastOutput;
    for (const TracedCall& call : calls) {
        (call.repeat ? showCounts : persCounts).push_back(call.count);
        if (call.repeat) {
            ASSERT_EQ(call.lines.size(), 3u) << call.lines[0];
            const std::string path = call.lines[1].substr(std::string("C++ ImgURL = ").size());
            if (path == unreadable) {
                EXPECT_NE(call.lines[2].find(unreadable), std::string::npos) << call.lines[2];
            } else {
                ASSERT_EQ(expected.count(path), 1u) << call.lines[1];
                EXPECT_EQ(call.lines[2], ResultLine(expected[path]));
                lastResult = call.lines[2];
            }
        } else {
            ASSERT_EQ(call.lines.size(), 7u) << call.lines[0];
            EXPECT_EQ(call.lines[6], "Complete SaveImage");
            lastOutput = call.lines[5].substr(std::string("FinalSavePath = ").size());
        }
    }

    // Every count exactly once: no two calls ran as one.
    const int perKind = kThreads * kRounds;
    std::sort(showCounts.begin(), showCounts.end());
    std::sort(persCounts.begin(), persCounts.end());
    std::vector<int> wantedShow(2 * perKind);
    std::vector<int> wantedPers(perKind);
    for (int i = 0; i < 2 * perKind; ++i) wantedShow[i] = static_cast<int>(images.size()) + 1 + i;
    for (int i = 0; i < perKind; ++i) wantedPers[i] = 1 + i;
    EXPECT_EQ(showCounts, wantedShow);
    EXPECT_EQ(persCounts, wantedPers);

    // Each getter reads one value that some call left.
    for (const auto& perThread : seen) {
        for (const Rectangle& rectangle : perThread) {
            for (int i = 0; i < 4; ++i) EXPECT_EQ(knownValues[i].count(rectangle[i]), 1u);
        }
    }
    for (const auto& perThread : rectified) {
        for (const Rectified& one : perThread) {
            EXPECT_EQ(one.buffer, one.output);
            EXPECT_EQ(one.returned, Utf16(one.output));
        }
    }
    EXPECT_EQ(ResultLine(Getters()), lastResult) << "the getters hold the last traced result";
    EXPECT_EQ(PathText(ReturnPath()), Utf16(lastOutput));
}

// On Windows the seven and the extended API are two DLLs, each with its own
// last error: this one needs them in one library.
#ifndef _WIN32
// Thread A's call fails, thread B's then succeeds, and only then does A read
// its error text: as with errno, B's outcome must not replace A's. Both kinds
// of working call, since zentrel_last_error covers the seven too.
TEST(ConcurrentCallers, AFailureStaysTheFailingThreadsOwnAfterAnotherThreadSucceeds) {
    TempDir dir;
    const std::string image =
        WriteImage(dir, "a.png", TiledPattern({80, 60}, {480, 300}, CV_8UC1, 1));
    const std::string missing = dir.File("missing.png");
    const std::pair<const char*, void (*)(const char*)> calls[] = {
        {"ShowRepeatPoints", [](const char* path) { ShowRepeatPoints(path); }},
        {"zentrel_estimate_tile",
         [](const char* path) {
             ZentrelTile tile{};
             tile.size = sizeof tile;
             zentrel_estimate_tile(path, &tile);
         }},
    };
    StdoutToFile quiet(dir.File("trace.txt"));
    for (const auto& [name, call] : calls) {
        SCOPED_TRACE(name);
        std::promise<void> failed;
        std::promise<void> succeeded;
        std::future<void> afterFailure = failed.get_future();
        std::future<void> afterSuccess = succeeded.get_future();
        std::string seenByFailing;
        std::string seenBySucceeding;
        std::thread failing([&] {
            call(missing.c_str());
            failed.set_value();
            afterSuccess.wait();
            seenByFailing = zentrel_last_error();
        });
        std::thread succeeding([&] {
            afterFailure.wait();
            call(image.c_str());
            seenBySucceeding = zentrel_last_error();
            succeeded.set_value();
        });
        failing.join();
        succeeding.join();
        EXPECT_EQ(seenByFailing, "Could not read image file: " + missing);
        EXPECT_EQ(seenBySucceeding, "");
    }
}
#endif

// The extended calls, with the trace going to a callback: each thread reads
// its own call's error text, and it stays so until that thread calls again,
// whatever the others do.
TEST(ConcurrentCallers, ExtendedCallsKeepEachThreadsErrorTextAndEveryTraceLine) {
    TempDir dir;
    const std::string image = WriteImage(dir, "a.png", TiledPattern({40, 30}, {320, 240}, CV_8UC1));
    std::vector<std::string> traced;  // written only under the library's lock
    zentrel_set_trace_callback(
        [](const char* line, void* user) {
            static_cast<std::vector<std::string>*>(user)->push_back(line);
        },
        &traced);
    std::vector<std::vector<std::string>> mismatches(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            const std::string missing = dir.File("missing" + std::to_string(t) + ".png");
            for (int round = 0; round < kRounds; ++round) {
                ZentrelTile tile{};
                tile.size = sizeof tile;
                const bool fails = (t + round) % 2 == 0;
                const int status =
                    zentrel_estimate_tile(fails ? missing.c_str() : image.c_str(), &tile);
                if (status != (fails ? ZENTREL_ERROR_UNREADABLE : ZENTREL_OK)) {
                    mismatches[t].push_back("status " + std::to_string(status));
                }
                const std::string own = fails ? "Could not read image file: " + missing : "";
                const char* error = zentrel_last_error();
                if (error != own) mismatches[t].push_back("read " + std::string(error));
                // Other threads' calls land here; this thread's text must not change.
                for (int wait = 0; wait < 20; ++wait) std::this_thread::yield();
                if (error != own) mismatches[t].push_back("later read " + std::string(error));
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    zentrel_set_trace_callback(nullptr, nullptr);

    for (const auto& perThread : mismatches) EXPECT_EQ(perThread, std::vector<std::string>{});
    std::multiset<std::string> expected;
    for (int t = 0; t < kThreads; ++t) {
        for (int round = 0; round < kRounds; ++round) {
            if ((t + round) % 2 == 0) {
                expected.insert("Could not read image file: " +
                                dir.File("missing" + std::to_string(t) + ".png"));
            }
        }
    }
    EXPECT_EQ(std::multiset<std::string>(traced.begin(), traced.end()), expected)
        << "one error line per failed call, and nothing for the others";
}

}  // namespace
}  // namespace zentrel::testing
