// zentrel: the library's jobs from the command line. Standard output
// carries only results; messages, the progress bar and (with --trace) the
// library's trace go to standard error.
#include <unistd.h>

#include <exception>
#include <filesystem>
#include <iostream>
#include <opencv2/core/utils/logger.hpp>
#include <optional>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

#include "command_line.h"
#include "image_job.h"
#include "outcome_text.h"
#include "progress_bar.h"
#include "serve_server.h"
#include "worker_pool.h"

namespace zentrel::cli {

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

void ReportFailure(const std::string& path, const std::string& reason) {
    std::cerr << "zentrel: " << path << ": " << reason << '\n';
}

bool PreparePreviewFolder(const Options& options) {
    if (!options.previewFolder) return true;
    std::error_code error;
    std::filesystem::create_directories(*options.previewFolder, error);
    if (error) {
        std::cerr << "zentrel: cannot create the preview folder " << *options.previewFolder << ": "
                  << error.message() << '\n';
        return false;
    }
    return true;
}

// Prints outcomes in argument order as they become available: `json` gives
// an image's object, `text` its result line when it succeeded.
template <typename Outcome>
class OutcomePrinter {
public:
    using Formatter = std::string (*)(const std::string&, const Outcome&);

    OutcomePrinter(const Options& options, ProgressBar& bar, Formatter json, Formatter text)
        : options_(options),
          bar_(bar),
          json_(json),
          text_(text),
          outcomes_(options.images.size()) {}

    void Accept(std::size_t index, Outcome outcome) {
        outcomes_[index] = std::move(outcome);
        bar_.Advance();
        while (next_ < outcomes_.size() && outcomes_[next_]) {
            Print(next_, *outcomes_[next_]);
            outcomes_[next_].reset();
            ++next_;
        }
    }

    void Finish() {
        if (options_.json) std::cout << (next_ == 0 ? "[\n]\n" : "\n]\n");
        std::cout.flush();
    }

    bool AllSucceeded() const { return allSucceeded_; }

private:
    void Print(std::size_t index, const Outcome& outcome) {
        const std::string& path = options_.images[index];
        bar_.Hide();
        std::cerr << outcome.trace;
        if (!outcome.ok) ReportFailure(path, outcome.error);
        if (!outcome.previewError.empty()) ReportFailure(path, outcome.previewError);
        std::cerr.flush();
        allSucceeded_ = allSucceeded_ && outcome.ok && outcome.previewError.empty();

        if (options_.json) {
            std::cout << (index == 0 ? "[\n  " : ",\n  ") << json_(path, outcome);
        } else if (outcome.ok) {
            std::cout << text_(path, outcome);
        }
        std::cout.flush();
        // Worker mode ignores SIGPIPE, so a reader that went away (| head)
        // shows only here; the remaining images would be analysed for nobody.
        if (!std::cout) throw std::runtime_error("cannot write the results to standard output");
        bar_.Show();
    }

    const Options& options_;
    ProgressBar& bar_;
    Formatter json_;
    Formatter text_;
    std::vector<std::optional<Outcome>> outcomes_;
    std::size_t next_ = 0;
    bool allSucceeded_ = true;
};

// Runs `run` on every image, in worker processes with -j, and prints the
// outcomes; `encode` and `decode` carry them out of the workers.
template <typename Outcome>
int RunImagesCommand(const Options& options, Outcome (*run)(const std::string&, const JobSettings&),
                     std::string (*encode)(const Outcome&),
                     std::optional<Outcome> (*decode)(const std::string&),
                     typename OutcomePrinter<Outcome>::Formatter json,
                     typename OutcomePrinter<Outcome>::Formatter text) {
    if (!PreparePreviewFolder(options)) return kExitFailed;
    JobSettings settings{options.trace, options.previewFolder, std::nullopt};
    if (options.exportFolder) {
        settings.tileExport = TileExport{*options.exportFolder,
                                         {sizeof(ZentrelExportOptions), options.combine,
                                          options.flatten ? 1 : 0, options.format, options.dpi}};
    }
    ProgressBar bar(options.images.size(), options.images.size() > 1 && isatty(STDERR_FILENO));
    OutcomePrinter<Outcome> printer(options, bar, json, text);
    RunJobs(
        options.images.size(), options.jobs,
        [&](std::size_t index) { return encode(run(options.images[index], settings)); },
        [&](JobReport report) {
            std::optional<Outcome> outcome;
            if (report.delivered) outcome = decode(report.payload);
            if (!outcome) {
                outcome.emplace();
                outcome->error = report.delivered ? "the worker process sent a garbled result"
                                                  : report.lostReason;
            }
            printer.Accept(report.index, std::move(*outcome));
        });
    bar.Hide();
    printer.Finish();
    return printer.AllSucceeded() ? kExitOk : kExitFailed;
}

int RunRectifyCommand(const Options& options) {
    if (!PreparePreviewFolder(options)) return kExitFailed;
    const std::string& path = options.images.front();
    const JobSettings settings{options.trace, options.previewFolder, std::nullopt};
    const RectifyOutcome outcome = options.autoCorners ? RunAutoRectify(path, settings)
                                                       : RunRectify(path, options.corners, settings);
    std::cerr << outcome.trace;
    if (!outcome.ok) ReportFailure(path, outcome.error);
    if (!outcome.previewError.empty()) ReportFailure(path, outcome.previewError);
    std::cerr.flush();
    if (options.json) {
        std::cout << RectifyJson(path, outcome) << '\n';
    } else if (outcome.ok) {
        std::cout << outcome.output << '\n';
    }
    std::cout.flush();
    return outcome.ok && outcome.previewError.empty() ? kExitOk : kExitFailed;
}

int Run(const std::vector<std::string>& arguments) {
    Options options;
    try {
        options = ParseCommandLine(arguments);
    } catch (const UsageError& error) {
        const std::string topic = error.topic().empty() ? "" : error.topic() + " ";
        std::cerr << "zentrel: " << error.what() << "\nTry 'zentrel " << topic
                  << "--help' for more information.\n";
        return kExitUsage;
    }

    switch (options.command) {
        case Command::Help:
            std::cout << HelpText(options.helpTopic);
            return kExitOk;
        case Command::Version:
            std::cout << VersionText();
            return kExitOk;
        case Command::Serve:
            return RunServe(options.serve, options.jobs);
        case Command::Repeat:
        case Command::Rectify:
        case Command::Tile:
            break;
    }

    // The trace is the library's report to its host; here stdout is for
    // results, so each call's trace is captured (image_job.cpp) and goes to
    // stderr on request, or nowhere.
    // OpenCV warns on stderr about unreadable files, which the tool already
    // reports in one line of its own; from workers such warnings would also
    // arrive out of order.
    cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);
    if (options.command == Command::Rectify) return RunRectifyCommand(options);
    if (options.command == Command::Tile) {
        return RunImagesCommand<TileOutcome>(options, RunTile, EncodeTileOutcome, DecodeTileOutcome,
                                             TileJson, TileText);
    }
    return RunImagesCommand<RepeatOutcome>(options, RunRepeat, EncodeRepeatOutcome,
                                           DecodeRepeatOutcome, RepeatJson, RepeatText);
}

}  // namespace

}  // namespace zentrel::cli

int main(int argc, char** argv) {
    try {
        return zentrel::cli::Run(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const std::exception& error) {
        std::cerr << "zentrel: " << error.what() << '\n';
        return 1;
    }
}
