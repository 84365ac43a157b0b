// The pieces of `zentrel serve` that decide what a request may reach, and
// the job service under workers that die, hang or are too many.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "serve_security.h"
#include "worker_pool.h"

namespace zentrel::cli {
namespace {

namespace fs = std::filesystem;

class ServedFolderTest : public ::testing::Test {
protected:
    void SetUp() override {
        base_ = fs::temp_directory_path() /
                ("zentrel-served-" + std::to_string(getpid()) + "-" +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(base_);
        fs::create_directories(base_ / "root" / "sub");
        fs::create_directories(base_ / "outside");
        std::ofstream(base_ / "outside" / "secret.png") << "x";
        std::ofstream(base_ / "root" / "a.png") << "x";
        std::ofstream(base_ / "root" / "sub" / "b.png") << "x";
        fs::create_symlink(base_ / "outside" / "secret.png", base_ / "root" / "out.png");
        fs::create_directory_symlink(base_ / "outside", base_ / "root" / "outdir");
        fs::create_symlink("sub/b.png", base_ / "root" / "in.png");
        fs::create_hard_link(base_ / "outside" / "secret.png", base_ / "root" / "hard.png");
        folder_ = {"root", fs::canonical(base_ / "root").string()};
    }
    void TearDown() override { fs::remove_all(base_); }

    fs::path base_;
    ServedFolder folder_;
};

TEST_F(ServedFolderTest, OnlyRegularFilesWhoseRealPathStaysInside) {
    struct Case {
        std::string name;
        int status;            // 0: served
        std::string relative;  // when served
    };
    const std::vector<Case> cases = {
        {"a.png", 0, "a.png"},
        {"sub/b.png", 0, "sub/b.png"},
        {"in.png", 0, "sub/b.png"},  // a link that stays inside, by its target
        {"./sub//b.png", 0, "sub/b.png"},
        {"out.png", 403, ""},
        {"outdir/secret.png", 403, ""},
        {"../outside/secret.png", 403, ""},
        {"sub/../a.png", 403, ""},
        {"../outside/missing.png", 403, ""},  // never tells what exists outside
        {folder_.real + "/a.png", 403, ""},
        {std::string("a.png\0/x", 8), 403, ""},
        {"sub", 403, ""},
        {"missing.png", 404, ""},
        {"", 400, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Refusal refusal;
        const std::optional<ServedFile> file = ResolveServedFile(folder_, c.name, refusal);
        if (c.status == 0) {
            ASSERT_TRUE(file) << refusal.message;
            EXPECT_EQ(file->relative, c.relative);
            EXPECT_EQ(file->folder, folder_.real);
        } else {
            EXPECT_FALSE(file);
            EXPECT_EQ(refusal.status, c.status) << refusal.message;
        }
    }
}

TEST_F(ServedFolderTest, TheListShowsWhatMayBeOpenedAndWritesGoNowhereElse) {
    std::vector<std::string> names;
    for (const ListedFile& file : ListImages(folder_, 100)) names.push_back(file.name);
    // hard.png is a regular file inside; writing it is refused below.
    EXPECT_EQ(names, (std::vector<std::string>{"a.png", "hard.png", "in.png", "sub/b.png"}));

    EXPECT_FALSE(RefuseToWrite(folder_.real + "/new_pers.png"));
    EXPECT_FALSE(RefuseToWrite(folder_.real + "/a.png"));
    for (const char* name : {"out.png", "in.png", "hard.png", "sub"}) {
        EXPECT_TRUE(RefuseToWrite(folder_.real + "/" + name)) << name;
    }
}

TEST(ServeSecurityTest, HostNamesTokensAndUploadNames) {
    for (const auto& [host, bound, own] : std::vector<std::tuple<std::string, std::string, bool>>{
             {"127.0.0.1:8765", "127.0.0.1", true},
             {"localhost:1", "127.0.0.1", true},
             {"LOCALHOST", "127.0.0.1", true},
             {"[::1]:80", "127.0.0.1", true},
             {"evil.example:8765", "127.0.0.1", false},
             {"localhost.evil.example", "127.0.0.1", false},
             {"127.0.0.1.nip.io", "127.0.0.1", false},
             {"", "127.0.0.1", false},
             {"[::1]x", "127.0.0.1", false},
             {"192.168.1.5:8765", "192.168.1.5", true},
             {"192.168.1.5:8765", "0.0.0.0", false},
             {"[fe80::1]:9", "fe80::1", true},
         }) {
        EXPECT_EQ(IsOwnHost(host, bound), own) << host << " bound to " << bound;
    }

    const std::string token = RandomToken();
    EXPECT_EQ(token.size(), 64u);
    EXPECT_EQ(token.find_first_not_of("0123456789abcdef"), std::string::npos);
    EXPECT_NE(token, RandomToken());
    EXPECT_TRUE(SameToken(token, token));
    std::string oneOff = token;
    oneOff.back() = oneOff.back() == '0' ? '1' : '0';
    EXPECT_FALSE(SameToken(oneOff, token));
    EXPECT_FALSE(SameToken(token.substr(1), token));
    EXPECT_FALSE(SameToken("", ""));

    EXPECT_EQ(CookieValue("a=1; zentrel_token_80=abc; b=2", "zentrel_token_80"), "abc");
    EXPECT_EQ(CookieValue("xzentrel_token_80=abc", "zentrel_token_80"), "");
    EXPECT_EQ(CookieValue("zentrel_token_8=abc", "zentrel_token_80"), "");

    for (const auto& [given, stored] : std::vector<std::pair<std::string, std::string>>{
             {"photo.jpg", "photo.jpg"},
             {"../../etc/x.png", "x.png"},
             {"C:\\Users\\me\\scan 1.tif", "scan_1.tif"},
             {".hidden.png", "_hidden.png"},
             {"füße.png", "f____e.png"},
             {"noextension", ""},
             {"trailing.", ""},
             {".png", ""},
             {std::string(300, 'a') + ".png", std::string(96, 'a') + ".png"},
         }) {
        EXPECT_EQ(UploadName(given), stored) << given;
    }
}

// A job service whose work can die, hang or take its time on request.
std::string Behave(const std::string& request) {
    if (request == "die") raise(SIGKILL);
    if (request == "hang") pause();
    if (request == "slow") std::this_thread::sleep_for(std::chrono::milliseconds(300));
    return request + ":" + std::to_string(getpid());
}

TEST(JobServiceTest, ADyingOrHangingWorkerFailsOnlyItsOwnJob) {
    JobService::Limits limits;
    limits.workers = 2;
    limits.queue = 8;
    limits.time = std::chrono::milliseconds(500);
    JobService service(limits, Behave);
    const std::vector<std::string> requests = {"a", "die", "b", "hang", "c", "d"};
    std::vector<std::future<JobService::Answer>> answers;
    for (const std::string& request : requests) {
        answers.push_back(std::async(std::launch::async, [&, request] { return service.Run(request); }));
    }
    for (std::size_t k = 0; k < requests.size(); ++k) {
        SCOPED_TRACE(requests[k]);
        const JobService::Answer answer = answers[k].get();
        if (requests[k] == "die") {
            EXPECT_EQ(answer.status, JobService::Status::Lost);
            EXPECT_NE(answer.reason.find("killed by signal 9"), std::string::npos) << answer.reason;
        } else if (requests[k] == "hang") {
            EXPECT_EQ(answer.status, JobService::Status::TimedOut);
            EXPECT_NE(answer.reason.find("longer than 0.5 s"), std::string::npos) << answer.reason;
        } else {
            ASSERT_EQ(answer.status, JobService::Status::Done) << answer.reason;
            EXPECT_EQ(answer.payload.substr(0, answer.payload.find(':')), requests[k]);
            EXPECT_NE(answer.payload.substr(answer.payload.find(':') + 1), std::to_string(getpid()));
        }
    }
    EXPECT_EQ(service.Run("after").status, JobService::Status::Done);
}

TEST(JobServiceTest, BeyondTheWorkersAndTheQueueAJobIsRefusedAtOnce) {
    JobService::Limits limits;
    limits.workers = 1;
    limits.queue = 1;
    JobService service(limits, Behave);
    std::vector<std::future<JobService::Answer>> answers;
    for (int k = 0; k < 4; ++k) {
        answers.push_back(std::async(std::launch::async, [&] { return service.Run("slow"); }));
    }
    int done = 0;
    int busy = 0;
    for (auto& answer : answers) {
        const JobService::Status status = answer.get().status;
        done += status == JobService::Status::Done;
        busy += status == JobService::Status::Busy;
    }
    EXPECT_EQ(done, 2);
    EXPECT_EQ(busy, 2);
    service.Stop();
    EXPECT_EQ(service.Run("a").status, JobService::Status::Lost);
}

}  // namespace
}  // namespace zentrel::cli
